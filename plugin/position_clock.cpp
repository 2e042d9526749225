// The plug-in's one play-position clock.
#include "plugin/position_clock.h"

#include "plugin/stream_state.h"

static PositionClock Clock;
static SRWLOCK ClockLock = SRWLOCK_INIT;

static LONG64 Ticks() {
    LARGE_INTEGER now;
    QueryPerformanceCounter(&now);
    return now.QuadPart;
}

static LONG64 TicksPerSecond() {
    LARGE_INTEGER frequency;
    QueryPerformanceFrequency(&frequency);
    return frequency.QuadPart;
}

void ClockRestart(LONG64 bytes) {
    AcquireSRWLockExclusive(&ClockLock);
    Clock.AnchorTicks = 0;
    Clock.AnchorBytes = bytes;
    Clock.LastBytes = bytes;
    ReleaseSRWLockExclusive(&ClockLock);
}

void ClockReport(LONG64 playedBytes) {
    AcquireSRWLockExclusive(&ClockLock);
    Clock.AnchorTicks = Ticks();
    Clock.AnchorBytes = playedBytes;
    ReleaseSRWLockExclusive(&ClockLock);
}

void ClockHold() {
    AcquireSRWLockExclusive(&ClockLock);
    Clock.AnchorTicks = 0;
    ReleaseSRWLockExclusive(&ClockLock);
}

void ClockResume() {
    AcquireSRWLockExclusive(&ClockLock);
    if (Clock.AnchorTicks != 0) {
        Clock.AnchorTicks = Ticks();
        Clock.AnchorBytes = Clock.LastBytes;
    }
    ReleaseSRWLockExclusive(&ClockLock);
}

LONG64 ClockPosition() {
    AcquireSRWLockExclusive(&ClockLock);
    LONG64 position = EstimatePosition(Clock, Ticks(), TicksPerSecond(),
                                       LoadCounter(&Stream.PlayedBytes),
                                       LoadCounter(&Stream.WrittenBytes), Stream.Paused,
                                       Stream.BytesPerSecond);
    if (position > Clock.LastBytes) Clock.LastBytes = position;
    ReleaseSRWLockExclusive(&ClockLock);
    return position;
}
