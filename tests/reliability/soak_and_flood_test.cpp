// The application over the simulated radio, long and wide: hours of polling
// with every answer shown and the heap flat (in the sanitizer build nothing
// leaks either), and a flood of peripherals in one scan, each listed once.
// The soak_run and flood_bench programs measure the same at full size.
#include "simulated_radio/simulated_peripheral.h"
#include "simulated_session.h"

#include <gtest/gtest.h>

#include <set>

TEST(Soak, HoursOfPollingShowEveryAnswerAndKeepTheHeapFlat)
{
    constexpr int hours = 6;
    constexpr simradio::Duration hour{3'600'000};
    reliability::SimulatedSession session(simradio::defaultWorld());
    session.scanOn();
    ASSERT_TRUE(session.selectByName("SIM Thermo-Hygrometer"));
    // The first hour holds everything made once (the radio's world, the connection).
    session.clock->advanceBy(hour);
    const auto heapAfterFirstHour = reliability::heapInUse();
    session.clock->advanceBy(hour * (hours - 1));
    const auto growth =
        static_cast<long long>(reliability::heapInUse()) - static_cast<long long>(heapAfterFirstHour);
    session.clock->advanceBy(simradio::Duration{1'000}); // the answer to the last request

    // One request when the meter was found, then one per tick; each answered from the first tick on.
    const auto requests = session.peripheral("02:00:5E:10:00:01")->measurementRequestsReceived();
    EXPECT_EQ(requests, hours * 1'800u + 1);
    EXPECT_EQ(static_cast<std::size_t>(session.temperature->writes + session.humidity->writes), requests - 1);
    EXPECT_EQ(session.log->firstFault, "");
    EXPECT_LT(growth, 16 * 1024) << "heap after hour 1: " << heapAfterFirstHour;
}

TEST(Flood, ThousandsOfPeripheralsInOneScanAreEachListedOnceWithTheirStrength)
{
    constexpr int count = 2'000;
    reliability::SimulatedSession session(reliability::floodWorld(count));
    session.scanOn();
    const int reloadsAtScanStart = session.table->reloads;
    session.clock->advanceBy(simradio::Duration{10'000});

    const auto& listed = *session.controller->peripherals;
    ASSERT_EQ(listed.size(), static_cast<std::size_t>(count));
    std::set<std::string> identifiers;
    for (std::size_t row = 0; row < listed.size(); ++row) {
        identifiers.insert(listed[row]->identifier());
        EXPECT_EQ(session.controller->RSSIs.at(row),
                  reliability::floodRssi(std::stoi(listed[row]->identifier().substr(6))));
    }
    EXPECT_EQ(identifiers.size(), listed.size());
    EXPECT_EQ(session.table->reloads - reloadsAtScanStart, count) << "one reload per listed peripheral";
    EXPECT_GE(session.log->lines, 11u * count);
    EXPECT_EQ(session.log->firstFault, "");
}
