// What a scan of the simulated world reports, and when.
#include "radio_recorder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <iostream>
#include <set>

namespace simradio::testing {
namespace {

using Kind = RadioEvent::Kind;

std::vector<RadioEvent> reportsOf(const RadioRecorder& recorder, const std::string& identifier)
{
    auto reports = recorder.eventsOf(Kind::discovery);
    std::erase_if(reports, [&](const auto& report) { return report.peripheral->identifier() != identifier; });
    return reports;
}

TEST(SimulatedCentral, ReportsItsPoweredOnStateAfterItWasMadeNotWhileBeingMade)
{
    RadioBench bench(defaultWorld());
    EXPECT_TRUE(bench.recorder->events.empty());
    ASSERT_TRUE(bench.awaitEvent(Kind::state, 0));
    EXPECT_GT(bench.clock->now(), Duration{0});
    EXPECT_EQ(bench.recorder->events.front().rssi, ble::managerState::poweredOn);
    EXPECT_EQ(bench.central->state(), ble::managerState::poweredOn);
}

TEST(SimulatedCentral, DefaultWorldScanReportsTheMeterAndTheListingRuleNeighbours)
{
    RadioBench bench(defaultWorld());
    bench.central->scanForPeripherals({});
    bench.clock->advanceBy(Duration{0});
    EXPECT_TRUE(bench.recorder->eventsOf(Kind::discovery).empty()) << "reported from inside the scan request";
    bench.clock->advanceBy(Duration{5'000});

    struct SingleReport {
        std::string identifier;
        std::optional<std::string> name;
        int rssi;
    };
    for (const auto& expected : {SingleReport{"02:00:5E:10:00:01", "SIM Thermo-Hygrometer", -58},
                                 SingleReport{"02:00:5E:10:00:02", "SIM Fitness Band", -70},
                                 SingleReport{"02:00:5E:10:00:03", std::nullopt, -64},
                                 SingleReport{"02:00:5E:10:00:04", "SIM Distant Beacon", -100},
                                 SingleReport{"02:00:5E:10:00:05", "SIM Edge Sensor", -99}}) {
        const auto reports = reportsOf(*bench.recorder, expected.identifier);
        ASSERT_EQ(reports.size(), 1u) << expected.identifier;
        EXPECT_EQ(reports[0].name, expected.name) << expected.identifier;
        EXPECT_EQ(reports[0].rssi, expected.rssi) << expected.identifier;
        const auto advertisedName = reports[0].advertisement.find("localName");
        EXPECT_EQ(advertisedName != reports[0].advertisement.end() ? std::optional(advertisedName->second)
                                                                   : std::nullopt,
                  expected.name)
            << expected.identifier;
    }

    const auto lateNamed = reportsOf(*bench.recorder, "02:00:5E:10:00:06");
    ASSERT_EQ(lateNamed.size(), 2u);
    EXPECT_EQ(lateNamed[0].name, std::nullopt);
    EXPECT_EQ(lateNamed[1].name, "SIM Late Tag");
    EXPECT_EQ(lateNamed[0].peripheral, lateNamed[1].peripheral) << "one device, one peripheral object";
    EXPECT_LT(lateNamed[0].at, lateNamed[1].at);

    // Repeats are filtered: the reports are over once each was delivered.
    const auto delivered = bench.recorder->eventsOf(Kind::discovery).size();
    EXPECT_EQ(delivered, 7u);
    bench.clock->advanceBy(Duration{60'000});
    EXPECT_EQ(bench.recorder->eventsOf(Kind::discovery).size(), delivered);
}

TEST(SimulatedCentral, StopScanEndsTheReportsAndANewScanReportsAgain)
{
    RadioBench bench(defaultWorld());
    bench.central->scanForPeripherals({});
    bench.clock->advanceBy(Duration{190});
    const auto beforeStop = bench.recorder->eventsOf(Kind::discovery).size();
    ASSERT_GT(beforeStop, 0u);
    bench.central->stopScan();
    EXPECT_FALSE(bench.central->isScanning());
    bench.clock->advanceBy(Duration{10'000});
    EXPECT_EQ(bench.recorder->eventsOf(Kind::discovery).size(), beforeStop);

    bench.central->scanForPeripherals({});
    bench.clock->advanceBy(Duration{10'000});
    EXPECT_EQ(bench.recorder->eventsOf(Kind::discovery).size(), beforeStop + 7);
}

TEST(SimulatedCentral, PoweredOffRadioReportsItsStateAndFindsNothing)
{
    auto world = defaultWorld();
    world.radioState = ble::managerState::poweredOff;
    RadioBench bench(world);
    bench.central->scanForPeripherals({});
    bench.clock->advanceBy(Duration{10'000});
    ASSERT_EQ(bench.recorder->eventsOf(Kind::state).size(), 1u);
    EXPECT_EQ(bench.recorder->eventsOf(Kind::state)[0].rssi, ble::managerState::poweredOff);
    EXPECT_TRUE(bench.recorder->eventsOf(Kind::discovery).empty());
}

TEST(SimulatedCentral, FloodOfTenThousandDistinctPeripheralsIsReportedOnceEach)
{
    SimulatedWorld world;
    for (int index = 0; index < 10'000; ++index) {
        auto device = plainPeripheral("FLOOD-" + std::to_string(index),
                                      {{"Flood " + std::to_string(index), -40 - index % 60}});
        device.firstReportAfter = Duration{1 + index % 5'000};
        world.peripherals.push_back(std::move(device));
    }
    RadioBench bench(world);
    const auto started = std::chrono::steady_clock::now();
    bench.central->scanForPeripherals({});
    bench.clock->advanceBy(Duration{10'000});
    const auto elapsed = std::chrono::steady_clock::now() - started;

    const auto reports = bench.recorder->eventsOf(Kind::discovery);
    ASSERT_EQ(reports.size(), 10'000u);
    std::set<std::string> identifiers;
    for (const auto& report : reports)
        identifiers.insert(report.peripheral->identifier());
    EXPECT_EQ(identifiers.size(), 10'000u);
    EXPECT_TRUE(std::is_sorted(reports.begin(), reports.end(),
                               [](const auto& a, const auto& b) { return a.at < b.at; }));
    std::cout << "[ benchmark ] 10000 simulated reports delivered in "
              << std::chrono::duration<double, std::milli>(elapsed).count() << " ms\n";
}

} // namespace
} // namespace simradio::testing
