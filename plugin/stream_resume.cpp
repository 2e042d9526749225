// The stream's connection events, the silence rule and the resume (the
// threads' contract is in the header).
//
// When the link is lost the resume thread connects again with back-off
// (100 ms, doubling to 500 ms) for RESUME_WINDOW_MS; once a service answers
// CMD_OPEN it gets the volume, the pause and the kept bytes, in that order,
// and the stream goes on. The played count runs on from where it stood,
// since the new service reports exactly the bytes sent to it.
#include "plugin/stream_resume.h"

#include <string>

#include "plugin/kept_bytes.h"
#include "plugin/plugin_state.h"
#include "plugin/position_clock.h"
#include "plugin/stream_state.h"
#include "plugin/volume.h"

ResumeTimings ResumeTiming __attribute__((section(".tvhook"))) = {
    RESUME_TIMINGS_MARKER, RESUME_WINDOW_MS, SILENT_LINK_MS, nullptr, nullptr};

enum { FIRST_RETRY_MS = 100, LONGEST_RETRY_MS = 500, REPLAY_CHUNK_BYTES = 16384 };

static volatile LONG WatchSince;

// Starting a resume thread and stopping it exclude each other, so that no
// thread starts after Close has stopped the last one.
static CRITICAL_SECTION ResumerLock;
static HANDLE ResumeStop;  // manual-reset, set to end the resume thread
static HANDLE Resumer;     // the last resume thread started; joined by StopResume

