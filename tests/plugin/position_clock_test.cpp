// The position estimate between reports: its bounds, its rate, and where it
// gives the plain played count.
#include <gtest/gtest.h>

#include "plugin/position_clock.h"

namespace {

const LONG64 Tick = 1000000; // ticks per second
const int Rate = 176400;     // CD audio, bytes per second

LONG64 At(const PositionClock &clock, LONG64 ms, LONG64 played, LONG64 written, int paused = 0) {
    return EstimatePosition(clock, ms * Tick / 1000, Tick, played, written, paused, Rate);
}

TEST(PositionClock, RunsOnFromTheLatestReportAtTheByteRate) {
    PositionClock clock = {17640, 1000 * Tick / 1000, 17640};
    EXPECT_EQ(17640, At(clock, 1000, 17640, 352800));
    EXPECT_EQ(17640 + 8820, At(clock, 1050, 17640, 352800));
    // No further than 200 ms past the report, and never beyond what was written.
    EXPECT_EQ(17640 + 35280, At(clock, 1900, 17640, 352800));
    EXPECT_EQ(20000, At(clock, 1100, 17640, 20000));
}

TEST(PositionClock, GivesThePlayedCountWhereNothingRunsOn) {
    PositionClock restarted = {88200, 0, 88200};
    EXPECT_EQ(88200, At(restarted, 5000, 88200, 176400)); // no report since Open or Flush
    PositionClock clock = {17640, Tick, 30000};
    EXPECT_EQ(176400, At(clock, 1100, 176400, 176400)); // nothing pending
    EXPECT_EQ(30000, At(clock, 1100, 17640, 176400, 1)); // paused: where it was given out
    EXPECT_EQ(40000, At(clock, 1100, 40000, 176400, 1)); // ... or what has been reported since
}

TEST(PositionClock, NeverGoesBackOrBelowThePlayedCount) {
    // A report behind what was already given out leaves the position there
    // until the clock catches up with it.
    PositionClock clock = {17640, Tick, 26000};
    EXPECT_EQ(26000, At(clock, 1010, 17640, 352800));
    EXPECT_EQ(17640 + 17640, At(clock, 1100, 17640, 352800));
    EXPECT_EQ(50000, At(clock, 1010, 50000, 352800));
}

} // namespace
