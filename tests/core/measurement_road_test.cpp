// The whole road of one measurement, from the scan button to both fields,
// with the complete log.
#include "fake_platform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::ElementsAre;
using testing::ElementsAreArray;

namespace {

ble::Bytes frame(char kind, std::string_view text)
{
    ble::Bytes bytes{0xAA, 0x55, 0x01, 0x13, static_cast<std::uint8_t>(kind), 0x00, 0x02};
    bytes.insert(bytes.end(), text.begin(), text.end());
    bytes.insert(bytes.end(), {0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0x01, 0xFF});
    return bytes;
}

std::vector<std::string> frameByteLines(const ble::Bytes& bytes)
{
    std::vector<std::string> lines;
    for (const auto byte : bytes)
        lines.push_back("data = Optional(" + std::to_string(byte) + ")");
    return lines;
}

std::vector<std::string> concat(std::vector<std::vector<std::string>> parts)
{
    std::vector<std::string> all;
    for (auto& part : parts)
        all.insert(all.end(), part.begin(), part.end());
    return all;
}

} // namespace

TEST(MeasurementRoad, FromScanButtonToBothFieldsWithTheCompleteLog)
{
    fake::Platform platform;
    auto& central = *platform.central;
    EXPECT_TRUE(platform.log->lines.empty()) << "loading the view writes nothing";

    platform.controller->centralManagerDidUpdateState(central);
    platform.controller->viewDidAppear();
    platform.toggleScan(true);
    ASSERT_EQ(central.callsOf(fake::CentralCall::Kind::scan).size(), 1u);
    EXPECT_FALSE(central.callsOf(fake::CentralCall::Kind::scan)[0].options->allowDuplicates);
    EXPECT_TRUE(central.callsOf(fake::CentralCall::Kind::cancel).empty());

    auto meter = std::make_shared<fake::Peripheral>("meter-1", "SIM Meter");
    platform.report(meter, -58, {{"kCBAdvDataLocalName", "SIM Meter"}});
    auto& table = *platform.table;
    ASSERT_EQ(platform.controller->numberOfRowsInTableView(table), 1);
    const auto cell = platform.controller->tableViewViewForTableColumn(table, {"name"}, 0);
    ASSERT_NE(cell, nullptr);
    EXPECT_EQ(table.cells.back().name->stringValue(), "SIM Meter");
    EXPECT_EQ(table.cells.back().rssi->stringValue(), "-58");

    platform.select({0});
    EXPECT_EQ(platform.scanButton->state(), ui::controlState::off);
    ASSERT_EQ(central.callsOf(fake::CentralCall::Kind::connect).size(), 1u);
    platform.connect(meter);
    ASSERT_EQ(meter->requestsOf(fake::Request::Kind::discoverServices).size(), 1u);

    auto ff01 = fake::makeCharacteristic("FF01", ble::property::writeWithoutResponse);
    auto ff02 = fake::makeCharacteristic("FF02", ble::property::notify);
    platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
    ff02->notifying = true;
    platform.controller->peripheralDidUpdateNotificationStateForCharacteristic(meter, ff02, std::nullopt);

    platform.runLoop->advance(2.0);
    const auto temperature = frame('0', "23.5");
    const auto humidity = frame('4', "45.6");
    platform.deliverValue(meter, ff02, temperature);
    platform.deliverValue(meter, ff02, humidity);

    EXPECT_EQ(platform.temperature->stringValue(), "23.5 \u02DA"
                                                   "C");
    EXPECT_EQ(platform.humidity->stringValue(), "45.6 %RH");

    const std::string stars61(61, '*');
    const std::string stars55(55, '*');
    const auto expected = concat({
        {"centralManagerDidUpdateState", "Bluetooth Enabled", "View Cleared", "Now Scanning...",
         // the report
         "Found peripheral", "peripheralRssiInt -58", "", stars61,
         "Found new pheripheral devices with services", "Peripheral name: Optional(\"SIM Meter\")",
         "Advertisement Data : [\"kCBAdvDataLocalName\": \"SIM Meter\"]", "RSSI: [-58]",
         "Peripheral info: <Peripheral: identifier = meter-1, name = SIM Meter>", stars61, "",
         // the table
         "myTableViewData.count Optional(1)",
         // the selection
         "tableViewSelectionDidChange", "0", "0", "peripheralName ", "peripheralID ???", "peripheralRSSI -58",
         "Scan Stopped", "Number of Peripherals Found: Optional(1)",
         // the connection
         std::string(29, '*'), "Connection complete",
         "Peripheral info: Optional(<Peripheral: identifier = meter-1, name = SIM Meter>)", "Scan Stopped",
         // the services
         stars55, "Found 1 services!", "service UUID: FFF0", "Discovered Services: [<Service: UUID = FFF0>]",
         // the characteristics
         stars55, "Found 2 characteristics!", "<Characteristic: UUID = FF01, properties = 4>", "count: 2",
         "characteristic UUID: FF01", "characteristic FF01 write: FF01", "sending data", "data = 94",
         "1 bytes", "<Characteristic: UUID = FF02, properties = 16>", "BLE_Characteristic_uuid_FF02 found",
         "count: 2", "characteristic UUID: FF02", "FF02: properties contains .notify",
         // the subscription
         stars55, "Characteristic's value subscribed", "Subscribed. Notification has begun for: FF02",
         // the first tick
         "data = 94", "sending data",
         // the temperature frame
         "didUpdateValueFor characteristic UUID: FF02", "data update value Optional(19 bytes)"},
        frameByteLines(temperature),
        {"Optional(\"0\")", "Optional(\"23.5\")",
         // the humidity frame
         "didUpdateValueFor characteristic UUID: FF02", "data update value Optional(19 bytes)"},
        frameByteLines(humidity),
        {"Optional(\"4\")", "Optional(\"45.6\")"},
    });
    EXPECT_THAT(platform.log->lines, ElementsAreArray(expected));

    // One request when FF01 was found and one at the tick, each a single 0x5E without response.
    const auto writes = meter->requestsOf(fake::Request::Kind::write);
    ASSERT_EQ(writes.size(), 2u);
    for (const auto& write : writes) {
        EXPECT_THAT(write.value, ElementsAre(0x5E));
        EXPECT_EQ(write.writeType, ble::WriteType::withoutResponse);
        EXPECT_EQ(write.characteristic, ff01);
    }
    // FF02 is subscribed twice: once as FF02, once as a notify-capable characteristic.
    EXPECT_EQ(meter->requestsOf(fake::Request::Kind::setNotify).size(), 2u);
    EXPECT_TRUE(platform.controller->counter);
}
