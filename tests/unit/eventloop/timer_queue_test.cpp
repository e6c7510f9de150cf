// The timer queue on a simulated clock: due times, catching up after a stall,
// and changes made from inside callbacks.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/eventloop/TimerQueue.h"

namespace orvyn::eventloop {
namespace {

const auto kNeverStop = [] { return false; };

TEST(TimerQueue, RunsEachTimerWhenDueAndReportsTheWait) {
    TimerQueue q;
    std::string log;
    EXPECT_EQ(q.MsUntilNext(0), -1);
    q.Add(10, [&] { log += 'a'; }, 1000);
    q.Add(25, [&] { log += 'b'; }, 1000);
    EXPECT_EQ(q.MsUntilNext(1000), 10);
    q.RunDue(1009, kNeverStop);
    EXPECT_EQ(log, "");
    q.RunDue(1010, kNeverStop);
    EXPECT_EQ(log, "a");
    EXPECT_EQ(q.MsUntilNext(1010), 10);
    q.RunDue(1025, kNeverStop);
    EXPECT_EQ(log, "aab");
    EXPECT_EQ(q.MsUntilNext(1100), 0);
}

TEST(TimerQueue, AStalledTimerRunsOnceNotInABurst) {
    TimerQueue q;
    int runs = 0;
    q.Add(10, [&] { ++runs; }, 0);
    q.RunDue(95, kNeverStop);
    EXPECT_EQ(runs, 1);
    EXPECT_EQ(q.MsUntilNext(95), 10);
}

TEST(TimerQueue, CallbacksMayRemoveThemselvesOthersOrAddTimers) {
    TimerQueue q;
    std::vector<std::string> log;
    int self = 0;
    int victim = 0;
    self = q.Add(5, [&] {
        log.push_back("self");
        q.Remove(self);
        q.Remove(victim);
        q.Add(1, [&] { log.push_back("added"); }, 5);
    }, 0);
    victim = q.Add(5, [&] { log.push_back("victim"); }, 0);
    q.RunDue(5, kNeverStop);
    EXPECT_EQ(log, (std::vector<std::string>{"self"}));
    q.RunDue(6, kNeverStop);
    q.RunDue(50, kNeverStop);
    EXPECT_EQ(log, (std::vector<std::string>{"self", "added", "added"}));
}

TEST(TimerQueue, StopsBetweenCallbacksWhenAskedAndIdsAreDistinct) {
    TimerQueue q;
    int runs = 0;
    const int a = q.Add(1, [&] { ++runs; }, 0);
    const int b = q.Add(1, [&] { ++runs; }, 0);
    EXPECT_NE(a, b);
    EXPECT_GT(a, 0);
    q.RunDue(1, [&] { return runs > 0; });
    EXPECT_EQ(runs, 1);
    q.RunDue(1, kNeverStop);
    EXPECT_EQ(runs, 2);
    q.Remove(a);
    q.Remove(b);
    EXPECT_TRUE(q.Empty());
    q.Add(0, [&] { ++runs; }, 10);  // a zero period is one millisecond
    EXPECT_EQ(q.MsUntilNext(10), 1);
}

}  // namespace
}  // namespace orvyn::eventloop
