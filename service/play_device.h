// The service's one wave-out device on the wave mapper: every CMD_WRITE
// payload becomes a wave buffer of its own, and every buffer the device gives
// back is reported to an IEndPlay listener, then released on a thread.
#pragma once

#include <windows.h>
#include <mmsystem.h>
#include <stdint.h>

#include "../protocol/frames.h"

class IEndPlay {
  public:
    // Called on the wave-out callback thread, once per returned buffer, with
    // that buffer's length. Must not call any wave-out function and must not
    // block for longer than one send.
    virtual void OnEndPlay(int32_t bytes) = 0;
};

struct PlayDevice {
    HWAVEOUT WaveHandle = nullptr;
    uint32_t StoredVolume = 0;
    volatile LONG QueuedCount = 0;
    volatile LONG DoneCount = 0;
    IEndPlay *EndPlaySink = nullptr;
    // Returned buffers whose release thread could not be started, linked
    // through their dwUser field; the run thread releases them.
    WAVEHDR *volatile Orphans = nullptr;
    // The open format's block align: bytes in one frame.
    uint16_t FrameBytes = 0;
};

struct ReleaseJob {
    HWAVEOUT WaveHandle;
    WAVEHDR *WaveHeader;
    PlayDevice *Owner;
};

bool PlayDeviceOpen(PlayDevice *device, const PcmFormat *format, IEndPlay *sink);
bool PlayDeviceWrite(PlayDevice *device, int32_t bytes, const void *data);
void PlayDeviceFlush(PlayDevice *device);
void PlayDeviceClose(PlayDevice *device);

void CALLBACK WaveOutCallback(HWAVEOUT handle, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR param2);
DWORD WINAPI ReleaseBufferThread(void *job);

// Starts the release thread for one job; replaceable so that tests can make
// thread creation fail. Returns false when no thread was started.
extern bool (*StartReleaseThread)(ReleaseJob *job);
