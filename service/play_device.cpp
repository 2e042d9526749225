// PlayDevice: wave-out on the wave mapper with a callback function.
//
// How it works: PlayDeviceWrite copies each payload into a WAVEHDR of its own
// and queues it (one shorter than a frame is given back at once). When the
// device gives a buffer back (played or dropped by a reset), WaveOutCallback
// only links its header onto Returned and wakes the device's release thread:
// the callback may not call wave-out functions, and it runs on the sound
// stack's own thread, which must never wait for our socket. The release
// thread reports the buffers to the listener in runs, in the order they came
// back, unprepares and frees each, and only then counts it in DoneCount, so
// flush and close can wait until DoneCount catches up with QueuedCount and
// know that no buffer is left.
//
// Batches: the first buffer to come back after a quiet spell wakes the
// release thread, which then reports once per window (REPORT_WINDOW_MS)
// whatever has come back in it, for as long as buffers keep coming; a window
// with none sends it back to sleep. So a playing stream costs one wake and
// one report per window, not one per buffer, and no buffer waits longer than
// a window. A flush or close cuts the window short (ReleaseHurry) and the
// thread reports without one until it is over.
//
// The holds on the device (priming and the player's pause) are in
// device_hold.cpp; format vetting and opening in wave_format.cpp.
#include "play_device.h"
#include "device_hold.h"
#include "wave_format.h"

#include <stdlib.h>
#include <string.h>

static bool StartThreadForDevice(PlayDevice *device) {
    device->ReleaseThread = CreateThread(nullptr, 0, ReleaseBufferThread, device, 0, nullptr);
    return device->ReleaseThread != nullptr;
}

bool (*StartReleaseThread)(PlayDevice *device) = StartThreadForDevice;
DWORD ReportWindowMs = REPORT_WINDOW_MS;

static void CloseHandleOnce(HANDLE *handle) {
    if (*handle)
        CloseHandle(*handle);
    *handle = nullptr;
}

// Called on the callback thread. The release thread is woken only when it
// sleeps for want of returns; while it reports window by window it takes
// what has been pushed without being told.
static void PushReturned(PlayDevice *device, WAVEHDR *header) {
    WAVEHDR *head;
    do {
        head = device->Returned;
        header->dwUser = reinterpret_cast<DWORD_PTR>(head);
    } while (InterlockedCompareExchangePointer(reinterpret_cast<void *volatile *>(&device->Returned),
                                               header, head) != head);
    if (device->ReleaseIdle && InterlockedExchange(&device->ReleaseIdle, 0))
        SetEvent(device->ReleaseWake);
}

// Takes every returned header, oldest first.
static WAVEHDR *TakeReturned(PlayDevice *device) {
    WAVEHDR *newest = static_cast<WAVEHDR *>(
        InterlockedExchangePointer(reinterpret_cast<void *volatile *>(&device->Returned), nullptr));
    WAVEHDR *oldest = nullptr;
    while (newest) {
        WAVEHDR *next = reinterpret_cast<WAVEHDR *>(newest->dwUser);
        newest->dwUser = reinterpret_cast<DWORD_PTR>(oldest);
        oldest = newest;
        newest = next;
    }
    return oldest;
}

// Reports a run of returned buffers (oldest first, linked through dwUser)
// in one call, then unprepares, frees and counts each of them.
static WAVEHDR *ReleaseRun(PlayDevice *device, WAVEHDR *header) {
    WAVEHDR *run[END_PLAY_RUN_MAX];
    int32_t lengths[END_PLAY_RUN_MAX] = {};
    int count = 0;
    for (; header && count < END_PLAY_RUN_MAX; count++) {
        run[count] = header;
        lengths[count] = static_cast<int32_t>(header->dwBufferLength);
        header = reinterpret_cast<WAVEHDR *>(header->dwUser);
    }
    if (device->EndPlaySink)
        device->EndPlaySink->OnEndPlayRun(lengths, count);
    for (int i = 0; i < count; i++) {
        waveOutUnprepareHeader(device->WaveHandle, run[i], sizeof(WAVEHDR));
        free(run[i]->lpData);
        free(run[i]);
        InterlockedIncrement(&device->DoneCount);
    }
    return header;
}

