// The stream layer: the stream's record and the connection it owns, its
// counters, kept bytes, clock, volume, the resume and the silence rule
// (stream_state, kept_bytes, position_clock, volume, stream_resume, stream).
// It sits on the link layer and hears from it through StreamEvents, whose
// events run on each connection's reader thread: Played adds to the played
// count, frees kept bytes and feeds the clock; Silent applies the silence
// rule; Ended starts the resume of a linked stream. The module above calls
// the operations of stream.h on the host's threads; the resume runs on a
// thread of its own.
//
// Locks, always taken in this order, never the other way round:
//   StreamLock      the player's operations and the resume's takeover; held
//                   across sends and reply waits
//   VolumeLock      volume and pan, with their send
//   ResumerLock     starting and stopping the resume thread
//   ConnectionLock  which connection the stream owns (short holds)
//   KeptLock, ClockLock  the kept bytes and the clock (short holds)
// A reader thread takes only ConnectionLock (shared) and the last two, so it
// never waits behind an operation that waits for its reply. The connection
// is replaced only under StreamLock and ConnectionLock both; whoever holds
// StreamLock may use Stream.Connection without a hold of its own. No box is
// shown under any of these locks: operations return what to report.
#pragma once

#include <windows.h>

#include "plugin/server_link.h"

enum StreamLinkState {
    STREAM_NONE,          // no stream, or one that is not carried over a lost link
    STREAM_LINKED,        // the stream's bytes go to the service as written
    STREAM_RECONNECTING,  // the link was lost; bytes are kept for the service's return
    STREAM_GIVEN_UP,      // the window ended with no service; the next Write says so
    STREAM_DROPPING,      // said: the rest of the stream is taken and dropped
};

// The window ended with no service, whether or not the player has been told.
inline bool StreamGivenUp(int state) {
    return state == STREAM_GIVEN_UP || state == STREAM_DROPPING;
}

struct StreamRecord {
    LinkChannel *Connection;  // owned; null when there is none
    int StreamOpen;
    int SampleRate;
    int NumChannels;
    int BitsPerSample;
    int BytesPerSecond;
    // 64-bit so that streams of any length (radio runs for days) keep their
    // flow control and times; every access goes through the Interlocked
    // functions because the reply reader adds to PlayedBytes.
    volatile LONG64 BufferBytes;
    volatile LONG64 WrittenBytes;
    volatile LONG64 PlayedBytes;
    int Paused;
};

extern StreamRecord Stream;

inline LONG64 LoadCounter(volatile LONG64 *counter) {
    return InterlockedCompareExchange64(counter, 0, 0);
}
inline void StoreCounter(volatile LONG64 *counter, LONG64 value) {
    InterlockedExchange64(counter, value);
}
inline void AddToCounter(volatile LONG64 *counter, LONG64 amount) {
    InterlockedExchangeAdd64(counter, amount);
}

void EnterStream();
void LeaveStream();
int StreamState();
void SetStreamState(int state);
// Sets `state` and returns the one before.
int SwapStreamStateTo(int state);
// Moves from `from` to `to` only if the state is `from`; returns the state seen.
int SwapStreamState(int from, int to);

// Under StreamLock: makes `next` (may be null) the stream's connection and
// returns the one it replaces, for the caller to drop outside ConnectionLock.
LinkChannel *ReplaceConnection(LinkChannel *next);
// Any thread: whether `link` is the stream's connection. Between Share and
// Unshare it stays so (or not) while the caller acts on the answer.
bool IsStreamConnection(LinkChannel *link);
void ShareConnectionLock();
void UnshareConnectionLock();
// Any thread: the stream's connection with a hold on it, or null.
LinkChannel *HoldStreamConnection();
// Whether the stream's connection has been ended by the service.
bool StreamConnectionEnded();

// "Can't send data to server" is said once per lost connection: true for the
// first caller after the last connection was made.
bool TakeSendFailureReport();
