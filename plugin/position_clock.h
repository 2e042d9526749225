// The play position between CMD_PLAYED reports. The device gives buffers
// back in bursts, so the played count alone moves in steps of tens of
// milliseconds; like an audio stack's time smoother, the clock keeps the time
// of the latest report and runs on from it at the stream's byte rate, held
// between what has been reported played and what has been written, and never
// backwards within a stream.
#pragma once

#include <windows.h>

// Extrapolation runs at most this far past the latest report: a service that
// stops reporting (an underrun, a stall) is not run ahead of for long.
enum { CLOCK_MAX_AHEAD_MS = 200 };

struct PositionClock {
    LONG64 AnchorBytes; // the position at AnchorTicks
    LONG64 AnchorTicks; // performance-counter ticks; 0: nothing to run on from
    LONG64 LastBytes;   // the last position given out in this stream
};

// The position in bytes at `nowTicks`: the played count when nothing is
// pending, while paused, or before the first report of a stream; otherwise
// run on from the anchor, within [played, written] and not below LastBytes.
LONG64 EstimatePosition(const PositionClock &clock, LONG64 nowTicks, LONG64 ticksPerSecond,
                        LONG64 played, LONG64 written, int paused, int bytesPerSecond);

// The operations below work on the plug-in's one clock, under its lock.
// Open and Flush: the position is exactly `bytes`, until the next report.
void ClockRestart(LONG64 bytes);
// The reply reader, after it has added a report to the played count.
void ClockReport(LONG64 playedBytes);
// The link gone: the position stays where it was given out.
void ClockHold();
// Resumed after a pause (which the estimate itself honours): the clock runs
// on from where it stood, not from the report before the pause.
void ClockResume();
// The current position in bytes, from PluginState's counters.
LONG64 ClockPosition();
