// Ten thousand distinct peripherals in one scan: every one is listed once,
// with its own strength, and every report is logged. (The time the event loop
// is blocked is measured by the flood_bench program; see docs/reliability.md.)
#include "simulated_session.h"

#include <gtest/gtest.h>

#include <set>

TEST(Flood, TenThousandPeripheralsInOneScanAreEachListedOnce)
{
    constexpr int count = 10'000;
    reliability::SimulatedSession session(reliability::floodWorld(count));
    session.scanOn();
    const int reloadsAtScanStart = session.table->reloads;
    session.clock->advanceBy(simradio::Duration{10'000});

    const auto& listed = *session.controller->peripherals;
    ASSERT_EQ(listed.size(), static_cast<std::size_t>(count));
    ASSERT_EQ(session.controller->RSSIs.size(), static_cast<std::size_t>(count));
    std::set<std::string> identifiers;
    for (std::size_t row = 0; row < listed.size(); ++row) {
        identifiers.insert(listed[row]->identifier());
        const int index = std::stoi(listed[row]->identifier().substr(6));
        EXPECT_EQ(session.controller->RSSIs[row], reliability::floodRssi(index));
    }
    EXPECT_EQ(identifiers.size(), static_cast<std::size_t>(count));
    EXPECT_EQ(session.table->reloads - reloadsAtScanStart, count) << "one reload per listed peripheral";
    EXPECT_GE(session.log->lines, 11u * count);
    EXPECT_EQ(session.log->firstFault, "");
}
