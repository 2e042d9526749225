// WaitWhilePending against a scripted status source: the poll intervals, the
// progress rule and the give-up rule.
#include <gtest/gtest.h>

#include <vector>

#include "service/service_app.h"

namespace {

struct Script {
    std::vector<SERVICE_STATUS_PROCESS> Statuses;
    size_t Next = 0;
    DWORD Now = 1000000;
    std::vector<DWORD> Sleeps;
    bool FailAt = false;
    size_t FailIndex = 0;
};
Script *Current;

BOOL ScriptedQuery(SC_HANDLE, SERVICE_STATUS_PROCESS *status) {
    if (Current->FailAt && Current->Next == Current->FailIndex)
        return FALSE;
    size_t index = Current->Next < Current->Statuses.size() ? Current->Next
                                                            : Current->Statuses.size() - 1;
    Current->Next++;
    *status = Current->Statuses[index];
    return TRUE;
}
void ScriptedSleep(DWORD ms) {
    Current->Sleeps.push_back(ms);
    Current->Now += ms;
}
DWORD ScriptedTick() { return Current->Now; }
const StatusSource Scripted = {ScriptedQuery, ScriptedSleep, ScriptedTick};

SERVICE_STATUS_PROCESS State(DWORD state, DWORD checkPoint, DWORD waitHint) {
    SERVICE_STATUS_PROCESS status = {};
    status.dwCurrentState = state;
    status.dwCheckPoint = checkPoint;
    status.dwWaitHint = waitHint;
    return status;
}

DWORD Wait(Script &script, DWORD pending) {
    Current = &script;
    return WaitWhilePending(nullptr, pending, Scripted);
}

TEST(WaitWhilePending, IntervalIsATenthOfTheHintWithinOneToTenSeconds) {
    EXPECT_EQ(4500u, PollInterval(45000));
    EXPECT_EQ(1000u, PollInterval(5000));
    EXPECT_EQ(10000u, PollInterval(200000));
    EXPECT_EQ(1000u, PollInterval(0));
    EXPECT_EQ(1000u, PollInterval(10009));
    EXPECT_EQ(1001u, PollInterval(10010));
    EXPECT_EQ(10000u, PollInterval(100010));
}

TEST(WaitWhilePending, NotPendingReturnsAtOnceWithoutSleeping) {
    Script script;
    script.Statuses = {State(SERVICE_RUNNING, 0, 0)};
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Wait(script, SERVICE_START_PENDING));
    EXPECT_TRUE(script.Sleeps.empty());
}

TEST(WaitWhilePending, PollsWithTheLatestHintUntilTheStateChanges) {
    Script script;
    script.Statuses = {State(SERVICE_START_PENDING, 1, 45000), State(SERVICE_START_PENDING, 2, 200000),
                       State(SERVICE_START_PENDING, 3, 5000), State(SERVICE_RUNNING, 0, 0)};
    EXPECT_EQ(static_cast<DWORD>(SERVICE_RUNNING), Wait(script, SERVICE_START_PENDING));
    EXPECT_EQ((std::vector<DWORD>{4500, 10000, 1000}), script.Sleeps);
}

TEST(WaitWhilePending, HintZeroNeverGivesUp) {
    Script script;
    for (int i = 0; i < 30; i++)
        script.Statuses.push_back(State(SERVICE_STOP_PENDING, 0, 0));
    script.Statuses.push_back(State(SERVICE_STOPPED, 0, 0));
    EXPECT_EQ(static_cast<DWORD>(SERVICE_STOPPED), Wait(script, SERVICE_STOP_PENDING));
    EXPECT_EQ(30u, script.Sleeps.size());
}

TEST(WaitWhilePending, GivesUpWhenTheCheckPointStallsLongerThanTheHint) {
    Script script;
    // Hint 3000 ms, polls 1 s apart: progress at the first poll, then none.
    script.Statuses = {State(SERVICE_STOP_PENDING, 1, 3000), State(SERVICE_STOP_PENDING, 2, 3000)};
    EXPECT_EQ(0u, Wait(script, SERVICE_STOP_PENDING));
    // 1 s to the growth, then 1, 2, 3 s without it (not yet beyond 3000), 4 s gives up.
    EXPECT_EQ(5u, script.Sleeps.size());
}

TEST(WaitWhilePending, FailedQueryReturnsZero) {
    Script script;
    script.Statuses = {State(SERVICE_START_PENDING, 0, 0)};
    script.FailAt = true;
    script.FailIndex = 2;
    EXPECT_EQ(0u, Wait(script, SERVICE_START_PENDING));
    EXPECT_EQ(2u, script.Sleeps.size());
    script = Script();
    script.Statuses = {State(SERVICE_START_PENDING, 0, 0)};
    script.FailAt = true;
    script.FailIndex = 0;
    EXPECT_EQ(0u, Wait(script, SERVICE_START_PENDING));
    EXPECT_TRUE(script.Sleeps.empty());
}

} // namespace
