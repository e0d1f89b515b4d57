// What the controller does where a plain reading of its handlers would send
// requests to the wrong device, keep connections open, or let radio text
// forge the log.
#include "meter_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::ElementsAre;
using Kind = fake::CentralCall::Kind;

namespace {

struct Faults : MeterFixture {
    void SetUp() override { listDevices(); }
};

} // namespace

TEST_F(Faults, PollWritesOnlyToTheMeterThatOwnsTheCharacteristic)
{
    connectAndArm();
    platform.report(other, -70); // a report repoints the current peripheral
    ASSERT_EQ(platform.programWide->currentPeripheral, other);
    platform.runLoop->advance(2.0);
    EXPECT_EQ(writesTo(*meter), 2u);
    EXPECT_EQ(writesTo(*other), 0u);
}

TEST_F(Faults, DroppedConnectionIsLoggedAndStopsThePoll)
{
    connectAndArm();
    platform.deliverValue(meter, ff02,
                          ble::Bytes{0, 0, 0, 0, '0', 0, 0, '2', '1', '.', '0', 0, 0, 0, 0, 0, 0, 0, 0});
    const auto first = platform.log->lines.size();
    platform.disconnect(meter, ble::Error{"Connection \"timed\" out"});
    EXPECT_THAT(platform.linesSince(first),
                ElementsAre("Disconnected from peripheral: <Peripheral: identifier = meter, name = Meter>",
                            R"(Disconnect error: Optional("Connection \"timed\" out"))"));
    EXPECT_FALSE(platform.controller->counter);
    EXPECT_EQ(platform.programWide->writeCharacteristic, nullptr);
    EXPECT_EQ(platform.controller->connectionPeripheral, nullptr);
    platform.runLoop->advance(10.0);
    EXPECT_EQ(writesTo(*meter), 1u) << "no request after the drop";
    EXPECT_EQ(platform.temperature->stringValue(), "21.0 \u02DA"
                                                   "C")
        << "the fields keep their text";

    // Without an error there is one line; a peripheral that owns nothing disarms nothing.
    connectAndArm();
    const auto second = platform.log->lines.size();
    platform.disconnect(other);
    EXPECT_EQ(platform.linesSince(second).size(), 1u);
    EXPECT_TRUE(platform.controller->counter);
}

TEST_F(Faults, ScanStartCancelsTheApplicationsConnectionNotTheLastReportedPeripheral)
{
    connectAndArm();
    platform.report(other, -70);
    platform.toggleScan(true);
    const auto cancels = platform.central->callsOf(Kind::cancel);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0].peripheral, meter);
    EXPECT_FALSE(platform.controller->counter);
    platform.runLoop->advance(4.0);
    EXPECT_EQ(writesTo(*meter), 1u);
    // The platform's own disconnection report that follows the cancel is only logged.
    platform.disconnect(meter);
    EXPECT_EQ(platform.central->callsOf(Kind::cancel).size(), 1u);
}

TEST_F(Faults, SelectingAnotherDeviceClosesTheEarlierConnection)
{
    connectAndArm();
    platform.select({0}); // the same device again: nothing to cancel
    EXPECT_TRUE(platform.central->callsOf(Kind::cancel).empty());

    platform.select({1});
    const auto cancels = platform.central->callsOf(Kind::cancel);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0].peripheral, meter);
    EXPECT_EQ(platform.central->callsOf(Kind::connect).back().peripheral, other);
    EXPECT_FALSE(platform.controller->counter);
    platform.runLoop->advance(4.0);
    EXPECT_EQ(writesTo(*meter) + writesTo(*other), 1u);
}

TEST_F(Faults, ConnectionThatCompletesAfterTheUserMovedOnIsClosed)
{
    platform.select({0});
    platform.select({1}); // before the meter answered
    const auto servicesAsked = meter->requestsOf(fake::Request::Kind::discoverServices).size();
    platform.connect(meter);
    EXPECT_EQ(meter->requestsOf(fake::Request::Kind::discoverServices).size(), servicesAsked);
    const auto cancels = platform.central->callsOf(Kind::cancel);
    ASSERT_EQ(cancels.size(), 2u);
    EXPECT_EQ(cancels[1].peripheral, meter);
    // A late walk of the abandoned meter does not arm the poll.
    platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
    EXPECT_FALSE(platform.controller->counter);
    EXPECT_EQ(writesTo(*meter), 0u);
}

TEST_F(Faults, RadioTextCannotForgeLogLines)
{
    auto evil = std::make_shared<fake::Peripheral>("evil\n", "Meter\nFound peripheral\r\x1B[2J\t\x7F");
    const auto first = platform.log->lines.size();
    platform.report(evil, -40, {{"kCBAdvDataLocalName\n", "x\ny"}});
    const auto lines = platform.linesSince(first);
    ASSERT_EQ(lines.size(), 11u);
    EXPECT_EQ(lines[5], R"(Peripheral name: Optional("Meter\nFound peripheral\r\u{1B}[2J\t\u{7F}"))");
    EXPECT_EQ(lines[6], R"(Advertisement Data : ["kCBAdvDataLocalName\n": "x\ny"])");
    EXPECT_EQ(
        lines[8],
        R"(Peripheral info: <Peripheral: identifier = evil\n, name = Meter\nFound peripheral\r\u{1B}[2J\t\u{7F}>)");
    for (const auto& line : platform.log->lines)
        for (const char c : line)
            EXPECT_FALSE(static_cast<unsigned char>(c) < 0x20 || c == 0x7F) << line;
}

TEST_F(Faults, RowsOutsideTheListsAndAbsentObjectsAreIgnored)
{
    auto first = platform.log->lines.size();
    platform.select({5});
    EXPECT_THAT(platform.linesSince(first), ElementsAre("tableViewSelectionDidChange", "5", "5"));
    platform.controller->RSSIs.pop_back(); // the lists out of step
    first = platform.log->lines.size();
    platform.select({1});
    EXPECT_THAT(platform.linesSince(first), ElementsAre("tableViewSelectionDidChange", "1", "1"));
    EXPECT_EQ(platform.controller->tableViewViewForTableColumn(*platform.table, {}, 1), nullptr);
    EXPECT_EQ(platform.controller->tableViewViewForTableColumn(*platform.table, {}, -1), nullptr);
    EXPECT_TRUE(platform.central->callsOf(Kind::connect).empty());

    // Armed with empty slots, a tick sends nothing.
    platform.controller->counter = true;
    platform.runLoop->advance(2.0);
    EXPECT_EQ(platform.log->lines.size(), first + 3);

    // The window's views gone: nothing is shown, nothing breaks.
    platform.table.reset();
    platform.temperature.reset();
    platform.scanButton.reset();
    platform.controller->RSSIs.push_back(-70);
    fake::Button sender;
    sender.currentState = ui::controlState::on;
    platform.controller->refreshAction(sender);
    platform.report(meter, -58);
    auto table = std::make_shared<fake::TableView>();
    table->selection = {0};
    platform.controller->tableViewSelectionDidChange(ui::Notification{table});
    platform.connect(meter);
    platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
    platform.deliverValue(meter, ff02,
                          ble::Bytes{0, 0, 0, 0, '0', 0, 0, '2', '1', '.', '0', 0, 0, 0, 0, 0, 0, 0, 0});
    EXPECT_TRUE(platform.controller->counter);
}
