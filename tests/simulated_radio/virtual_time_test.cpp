// The virtual clock and the run loop over it.
#include "simulated_radio/scheduler_run_loop.h"
#include "simulated_radio/virtual_clock.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace simradio {
namespace {

TEST(VirtualClock, RunsDueCallbacksInTimeOrderThenPostingOrder)
{
    VirtualClock clock;
    std::vector<std::string> ran;
    clock.post(Duration{30}, [&] { ran.push_back("c@" + std::to_string(clock.now().count())); });
    clock.post(Duration{10}, [&] { ran.push_back("a@" + std::to_string(clock.now().count())); });
    clock.post(Duration{10}, [&] {
        ran.push_back("b@" + std::to_string(clock.now().count()));
        clock.post(Duration{0}, [&] { ran.push_back("b2@" + std::to_string(clock.now().count())); });
    });
    clock.post(Duration{31}, [&] { ran.push_back("late"); });
    EXPECT_TRUE(ran.empty());

    clock.advanceBy(Duration{30});
    EXPECT_EQ(ran, (std::vector<std::string>{"a@10", "b@10", "b2@10", "c@30"}));
    EXPECT_EQ(clock.now(), Duration{30});
    EXPECT_EQ(clock.pendingCount(), 1u);
}

TEST(VirtualClock, AdvanceUntilStopsAsSoonAsTheConditionHoldsOrAtTheLimit)
{
    VirtualClock clock;
    int fired = 0;
    for (int step = 1; step <= 5; ++step)
        clock.post(Duration{step * 100}, [&] { ++fired; });
    EXPECT_TRUE(clock.advanceUntil([&] { return fired == 2; }, Duration{1'000}));
    EXPECT_EQ(clock.now(), Duration{200});
    EXPECT_FALSE(clock.advanceUntil([&] { return fired == 10; }, Duration{1'000}));
    EXPECT_EQ(clock.now(), Duration{1'200});
    EXPECT_EQ(fired, 5);
}

TEST(SchedulerRunLoop, FiresARepeatingTimerEveryIntervalUntilInvalidated)
{
    auto clock = std::make_shared<VirtualClock>();
    SchedulerRunLoop runLoop(clock);
    std::vector<long> firedAt;
    auto timer = std::make_shared<app::Timer>(
        std::chrono::duration<double>(2.0), [&](app::Timer&) { firedAt.push_back(clock->now().count()); },
        true);
    runLoop.addTimer(timer, app::RunLoop::defaultMode);

    clock->advanceBy(Duration{1'999});
    EXPECT_TRUE(firedAt.empty());
    clock->advanceBy(Duration{4'001});
    EXPECT_EQ(firedAt, (std::vector<long>{2'000, 4'000, 6'000}));

    timer->invalidate();
    clock->advanceBy(Duration{10'000});
    EXPECT_EQ(firedAt.size(), 3u);
    EXPECT_EQ(clock->pendingCount(), 0u);
}

TEST(SchedulerRunLoop, FiresATimerThatDoesNotRepeatOnce)
{
    auto clock = std::make_shared<VirtualClock>();
    SchedulerRunLoop runLoop(clock);
    int fired = 0;
    runLoop.addTimer(std::make_shared<app::Timer>(
                         std::chrono::duration<double>(0.5), [&](app::Timer&) { ++fired; }, false),
                     app::RunLoop::defaultMode);
    clock->advanceBy(Duration{5'000});
    EXPECT_EQ(fired, 1);
}

} // namespace
} // namespace simradio