static struct ResumerSetup {
    ResumerSetup() {
        InitializeCriticalSection(&ResumerLock);
        ResumeStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
} Setup;

void HoldWriteAtSend() {
    HANDLE reached = ResumeTiming.WriteAtSend;
    HANDLE goOn = ResumeTiming.WriteMaySend;
    if (!reached || !goOn) return;
    SetEvent(reached);
    WaitForSingleObject(goOn, INFINITE);
}

void RestartSilenceWatch() { InterlockedExchange(&WatchSince, static_cast<LONG>(GetTickCount())); }

// True when a linked, unpaused stream with bytes pending has had no CMD_PLAYED
// for SilenceMs, or for the buffer and a second if that is longer: one write
// may hold up to the whole buffer, and the service reports it only once it
// has played.
static bool StreamLinkSilent() {
    LONG64 pending = LoadCounter(&Stream.WrittenBytes) - LoadCounter(&Stream.PlayedBytes);
    DWORD now = GetTickCount();
    if (StreamState() != STREAM_LINKED || Stream.Paused != 0 || pending <= 0) {
        InterlockedExchange(&WatchSince, static_cast<LONG>(now));
        return false;
    }
    DWORD limit = ResumeTiming.SilenceMs;
    if (PluginState.BuffSize > 0 && static_cast<DWORD>(PluginState.BuffSize) + 1000 > limit)
        limit = static_cast<DWORD>(PluginState.BuffSize) + 1000;
    DWORD since = static_cast<DWORD>(InterlockedCompareExchange(&WatchSince, 0, 0));
    return now - since >= limit;
}

// ConnectionLock is held across the addition, so that a connection that is
// being replaced cannot count into the stream after it.
static void OnPlayed(LinkChannel *link, int32_t bytes) {
    ShareConnectionLock();
    if (Stream.Connection == link) {
        AddToCounter(&Stream.PlayedBytes, bytes);
        RestartSilenceWatch();
        ReleaseKept(bytes);
        ClockReport(LoadCounter(&Stream.PlayedBytes));
    }
    UnshareConnectionLock();
}

static bool OnSilent(LinkChannel *link) { return IsStreamConnection(link) && StreamLinkSilent(); }

// Nothing more will be played over an ended connection: the position stays
// where it was given out instead of running on from the last report, and a
// stream that was playing over it is put back over a new one.
static void OnEnded(LinkChannel *link) {
    if (!IsStreamConnection(link)) return;
    ClockHold();
    StreamLinkLost(link);
}

const LinkEvents StreamEvents = {OnPlayed, OnSilent, OnEnded};

// Waits on the stop event; true when the resume is to end.
static bool Stopped(DWORD waitMs) { return WaitForSingleObject(ResumeStop, waitMs) == WAIT_OBJECT_0; }

// Sends the kept bytes from their front in chunks of whole sample frames.
// Called under StreamLock, so nothing is written or flushed meanwhile; the
// reader may free from the front as the service reports them played.
static bool ReplayKept(LinkChannel *link) {
    int blockAlign = BlockAlignOf(Stream.NumChannels, Stream.BitsPerSample);
    size_t chunk = REPLAY_CHUNK_BYTES;
    if (blockAlign > 1) chunk -= chunk % static_cast<size_t>(blockAlign);
    LONG64 next = KeptFront();
    std::string part;
    while (size_t count = CopyKept(&next, chunk, &part))
        if (SendRequest(link, CMD_WRITE, part.data(), static_cast<int>(count)) != LINK_DONE)
            return false;
    return true;
}

// Under StreamLock, for a stream still reconnecting: `link` becomes the
// stream's connection and gets the volume, the pause and the kept bytes.
// False leaves the stream without a connection and `link` with the caller.
static bool TakeOver(LinkChannel *link) {
    EnterStream();
    bool linked = false;
    if (StreamState() == STREAM_RECONNECTING) {
        LockVolume();
        DropLink(ReplaceConnection(link));
        // A service that has just started plays at its own volume until it
        // hears the player's.
        SendVolumeLocked(link);
        bool sent = Stream.Paused == 0 || SendRequest(link, CMD_PAUSE, nullptr, 0) == LINK_DONE;
        if (sent && ReplayKept(link)) {
            RestartSilenceWatch();
            SetStreamState(STREAM_LINKED);
            linked = true;
        } else {
            ReplaceConnection(nullptr);
        }
        UnlockVolume();
    }
    LeaveStream();
    return linked;
}

// One attempt: connect, open the stream's format, then put the stream back.
// True once the stream is linked again.
static bool TryResume(DWORD limitMs) {
    LinkChannel *link = ConnectServer(PluginState.ServerAddr, PluginState.ServerPort,
                                      &StreamEvents, ResumeStop, limitMs);
    if (!link) return false;
    PcmFormat format = FormatOf(Stream.SampleRate, Stream.NumChannels, Stream.BitsPerSample);
    bool linked = !Stopped(0) &&
                  SendRequest(link, CMD_OPEN, &format, sizeof format) == LINK_DONE &&
                  AwaitReply(link, CMD_OPEN, ResumeStop) == LINK_DONE && TakeOver(link);
    if (!linked) DropLink(link);
    return linked;
}

// The service serves one client at a time: the lost connection ends before
// the first attempt. It stays the stream's until one is taken over.
static void EndLostConnection() {
    LinkChannel *lost = HoldStreamConnection();
    if (!lost) return;
    EndLink(lost);
    ReleaseLink(lost);
}

static void Resume() {
    EndLostConnection();
    DWORD start = GetTickCount();
    DWORD retry = FIRST_RETRY_MS;
    while (!Stopped(0) && StreamState() == STREAM_RECONNECTING) {
        DWORD used = GetTickCount() - start;
        if (used >= ResumeTiming.WindowMs) break;
        if (TryResume(ResumeTiming.WindowMs - used)) return;
        used = GetTickCount() - start;
        if (used >= ResumeTiming.WindowMs) break;
        DWORD left = ResumeTiming.WindowMs - used;
        if (Stopped(retry < left ? retry : left)) break;
        retry = retry * 2 < static_cast<DWORD>(LONGEST_RETRY_MS) ? retry * 2 : static_cast<DWORD>(LONGEST_RETRY_MS);
    }
    SwapStreamState(STREAM_RECONNECTING, STREAM_GIVEN_UP);
}

// The thread holds the DLL until its last instruction, in case the host
// unloads it without Quit.
static DWORD WINAPI ResumeStream(void *module) {
    Resume();
    if (module) FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
    return 0;
}

// ConnectionLock is held across the change of state, so that a connection
// that has just been replaced cannot mark the new stream lost.
static bool MarkLost(LinkChannel *link) {
    ShareConnectionLock();
    bool lost = link && Stream.Connection == link &&
                SwapStreamState(STREAM_LINKED, STREAM_RECONNECTING) == STREAM_LINKED;
    UnshareConnectionLock();
    return lost;
}

void StreamLinkLost(LinkChannel *link) {
    EnterCriticalSection(&ResumerLock);
    if (!MarkLost(link)) {
        LeaveCriticalSection(&ResumerLock);
        return;
    }
    ClockHold();
    // The previous thread, if any, linked the stream and so is leaving.
    if (Resumer) {
        WaitForSingleObject(Resumer, INFINITE);
        CloseHandle(Resumer);
    }
    ResetEvent(ResumeStop);
    HMODULE module = nullptr;
    GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                       reinterpret_cast<LPCSTR>(&ResumeStream), &module);
    Resumer = CreateThread(nullptr, 0, ResumeStream, module, 0, nullptr);
    if (!Resumer) {
        if (module) FreeLibrary(module);
        SetStreamState(STREAM_GIVEN_UP);
    }
    LeaveCriticalSection(&ResumerLock);
}

int StopResume() {
    // Under StreamLock, so that a takeover is never cut off half way.
    EnterStream();
    EnterCriticalSection(&ResumerLock);
    int was = SwapStreamStateTo(STREAM_NONE);
    SetEvent(ResumeStop);
    HANDLE thread = Resumer;
    Resumer = nullptr;
    LeaveCriticalSection(&ResumerLock);
    LeaveStream();
    // Its connect and its wait for CMD_OPEN's reply both end on ResumeStop.
    if (thread) {
        WaitForSingleObject(thread, INFINITE);
        CloseHandle(thread);
    }
    return was;
}
