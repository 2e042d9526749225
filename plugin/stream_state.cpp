// The stream's record, its link state, the connection it owns and the locks
// that guard them (their order is in the header).
#include "plugin/stream_state.h"

StreamRecord Stream = {};

static CRITICAL_SECTION StreamLock;
static SRWLOCK ConnectionLock = SRWLOCK_INIT;
static volatile LONG State = STREAM_NONE;
// Set when "Can't send data to server" has been said for the connection that
// is gone, so that a host writing on does not get one box per Write; cleared
// by the next connection.
static volatile LONG SendFailureSaid;

// Set up before any host call can reach the stream (the DLL is being loaded).
static struct StreamLockSetup {
    StreamLockSetup() { InitializeCriticalSection(&StreamLock); }
} Setup;

void EnterStream() { EnterCriticalSection(&StreamLock); }
void LeaveStream() { LeaveCriticalSection(&StreamLock); }
int StreamState() { return InterlockedCompareExchange(&State, 0, 0); }
void SetStreamState(int state) { InterlockedExchange(&State, state); }
int SwapStreamStateTo(int state) { return InterlockedExchange(&State, state); }
int SwapStreamState(int from, int to) { return InterlockedCompareExchange(&State, to, from); }

LinkChannel *ReplaceConnection(LinkChannel *next) {
    AcquireSRWLockExclusive(&ConnectionLock);
    LinkChannel *previous = Stream.Connection;
    Stream.Connection = next;
    ReleaseSRWLockExclusive(&ConnectionLock);
    if (next) InterlockedExchange(&SendFailureSaid, 0);
    return previous;
}

void ShareConnectionLock() { AcquireSRWLockShared(&ConnectionLock); }
void UnshareConnectionLock() { ReleaseSRWLockShared(&ConnectionLock); }

bool IsStreamConnection(LinkChannel *link) {
    ShareConnectionLock();
    bool owned = link && Stream.Connection == link;
    UnshareConnectionLock();
    return owned;
}

LinkChannel *HoldStreamConnection() {
    ShareConnectionLock();
    LinkChannel *link = Stream.Connection;
    if (link) HoldLink(link);
    UnshareConnectionLock();
    return link;
}

bool StreamConnectionEnded() {
    LinkChannel *link = HoldStreamConnection();
    if (!link) return false;
    bool ended = LinkEnded(link);
    ReleaseLink(link);
    return ended;
}

bool TakeSendFailureReport() { return InterlockedExchange(&SendFailureSaid, 1) == 0; }
