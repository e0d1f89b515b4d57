// Radio state, scan control, the device list and its table.
#include "meter_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::ElementsAre;
using Kind = fake::CentralCall::Kind;

namespace {

const std::string bluetoothDisabled = "Bluetooth Disabled- Make sure your Bluetooth is turned on";

using Discovery = MeterFixture;

} // namespace

TEST_F(Discovery, RadioStateIsOnlyLogged)
{
    for (int state = 0; state <= 5; ++state) {
        platform.central->currentState = state;
        const auto first = platform.log->lines.size();
        platform.controller->centralManagerDidUpdateState(*platform.central);
        EXPECT_THAT(platform.linesSince(first),
                    ElementsAre("centralManagerDidUpdateState",
                                state == 5 ? "Bluetooth Enabled" : bluetoothDisabled));
    }
    EXPECT_TRUE(platform.central->calls.empty());
}

TEST_F(Discovery, ScanButtonOffStopsAndCountsEvenWhenMixed)
{
    platform.scanButton->currentState = ui::controlState::mixed;
    platform.controller->refreshAction(*platform.scanButton);
    EXPECT_THAT(platform.log->lines, ElementsAre("Scan Stopped", "Number of Peripherals Found: Optional(0)"));
    EXPECT_EQ(platform.central->callsOf(Kind::stopScan).size(), 1u);
    EXPECT_TRUE(platform.central->callsOf(Kind::scan).empty());
}

TEST_F(Discovery, ListsEachNamedPeripheralStrongerThanMinus100Once)
{
    platform.toggleScan(true);
    const int reloadsAtStart = platform.table->reloads;
    auto unnamed = std::make_shared<fake::Peripheral>("unnamed", std::nullopt);
    auto weak = std::make_shared<fake::Peripheral>("weak", "Weak");
    auto edge = std::make_shared<fake::Peripheral>("edge", "Edge");
    auto emptyName = std::make_shared<fake::Peripheral>("empty", "");

    platform.report(meter, -67);
    platform.report(unnamed, -40);
    platform.report(weak, -100);
    platform.report(edge, -99);
    platform.report(emptyName, 10);
    platform.report(meter, -30); // again, stronger: keeps its first strength

    const auto& listed = *platform.controller->peripherals;
    ASSERT_EQ(listed.size(), 3u);
    EXPECT_EQ(listed[0], meter);
    EXPECT_EQ(listed[1], edge);
    EXPECT_EQ(listed[2], emptyName);
    EXPECT_THAT(platform.controller->RSSIs, ElementsAre(-67, -99, 10));
    EXPECT_EQ(platform.table->reloads - reloadsAtStart, 3);
    EXPECT_FALSE(meter->delegate.expired()) << "a listed peripheral reports to the controller";
    EXPECT_TRUE(unnamed->delegate.expired());
    EXPECT_EQ(platform.programWide->currentPeripheral, meter)
        << "every report becomes the current peripheral";
    // Every report writes eleven lines.
    EXPECT_EQ(platform.log->lines.size(), 1u + 6 * 11);
}

TEST_F(Discovery, ReportLinesShowNameAdvertisementAndTheWholeList)
{
    platform.toggleScan(true);
    platform.report(other, -70);
    auto unnamed = std::make_shared<fake::Peripheral>("anon", std::nullopt);
    const auto first = platform.log->lines.size();
    platform.report(unnamed, -40, {{"kCBAdvDataIsConnectable", "1"}, {"kCBAdvDataTxPowerLevel", "8"}});
    const auto lines = platform.linesSince(first);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[1], "peripheralRssiInt -40");
    EXPECT_EQ(lines[5], "Peripheral name: nil");
    EXPECT_EQ(lines[6],
              R"(Advertisement Data : ["kCBAdvDataIsConnectable": "1", "kCBAdvDataTxPowerLevel": "8"])");
    EXPECT_EQ(lines[7], "RSSI: [-70]");

    const auto emptyReport = platform.log->lines.size();
    platform.report(std::make_shared<fake::Peripheral>("blank", ""), -50);
    EXPECT_EQ(platform.log->lines[emptyReport + 5], "Peripheral name: Optional(\"\")");
    EXPECT_EQ(platform.log->lines[emptyReport + 6], "Advertisement Data : [:]");
    EXPECT_EQ(platform.log->lines[emptyReport + 7], "RSSI: [-70, -50]");
}

