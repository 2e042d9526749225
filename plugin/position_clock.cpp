// The smoothed play position: the pure estimate and the plug-in's one clock.
#include "plugin/position_clock.h"

#include "plugin/plugin_state.h"

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

LONG64 EstimatePosition(const PositionClock &clock, LONG64 nowTicks, LONG64 ticksPerSecond,
                        LONG64 played, LONG64 written, int paused, int bytesPerSecond) {
    if (written <= played) return played;
    LONG64 estimate = played > clock.LastBytes ? played : clock.LastBytes;
    if (!paused && clock.AnchorTicks != 0 && bytesPerSecond > 0 && ticksPerSecond > 0) {
        LONG64 elapsed = nowTicks - clock.AnchorTicks;
        LONG64 longest = ticksPerSecond * CLOCK_MAX_AHEAD_MS / 1000;
        if (elapsed > longest) elapsed = longest;
        if (elapsed < 0) elapsed = 0;
        LONG64 ahead = clock.AnchorBytes + elapsed * bytesPerSecond / ticksPerSecond;
        if (ahead > estimate) estimate = ahead;
    }
    return estimate < written ? estimate : written;
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
                                       LoadCounter(&PluginState.PlayedBytes),
                                       LoadCounter(&PluginState.WrittenBytes), PluginState.Paused,
                                       PluginState.BytesPerSecond);
    if (position > Clock.LastBytes) Clock.LastBytes = position;
    ReleaseSRWLockExclusive(&ClockLock);
    return position;
}