// Reports and releases everything that has come back; returns how many.
static int ReleaseReturned(PlayDevice *device) {
    WAVEHDR *header = TakeReturned(device);
    if (!header)
        return 0;
    int released = 0;
    for (WAVEHDR *h = header; h; h = reinterpret_cast<WAVEHDR *>(h->dwUser))
        released++;
    while (header)
        header = ReleaseRun(device, header);
    if (device->WaitingForRelease)
        SetEvent(device->ReleasedSome);
    return released;
}

// Sleeps until a buffer has come back or the device stops. The callback sets
// ReleaseWake only if it is the one to clear ReleaseIdle, so a wake is never
// lost and never left over: a push this thread sees after announcing itself
// idle is taken without waiting unless the callback has already claimed the
// wake, which is then consumed.
static void AwaitFirstReturn(PlayDevice *device) {
    if (device->Returned || device->ReleaseStopping)
        return;
    InterlockedExchange(&device->ReleaseIdle, 1);
    if ((device->Returned || device->ReleaseStopping) &&
        InterlockedExchange(&device->ReleaseIdle, 0))
        return;
    WaitForSingleObject(device->ReleaseWake, INFINITE);
}

// The window before a report, skipped while a flush or close waits.
static void AwaitReportWindow(PlayDevice *device) {
    if (!device->WaitingForRelease)
        WaitForSingleObject(device->ReleaseHurry, ReportWindowMs);
}

DWORD WINAPI ReleaseBufferThread(void *argument) {
    PlayDevice *device = static_cast<PlayDevice *>(argument);
    for (;;) {
        AwaitFirstReturn(device);
        if (device->ReleaseStopping && !device->Returned)
            return 0;
        // Buffers are coming back: a report per window until one brings none.
        do
            AwaitReportWindow(device);
        while (ReleaseReturned(device) > 0);
    }
}

// No time-out: every queued buffer comes back after a reset, and the release
// thread counts each one. The release thread is hurried out of its window
// and reports without one until the wait is over.
static void WaitUntilAllReleased(PlayDevice *device) {
    if (!device->ReleaseThread)
        return; // no device open: nothing was queued
    InterlockedExchange(&device->WaitingForRelease, 1);
    SetEvent(device->ReleaseHurry);
    while (device->QueuedCount > device->DoneCount)
        WaitForSingleObject(device->ReleasedSome, INFINITE);
    InterlockedExchange(&device->WaitingForRelease, 0);
    ResetEvent(device->ReleaseHurry);
}

static bool StartRelease(PlayDevice *device) {
    device->Returned = nullptr;
    device->ReleaseStopping = 0;
    device->WaitingForRelease = 0;
    device->ReleaseIdle = 0;
    device->ReleaseWake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    device->ReleaseHurry = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    device->ReleasedSome = CreateEventW(nullptr, FALSE, FALSE, nullptr);
    if (device->ReleaseWake && device->ReleaseHurry && device->ReleasedSome &&
        StartReleaseThread(device))
        return true;
    CloseHandleOnce(&device->ReleaseWake);
    CloseHandleOnce(&device->ReleaseHurry);
    CloseHandleOnce(&device->ReleasedSome);
    return false;
}

// Only once the device is closed, so no buffer can come back any more.
static void StopRelease(PlayDevice *device) {
    InterlockedExchange(&device->ReleaseStopping, 1);
    SetEvent(device->ReleaseHurry);
    SetEvent(device->ReleaseWake);
    WaitForSingleObject(device->ReleaseThread, INFINITE);
    CloseHandleOnce(&device->ReleaseThread);
    CloseHandleOnce(&device->ReleaseWake);
    CloseHandleOnce(&device->ReleaseHurry);
    CloseHandleOnce(&device->ReleasedSome);
}