TEST_F(Discovery, NameArrivingInALaterReportListsThePeripheralThen)
{
    platform.toggleScan(true);
    auto late = std::make_shared<fake::Peripheral>("late", std::nullopt);
    platform.report(late, -60);
    EXPECT_TRUE(platform.controller->peripherals->empty());
    late->currentName = "Late";
    platform.report(late, -61);
    ASSERT_EQ(platform.controller->peripherals->size(), 1u);
    EXPECT_THAT(platform.controller->RSSIs, ElementsAre(-61));
}

TEST_F(Discovery, ANewScanEmptiesTheListAndCancelsOnlyTheApplicationsConnection)
{
    platform.toggleScan(true);
    platform.report(meter, -60);
    platform.toggleScan(true);
    EXPECT_TRUE(platform.central->callsOf(Kind::cancel).empty())
        << "a peripheral that was only reported has no connection to cancel";
    EXPECT_TRUE(platform.controller->peripherals->empty());
    EXPECT_TRUE(platform.controller->RSSIs.empty());
    EXPECT_FALSE(platform.controller->timer->isValid()) << "the plain timer field is invalidated";
    EXPECT_EQ(platform.central->callsOf(Kind::scan).size(), 2u);

    platform.report(meter, -60);
    platform.select({0});
    platform.report(other, -70); // repoints currentPeripheral while connecting
    platform.toggleScan(true);
    const auto cancels = platform.central->callsOf(Kind::cancel);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0].peripheral, meter);
}

TEST_F(Discovery, TableRowsShowNameAndStrengthInEveryColumn)
{
    auto& table = *platform.table;
    EXPECT_EQ(platform.controller->numberOfRowsInTableView(table), 0);
    EXPECT_EQ(platform.log->lines.back(), "myTableViewData.count Optional(0)");

    platform.toggleScan(true);
    platform.report(meter, -67);
    const auto first = platform.log->lines.size();
    for (const auto* column : {"name", "rssi", "id"})
        platform.controller->tableViewViewForTableColumn(table, {column}, 0);
    EXPECT_EQ(platform.log->lines.size(), first) << "named rows write no log line";
    ASSERT_EQ(table.cells.size(), 3u);
    for (const auto& cell : table.cells) {
        EXPECT_EQ(cell.name->stringValue(), "Meter");
        EXPECT_EQ(cell.rssi->stringValue(), "-67");
        EXPECT_EQ(cell.id->stringValue(), "ID") << "the ID field keeps what the prototype gave it";
    }
    EXPECT_THAT(table.requestedIdentifiers, testing::Each(std::string("defaultRow")));
}

TEST_F(Discovery, RowWhoseNameWentAwayShowsNoName)
{
    platform.toggleScan(true);
    platform.report(meter, -67);
    meter->currentName.reset();
    const auto first = platform.log->lines.size();
    platform.controller->tableViewViewForTableColumn(*platform.table, {"name"}, 0);
    EXPECT_THAT(platform.linesSince(first), ElementsAre("no name"));
    const auto& cell = platform.table->cells.back();
    EXPECT_EQ(cell.name->stringValue(), "no name");
    EXPECT_EQ(cell.rssi->stringValue(), "RSSI") << "the strength field is not written";
}

TEST_F(Discovery, ViewDisappearingStopsTheScanButNotThePoll)
{
    platform.controller->viewWillDisappear();
    platform.controller->viewDidAppear();
    EXPECT_THAT(platform.log->lines, ElementsAre("Stop Scanning", "View Cleared"));
    EXPECT_EQ(platform.central->callsOf(Kind::stopScan).size(), 1u);
    ASSERT_EQ(platform.runLoop->scheduled.size(), 1u);
    EXPECT_EQ(platform.runLoop->scheduled[0].mode, "NSDefaultRunLoopMode");
    EXPECT_TRUE(platform.runLoop->scheduled[0].timer->repeats());
    EXPECT_DOUBLE_EQ(platform.runLoop->scheduled[0].timer->timeInterval().count(), 2.0);
}
