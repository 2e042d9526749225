// The play position between CMD_PLAYED reports (stream layer). The device
// gives buffers back in bursts, so the played count alone moves in steps of
// tens of milliseconds; like an audio stack's time smoother, the clock keeps
// the time of the latest report and runs on from it at the stream's byte
// rate, held between what has been reported played and what has been
// written, and never backwards within a stream (EstimatePosition).
#pragma once

#include <windows.h>

#include "plugin/arithmetic.h"

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
// The current position in bytes, from the stream's counters.
LONG64 ClockPosition();
