// The application over the simulated radio, long and wide: hours of polling with every answer shown
// and the heap flat (in the sanitizer build nothing leaks either), and a flood of peripherals in one
// scan, each listed once. The soak_run and flood_bench programs measure the same at full size.
#include "simulated_session.h"

#include <gtest/gtest.h>

TEST(Soak, HoursOfPollingShowEveryAnswerAndKeepTheHeapFlat)
{
    constexpr simradio::Duration hour{3'600'000};
    reliability::SimulatedSession session(simradio::defaultWorld());
    session.toggleScan(true);
    ASSERT_TRUE(session.selectByName("SIM Thermo-Hygrometer"));
    // The first hour holds everything made once (the radio's world, the connection).
    session.clock->advanceBy(hour);
    const auto heapAfterFirstHour = reliability::heapInUse();
    session.clock->advanceBy(hour * 5);
    const auto heapAfterSixHours = reliability::heapInUse();
    session.clock->advanceBy(simradio::Duration{1'000}); // the answer to the last request

    // One request when the meter was found, then one per tick; each answered, the first one too.
    const auto requests = session.peripheral("02:00:5E:10:00:01")->measurementRequestsReceived();
    EXPECT_EQ(requests, 6 * 1'800u + 1);
    EXPECT_EQ(static_cast<std::size_t>(session.temperature->writes + session.humidity->writes), requests);
    EXPECT_EQ(session.log->firstFault, "");
    if (!heapAfterFirstHour || !heapAfterSixHours)
        GTEST_SKIP() << "this C library does not tell the heap in use";
    EXPECT_LT(static_cast<long long>(*heapAfterSixHours) - static_cast<long long>(*heapAfterFirstHour),
              16 * 1024);
}

TEST(Flood, ThousandsOfPeripheralsInOneScanAreEachListedOnceWithTheirStrength)
{
    constexpr int count = 2'000;
    reliability::SimulatedSession session(reliability::floodWorld(count));
    session.toggleScan(true);
    const int reloadsAtScanStart = session.table->reloads;
    session.clock->advanceBy(simradio::Duration{10'000});

    const auto& listed = *session.controller->peripherals;
    ASSERT_EQ(listed.size(), static_cast<std::size_t>(count));
    std::vector<bool> seen(count);
    for (std::size_t row = 0; row < listed.size(); ++row) {
        const int index = std::stoi(listed[row]->identifier().substr(6));
        EXPECT_FALSE(seen.at(index)) << "listed twice: " << index;
        seen.at(index) = true;
        EXPECT_EQ(session.controller->RSSIs.at(row), -40 - index % 59);
    }
    EXPECT_EQ(session.table->reloads - reloadsAtScanStart, count) << "one reload per listed peripheral";
    EXPECT_GE(session.log->lines, 11u * count);
    EXPECT_EQ(session.log->firstFault, "");
}
