// The kept bytes and the reconnect of a stream whose link was lost (the
// threads' contract is in the header).
//
// The kept bytes are the stream from PlayedBytes to WrittenBytes: at most the
// buffer plus one Write. They are freed from the front as CMD_PLAYED arrive.
// When the link is lost the resume thread connects again with back-off
// (100 ms, doubling to 500 ms) for RESUME_WINDOW_MS; once a service answers
// CMD_OPEN it gets the volume, the pause and the kept bytes, in that order,
// and the stream goes on. The played count runs on from where it stood, since
// the new service reports exactly the bytes sent to it.
#include "plugin/stream_resume.h"

#include <string>

#include "plugin/accounting.h"
#include "plugin/plugin_state.h"
#include "plugin/position_clock.h"
#include "plugin/server_link.h"
#include "plugin/volume.h"

ResumeTimings ResumeTiming __attribute__((section(".tvhook"))) = {
    RESUME_TIMINGS_MARKER, RESUME_WINDOW_MS, SILENT_LINK_MS};

enum { FIRST_RETRY_MS = 100, LONGEST_RETRY_MS = 500, REPLAY_CHUNK_BYTES = 16384 };

static CRITICAL_SECTION StreamLock;
static volatile LONG State = STREAM_NONE;

// The kept bytes: Kept[KeptHead..] is the stream from KeptFrom on.
static SRWLOCK KeptLock = SRWLOCK_INIT;
static std::string Kept;
static size_t KeptHead;
static LONG64 KeptFrom;

static volatile LONG WatchSince;

// Starting a resume thread and ending the stream exclude each other, so that
// no thread starts after Close has stopped the last one.
static CRITICAL_SECTION ResumerLock;
static HANDLE ResumeStop;  // manual-reset, set to end the resume thread
static HANDLE Resumer;     // the last resume thread started; joined by StreamClosed

// Set up before any host call can reach the stream (the DLL is being loaded).
static struct StreamLockSetup {
    StreamLockSetup() {
        InitializeCriticalSection(&StreamLock);
        InitializeCriticalSection(&ResumerLock);
        ResumeStop = CreateEventA(nullptr, TRUE, FALSE, nullptr);
    }
} Setup;

void EnterStream() { EnterCriticalSection(&StreamLock); }
void LeaveStream() { LeaveCriticalSection(&StreamLock); }
int StreamState() { return InterlockedCompareExchange(&State, 0, 0); }

static void ClearKept(LONG64 from) {
    AcquireSRWLockExclusive(&KeptLock);
    Kept.clear();
    Kept.shrink_to_fit();
    KeptHead = 0;
    KeptFrom = from;
    ReleaseSRWLockExclusive(&KeptLock);
}

void RestartSilenceWatch() { InterlockedExchange(&WatchSince, static_cast<LONG>(GetTickCount())); }

void StreamOpened() {
    ClearKept(0);
    RestartSilenceWatch();
    InterlockedExchange(&State, STREAM_LINKED);
}

void KeepBytes(const char *bytes, int length) {
    AcquireSRWLockExclusive(&KeptLock);
    Kept.append(bytes, static_cast<size_t>(length));
    ReleaseSRWLockExclusive(&KeptLock);
}

void ReleaseKept(LONG64 bytes) {
    RestartSilenceWatch();
    if (bytes <= 0) return;
    AcquireSRWLockExclusive(&KeptLock);
    size_t held = Kept.size() - KeptHead;
    size_t freed = static_cast<ULONG64>(bytes) < held ? static_cast<size_t>(bytes) : held;
    KeptHead += freed;
    KeptFrom += freed;
    // The front is cut off once it is the larger part, so that appending and
    // freeing stay linear in the bytes written.
    if (KeptHead == Kept.size()) {
        Kept.clear();
        KeptHead = 0;
    } else if (KeptHead > 65536 && KeptHead > Kept.size() / 2) {
        Kept.erase(0, KeptHead);
        KeptHead = 0;
    }
    ReleaseSRWLockExclusive(&KeptLock);
}

void RestartKeptAt(LONG64 position) {
    ClearKept(position);
    RestartSilenceWatch();
}

bool StreamLinkSilent() {
    LONG64 pending = LoadCounter(&PluginState.WrittenBytes) - LoadCounter(&PluginState.PlayedBytes);
    DWORD now = GetTickCount();
    if (StreamState() != STREAM_LINKED || PluginState.Paused != 0 || pending <= 0) {
        InterlockedExchange(&WatchSince, static_cast<LONG>(now));
        return false;
    }
    // One write may hold up to the whole buffer, and the service reports it
    // only once it has played: a longer buffer waits longer.
    DWORD limit = ResumeTiming.SilenceMs;
    if (PluginState.BuffSize > 0 && static_cast<DWORD>(PluginState.BuffSize) + 1000 > limit)
        limit = static_cast<DWORD>(PluginState.BuffSize) + 1000;
    DWORD since = static_cast<DWORD>(InterlockedCompareExchange(&WatchSince, 0, 0));
    return now - since >= limit;
}

