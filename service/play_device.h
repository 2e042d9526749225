// The service's one wave-out device on the wave mapper: every CMD_WRITE
// payload becomes a wave buffer of its own, and every buffer the device gives
// back is reported to an IEndPlay listener and released by the device's
// standing release thread, in batches a short window apart.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <stdint.h>

#include "../protocol/frames.h"

class IEndPlay {
  public:
    // Called on the device's release thread, once per returned buffer, in the
    // order the device gave them back, with that buffer's length, at most
    // REPORT_WINDOW_MS after it came back (a buffer shorter than one frame is
    // reported at once, on the thread that wrote it). Must not call any
    // wave-out function: flush and close wait for it while they hold the
    // device.
    virtual void OnEndPlay(int32_t bytes) = 0;
    // A batch of buffers given back one after another, oldest first, from the
    // same thread and under the same rules; a listener may report them
    // together. By default each is reported on its own.
    virtual void OnEndPlayRun(const int32_t *lengths, int count) {
        for (int i = 0; i < count; i++)
            OnEndPlay(lengths[i]);
    }
};

// The most buffers reported in one run.
enum { END_PLAY_RUN_MAX = 128 };

// How long a returned buffer may wait to be reported with those that come
// back after it: one wake and one report per window instead of one per
// buffer. A flush or close never waits for it.
enum : DWORD { REPORT_WINDOW_MS = 20 };

// Priming: a device that starts from empty (just opened, or just flushed) is
// held paused until PRIME_MS of audio is queued, or until PRIME_DEADLINE_MS
// after its first block, so that the sound stack never starts on a single
// block and runs dry a moment later (Wine plays a hole about 27 ms long
// 13 ms into such a start). The run thread starts a device whose deadline has
// passed (PlayDeviceStartHeld).
enum : DWORD { PRIME_MS = 60, PRIME_DEADLINE_MS = 100 };

struct PlayDevice {
    HWAVEOUT WaveHandle = nullptr;
    uint32_t StoredVolume = 0;
    volatile LONG QueuedCount = 0;
    volatile LONG DoneCount = 0;
    IEndPlay *EndPlaySink = nullptr;
    // The open format's block align: bytes in one frame.
    uint16_t FrameBytes = 0;

    // Run thread only. Held while priming; PlayerPaused while the player's
    // pause is in force, which priming never overrides.
    bool Priming = false;
    bool PlayerPaused = false;
    uint32_t PrimeBytes = 0;  // PRIME_MS of the open format
    uint32_t HeldBytes = 0;   // queued while priming
    DWORD FirstHeldAt = 0;    // tick of the first held block

    // Buffers the device has given back and the release thread has not yet
    // taken, newest first, linked through their dwUser field.
    WAVEHDR *volatile Returned = nullptr;
    // Lives from a successful open to the end of its close.
    HANDLE ReleaseThread = nullptr;
    // Set by the callback when a buffer comes back while the release thread
    // is idle (ReleaseIdle), so a steady stream of returns sets no event.
    HANDLE ReleaseWake = nullptr;
    volatile LONG ReleaseIdle = 0;
    // Manual-reset: set while a flush or close waits, and at the stop, so
    // that no report window holds them up.
    HANDLE ReleaseHurry = nullptr;
    // Set by the release thread after a batch while a flush or close waits.
    HANDLE ReleasedSome = nullptr;
    volatile LONG WaitingForRelease = 0;
    volatile LONG ReleaseStopping = 0;
};

bool PlayDeviceOpen(PlayDevice *device, const PcmFormat *format, IEndPlay *sink);
bool PlayDeviceWrite(PlayDevice *device, int32_t bytes, const void *data);
void PlayDeviceFlush(PlayDevice *device);
void PlayDeviceClose(PlayDevice *device);
// The player's pause and resume. A resume while priming leaves the device
// held until priming ends.
void PlayDevicePause(PlayDevice *device);
void PlayDeviceResume(PlayDevice *device);
// How long a held device may still wait for more audio: INFINITE when none is
// held, 0 once its deadline has passed.
DWORD PlayDeviceHoldLeftMs(const PlayDevice *device);
// Ends priming: the device plays what it holds, unless the player paused it.
void PlayDeviceStartHeld(PlayDevice *device);

void CALLBACK WaveOutCallback(HWAVEOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR param2);
DWORD WINAPI ReleaseBufferThread(void *device);

// Starts the device's release thread into ReleaseThread; replaceable so that
// tests can make thread creation fail. Returns false when none was started.
extern bool (*StartReleaseThread)(PlayDevice *device);
// The report window in use, REPORT_WINDOW_MS; tests lengthen it to hold a
// batch open.
extern DWORD ReportWindowMs;