bool PlayDeviceOpen(PlayDevice *device, const PcmFormat *format, IEndPlay *sink) {
    if (device->WaveHandle || IsUnplayable(format))
        return false;
    device->QueuedCount = 0;
    device->DoneCount = 0;
    device->EndPlaySink = sink;

    if (OpenWaveMapper(format, &device->WaveHandle, reinterpret_cast<DWORD_PTR>(WaveOutCallback),
                       reinterpret_cast<DWORD_PTR>(device)) != MMSYSERR_NOERROR) {
        device->WaveHandle = nullptr;
        return false;
    }
    if (!StartRelease(device)) {
        waveOutClose(device->WaveHandle);
        device->WaveHandle = nullptr;
        return false;
    }
    device->FrameBytes = format->BlockAlign;
    device->PrimeBytes = format->AvgBytesPerSec / 1000 * PRIME_MS;
    device->PlayerPaused = false;
    waveOutSetVolume(device->WaveHandle, device->StoredVolume);
    HoldForPriming(device);
    return true;
}

bool PlayDeviceWrite(PlayDevice *device, int32_t bytes, const void *data) {
    // A buffer shorter than one frame holds nothing to play, and Wine's
    // wave-out mishandles one: its play position skips the buffers queued
    // after it while its clock still counts them, so later buffers come back
    // before they have been read, and reading them after their release
    // crashes the process. Such a buffer is given back at once instead, out
    // of order by less than a frame's worth of bytes.
    if (device->WaveHandle && bytes < device->FrameBytes) {
        if (device->EndPlaySink)
            device->EndPlaySink->OnEndPlay(bytes);
        return true;
    }
    WAVEHDR *header = static_cast<WAVEHDR *>(calloc(1, sizeof(WAVEHDR)));
    char *copy = static_cast<char *>(malloc(bytes));
    if (!header || !copy) {
        free(header);
        free(copy);
        RaiseException(STATUS_NO_MEMORY, EXCEPTION_NONCONTINUABLE, 0, nullptr);
        return false;
    }
    memcpy(copy, data, bytes);
    header->lpData = copy;
    header->dwBufferLength = bytes;

    bool queued = false;
    if (waveOutPrepareHeader(device->WaveHandle, header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR) {
        if (waveOutWrite(device->WaveHandle, header, sizeof(WAVEHDR)) == MMSYSERR_NOERROR)
            queued = true;
        else
            waveOutUnprepareHeader(device->WaveHandle, header, sizeof(WAVEHDR));
    }
    if (!queued) {
        free(copy);
        free(header);
        return false;
    }
    device->QueuedCount++;
    if (device->Priming)
        NoteHeld(device, bytes);
    return true;
}

static void DropQueued(PlayDevice *device) {
    waveOutReset(device->WaveHandle);
    WaitUntilAllReleased(device);
    device->DoneCount = 0;
    device->QueuedCount = 0;
}

// The device is empty afterwards, so the next block starts it from empty.
void PlayDeviceFlush(PlayDevice *device) {
    DropQueued(device);
    if (device->WaveHandle)
        HoldForPriming(device);
}

void PlayDeviceClose(PlayDevice *device) {
    if (!device->WaveHandle)
        return;
    DropQueued(device);
    device->Priming = false;
    waveOutClose(device->WaveHandle);
    StopRelease(device);
    device->WaveHandle = nullptr;
}

void CALLBACK WaveOutCallback(HWAVEOUT, UINT message, DWORD_PTR instance, DWORD_PTR param1,
                              DWORD_PTR) {
    if (message == WOM_DONE)
        PushReturned(reinterpret_cast<PlayDevice *>(instance), reinterpret_cast<WAVEHDR *>(param1));
}