// Waits on the stop event; true when the resume is to end.
static bool Stopped(DWORD waitMs) { return WaitForSingleObject(ResumeStop, waitMs) == WAIT_OBJECT_0; }

// Sends the kept bytes from their front in chunks of whole sample frames.
// Called under the stream lock, so nothing is written or flushed meanwhile;
// the reader may free from the front as the service reports them played.
static bool ReplayKept() {
    int blockAlign = BlockAlignOf(PluginState.NumChannels, PluginState.BitsPerSample);
    size_t chunk = REPLAY_CHUNK_BYTES;
    if (blockAlign > 1) chunk -= chunk % static_cast<size_t>(blockAlign);
    AcquireSRWLockShared(&KeptLock);
    LONG64 next = KeptFrom;
    ReleaseSRWLockShared(&KeptLock);
    std::string part;
    for (;;) {
        AcquireSRWLockShared(&KeptLock);
        LONG64 end = KeptFrom + static_cast<LONG64>(Kept.size() - KeptHead);
        if (next < KeptFrom) next = KeptFrom;
        size_t offset = KeptHead + static_cast<size_t>(next - KeptFrom);
        size_t count = static_cast<size_t>(end - next) < chunk ? static_cast<size_t>(end - next) : chunk;
        part.assign(Kept, offset, count);
        ReleaseSRWLockShared(&KeptLock);
        if (count == 0) return true;
        if (!SendRequest(CMD_WRITE, part.data(), static_cast<int>(count))) return false;
        next += static_cast<LONG64>(count);
    }
}

// One attempt: connect, open the stream's format, then put the stream back.
// True once the stream is linked again.
static bool TryResume(DWORD limitMs) {
    if (ConnectServerUntil(ResumeStop, limitMs) == INVALID_SOCKET) return false;
    PcmFormat format = StreamFormat();
    if (Stopped(0) || !SendRequest(CMD_OPEN, &format, sizeof format) || !AwaitReply(CMD_OPEN)) {
        DropLink();
        return false;
    }
    EnterStream();
    bool linked = false;
    if (StreamState() == STREAM_RECONNECTING) {
        // A service that has just started plays at its own volume until it
        // hears the player's.
        SendVolume();
        bool sent = PluginState.Paused == 0 || SendRequest(CMD_PAUSE, nullptr, 0);
        if (sent && ReplayKept()) {
            RestartSilenceWatch();
            InterlockedExchange(&State, STREAM_LINKED);
            linked = true;
        }
    }
    LeaveStream();
    if (!linked) DropLink();
    return linked;
}

static void Resume() {
    DWORD start = GetTickCount();
    DWORD retry = FIRST_RETRY_MS;
    DropLink();  // the lost connection
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
    InterlockedCompareExchange(&State, STREAM_GIVEN_UP, STREAM_RECONNECTING);
}

// The thread holds the DLL until its last instruction, in case the host
// unloads it without Quit.
static DWORD WINAPI ResumeStream(void *module) {
    Resume();
    if (module) FreeLibraryAndExitThread(static_cast<HMODULE>(module), 0);
    return 0;
}

void StreamLinkLost() {
    EnterCriticalSection(&ResumerLock);
    if (InterlockedCompareExchange(&State, STREAM_RECONNECTING, STREAM_LINKED) != STREAM_LINKED) {
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
        InterlockedExchange(&State, STREAM_GIVEN_UP);
    }
    LeaveCriticalSection(&ResumerLock);
}

bool TakeGivenUpReport() {
    return InterlockedCompareExchange(&State, STREAM_DROPPING, STREAM_GIVEN_UP) == STREAM_GIVEN_UP;
}

void DropRestOfStream() {
    if (StreamState() != STREAM_NONE) InterlockedExchange(&State, STREAM_DROPPING);
    ClockHold();
}

int StreamClosed() {
    EnterStream();
    EnterCriticalSection(&ResumerLock);
    int was = InterlockedExchange(&State, STREAM_NONE);
    SetEvent(ResumeStop);
    HANDLE thread = Resumer;
    Resumer = nullptr;
    LeaveCriticalSection(&ResumerLock);
    LeaveStream();
    if (thread) {
        // The thread may be waiting for the service's reply on a connection
        // of its own: dropping the link ends that wait at once.
        while (WaitForSingleObject(thread, 20) == WAIT_TIMEOUT)
            if (was == STREAM_RECONNECTING) DropLink();
        CloseHandle(thread);
    }
    if (was == STREAM_RECONNECTING) DropLink();
    ClearKept(0);
    return was;
}
