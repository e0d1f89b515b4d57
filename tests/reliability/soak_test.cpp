// A day of polling on virtual time: every tick sends one request, every
// answer is shown, the heap does not grow, and (in the sanitizer build)
// nothing leaks. The soak_run program prints the same figures.
#include "simulated_session.h"

#include <gtest/gtest.h>

TEST(Soak, DayOfPollingShowsEveryAnswerAndKeepsTheHeapFlat)
{
    constexpr int hours = 24;
    const auto figures = reliability::runSoak(hours);
    ASSERT_EQ(figures.heapAtHour.size(), static_cast<std::size_t>(hours));
    constexpr std::size_t ticksPerHour = 1'800;
    // The first request goes out when the meter is found, then one per tick.
    EXPECT_EQ(figures.requests, hours * ticksPerHour + 1);
    // The meter answers from the first tick on: the request sent when it was
    // found goes out before its notifications are on.
    EXPECT_EQ(figures.framesShown, figures.requests - 1);
    EXPECT_EQ(figures.logFault, "");
    // The first hour holds everything made once (the radio's world, the
    // connection); after it, each hour must leave the heap as it found it.
    const auto growth = static_cast<long long>(figures.heapAtHour.back()) -
                        static_cast<long long>(figures.heapAtHour.front());
    EXPECT_LT(growth, 16 * 1024) << "heap after hour 1: " << figures.heapAtHour.front()
                                 << " bytes, after hour " << hours << ": " << figures.heapAtHour.back();
}
