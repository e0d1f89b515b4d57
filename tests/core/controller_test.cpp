// The controller's handlers on the fake platform: the whole road of a
// measurement with its complete log, then each handler's cases.
#include "fake_platform.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>

using testing::ElementsAre;
using Kind = fake::Request::Kind;

namespace {

const std::string stars29(29, '*'), stars55(55, '*'), stars61(61, '*');

// A measurement frame of the kind with the four bytes of text.
ble::Bytes frame(std::uint8_t kind, std::string_view text)
{
    ble::Bytes bytes{0xAA, 0x55, 0x01, 0x13, kind, 0x00, 0x02, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0x01, 0xFF};
    std::copy_n(text.begin(), 4, bytes.begin() + 7);
    return bytes;
}

struct Controller : testing::Test {
    // Scans and hears the meter (row 0) and another device (row 1).
    void listDevices()
    {
        platform.toggleScan(true);
        platform.report(meter, -58);
        platform.report(other, -70);
    }

    std::vector<std::string> linesOf(const std::function<void()>& step)
    {
        const auto first = platform.log->lines.size();
        step();
        return {platform.log->lines.begin() + static_cast<long>(first), platform.log->lines.end()};
    }

    ViewController& controller() { return *platform.controller; }

    fake::Platform platform;
    std::shared_ptr<fake::Peripheral> meter = std::make_shared<fake::Peripheral>("meter", "Meter");
    std::shared_ptr<fake::Peripheral> other = std::make_shared<fake::Peripheral>("other", "Other");
    std::shared_ptr<fake::Characteristic> ff01 =
        fake::makeCharacteristic("FF01", ble::property::writeWithoutResponse);
    std::shared_ptr<fake::Characteristic> ff02 = fake::makeCharacteristic("FF02", ble::property::notify);
};

} // namespace

TEST_F(Controller, RoadFromTheScanButtonToBothFieldsLogsEveryStep)
{
    controller().centralManagerDidUpdateState(*platform.central);
    controller().viewDidAppear();
    platform.toggleScan(true);
    platform.report(meter, -58, {{"kCBAdvDataLocalName", "Meter"}, {"kCBAdvDataTxPowerLevel", "8"}});
    controller().numberOfRowsInTableView(*platform.table);
    platform.select({0});
    platform.connect(meter);
    const auto model = fake::makeCharacteristic("2A24", ble::property::read);
    platform.discoverGatt(meter,
                          {fake::makeService("180A", {model}), fake::makeService("FFF0", {ff01, ff02})});
    ff02->notifying = true;
    controller().peripheralDidUpdateNotificationStateForCharacteristic(meter, ff02, std::nullopt);
    platform.runLoop->advance(2.0);
    const auto temperature = frame('0', "23.5");
    platform.deliverValue(meter, ff02, temperature);
    platform.deliverValue(meter, ff02, frame('4', "45.6"));
    platform.disconnect(meter, ble::Error{"Link \"lost\""});
    platform.runLoop->advance(4.0);

    std::vector<std::string> expected = {
        "centralManagerDidUpdateState",
        "Bluetooth Enabled",
        "View Cleared",
        "Now Scanning...",
        "Found peripheral",
        "peripheralRssiInt -58",
        "",
        stars61,
        "Found new pheripheral devices with services",
        "Peripheral name: Optional(\"Meter\")",
        R"(Advertisement Data : ["kCBAdvDataLocalName": "Meter", "kCBAdvDataTxPowerLevel": "8"])",
        "RSSI: [-58]",
        "Peripheral info: <Peripheral: identifier = meter, name = Meter>",
        stars61,
        "",
        "myTableViewData.count Optional(1)",
        "tableViewSelectionDidChange",
        "0",
        "0",
        "peripheralName ",
        "peripheralID ???",
        "peripheralRSSI -58",
        "Scan Stopped",
        "Number of Peripherals Found: Optional(1)",
        stars29,
        "Connection complete",
        "Peripheral info: Optional(<Peripheral: identifier = meter, name = Meter>)",
        "Scan Stopped",
        stars55,
        "Found 2 services!",
        "service UUID: 180A",
        "service UUID: FFF0",
        "Discovered Services: [<Service: UUID = 180A>, <Service: UUID = FFF0>]",
        stars55,
        "Found 1 characteristics!",
        "<Characteristic: UUID = 2A24, properties = 2>",
        "count: 1",
        "characteristic UUID: 2A24",
        "2A24: properties contains .read",
        "",
        stars55,
        "Found 2 characteristics!",
        "<Characteristic: UUID = FF01, properties = 4>",
        "count: 2",
        "characteristic UUID: FF01",
        "characteristic FF01 write: FF01",
        "sending data",
        "data = 94",
        "1 bytes",
        "<Characteristic: UUID = FF02, properties = 16>",
        "BLE_Characteristic_uuid_FF02 found",
        "count: 2",
        "characteristic UUID: FF02",
        "FF02: properties contains .notify",
        stars55,
        "Characteristic's value subscribed",
        "Subscribed. Notification has begun for: FF02",
        "data = 94",
        "sending data",
        "didUpdateValueFor characteristic UUID: FF02",
        "data update value Optional(19 bytes)"};
    for (const auto byte : temperature)
        expected.push_back("data = Optional(" + std::to_string(byte) + ")");
    expected.insert(expected.end(), {"Optional(\"0\")", "Optional(\"23.5\")"});
    const auto lines = platform.log->lines;
    ASSERT_GE(lines.size(), expected.size() + 25);
    EXPECT_THAT(std::vector(lines.begin(), lines.begin() + static_cast<long>(expected.size())),
                testing::ElementsAreArray(expected));
    EXPECT_THAT(std::vector(lines.end() - 4, lines.end()),
                ElementsAre("Optional(\"4\")", "Optional(\"45.6\")",
                            "Disconnected from peripheral: <Peripheral: identifier = meter, name = Meter>",
                            R"(Disconnect error: Optional("Link \"lost\""))"));
    EXPECT_EQ(platform.temperature->stringValue(), "23.5 \u02DA"
                                                   "C");
    EXPECT_EQ(platform.humidity->stringValue(), "45.6 %RH");

    // Every service's characteristics asked for; one request when FF01 was found and one at the tick,
    // none after the drop, which disarms the poll.
    EXPECT_EQ(meter->of(Kind::characteristics).size(), 2u);
    const auto writes = meter->of(Kind::write);
    ASSERT_EQ(writes.size(), 2u);
    for (const auto& write : writes)
        EXPECT_TRUE(write.value == ble::Bytes{0x5E} && write.writeType == ble::WriteType::withoutResponse &&
                    write.characteristic == ff01);
    EXPECT_FALSE(controller().counter);
}

TEST_F(Controller, ScanFollowsTheButtonNotTheRadioOnEmptiesTheListAndCancelsTheConnection)
{
    for (int state = 0; state <= 5; ++state) {
        platform.central->currentState = state;
        EXPECT_THAT(linesOf([&] { controller().centralManagerDidUpdateState(*platform.central); }),
                    ElementsAre("centralManagerDidUpdateState",
                                state == 5 ? "Bluetooth Enabled"
                                           : "Bluetooth Disabled- Make sure your Bluetooth is turned on"));
    }
    EXPECT_TRUE(platform.central->requests.empty());
    listDevices();
    for (const int state : {ui::controlState::off, ui::controlState::mixed}) {
        platform.scanButton->currentState = state;
        EXPECT_THAT(linesOf([&] { controller().refreshAction(*platform.scanButton); }),
                    ElementsAre("Scan Stopped", "Number of Peripherals Found: Optional(2)"));
    }
    EXPECT_EQ(controller().RSSIs.size(), 2u);
    platform.toggleScan(true);
    EXPECT_TRUE(platform.central->of(Kind::cancel).empty()) << "a device only reported has no connection";
    listDevices();
    platform.select({0});
    platform.connect(meter);
    platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
    ASSERT_TRUE(controller().counter);
    platform.report(other, -70); // the last report is not the connection
    platform.toggleScan(true);
    const auto cancels = platform.central->of(Kind::cancel);
    ASSERT_EQ(cancels.size(), 1u);
    EXPECT_EQ(cancels[0].peripheral, meter);
    EXPECT_TRUE(controller().RSSIs.empty());
    EXPECT_FALSE(controller().timer->isValid()) << "the plain timer field is invalidated";
    platform.runLoop->advance(4.0);
    EXPECT_EQ(meter->of(Kind::write).size(), 1u);
    for (const auto& scan : platform.central->of(Kind::scan))
        EXPECT_THAT(scan.value, ElementsAre(false)) << "no duplicate reports asked for";
}

TEST_F(Controller, ListsEachNamedPeripheralStrongerThanMinus100OnceWithItsFirstStrength)
{
    platform.toggleScan(true);
    struct Report {
        std::shared_ptr<fake::Peripheral> peripheral;
        int rssi;
        bool listed;
    };
    const auto late = std::make_shared<fake::Peripheral>("late", std::nullopt);
    const std::vector<Report> reports = {
        {meter, -67, true},
        {std::make_shared<fake::Peripheral>("unnamed", std::nullopt), -40, false},
        {std::make_shared<fake::Peripheral>("weak", "Weak"), -100, false},
        {std::make_shared<fake::Peripheral>("edge", "Edge\t"), -99, true},
        {std::make_shared<fake::Peripheral>("empty", ""), 10, true},
        {std::make_shared<fake::Peripheral>("meter", "Meter"), -30, false}, // the same device again
        {late, -60, false}};
    for (const auto& [peripheral, rssi, listed] : reports) {
        const auto rows = controller().peripherals->size();
        const auto reloads = platform.table->reloads;
        platform.report(peripheral, rssi);
        EXPECT_EQ(controller().peripherals->size(), rows + listed) << peripheral->identifier();
        EXPECT_EQ(platform.table->reloads, reloads + listed);
        EXPECT_EQ(platform.programWide->currentPeripheral, peripheral)
            << "every report becomes the current one";
    }
    late->currentName = "Late"; // a name that comes with a later report lists the device then
    platform.report(late, -61);
    EXPECT_THAT(controller().RSSIs, ElementsAre(-67, -99, 10, -61));
    EXPECT_EQ(platform.log->lines.end()[-4], "RSSI: [-67, -99, 10, -61]");
    EXPECT_THAT(platform.log->lines, testing::Contains("Advertisement Data : [:]"));
    EXPECT_THAT(platform.log->lines,
                testing::Contains("Peripheral info: <Peripheral: identifier = edge, name = Edge\\t>"));
}

TEST_F(Controller, CellsShowNameAndStrengthOfListedRowsOnly)
{
    EXPECT_EQ(platform.table->dataSource.lock(), platform.controller);
    EXPECT_EQ(platform.table->delegate.lock(), platform.controller);
    listDevices();
    EXPECT_EQ(controller().numberOfRowsInTableView(*platform.table), 2);
    ASSERT_NE(controller().tableViewViewForTableColumn(*platform.table, {"name"}, 0), nullptr);
    const auto& named = platform.table->cells.back();
    EXPECT_EQ(named.name->stringValue(), "Meter");
    EXPECT_EQ(named.rssi->stringValue(), "-58");

    other->currentName.reset();
    EXPECT_THAT(linesOf([&] { controller().tableViewViewForTableColumn(*platform.table, {"rssi"}, 1); }),
                ElementsAre("no name"));
    EXPECT_EQ(platform.table->cells.back().name->stringValue(), "no name");
    EXPECT_EQ(platform.table->cells.back().rssi->stringValue(), "RSSI");

    controller().RSSIs.pop_back(); // the lists out of step: row 1 is not listed
    for (const long row : {1L, -1L, 2L})
        EXPECT_EQ(controller().tableViewViewForTableColumn(*platform.table, {}, row), nullptr);
    platform.select({1});
    EXPECT_TRUE(platform.central->of(Kind::connect).empty());
}

TEST_F(Controller, SelectionTakesTheLowestRowStopsTheScanAndConnects)
{
    listDevices();
    platform.scanButton->currentState = ui::controlState::on;
    EXPECT_THAT(linesOf([&] {
                    platform.select({1, 0});
                }),
                testing::IsSupersetOf({"1", "0", "peripheralRSSI -58"}));
    EXPECT_EQ(platform.scanButton->currentState, ui::controlState::off);
    EXPECT_EQ(platform.central->linkTo(*meter), fake::CentralManager::Link::pending);
    EXPECT_THAT(linesOf([&] {
                    platform.select({});
                    controller().tableViewSelectionDidChange({platform.scanButton});
                }),
                ElementsAre("tableViewSelectionDidChange", "-1", "tableViewSelectionDidChange"));
}

TEST_F(Controller, PollWritesEveryTwoSecondsToTheArmedConnectionOnly)
{
    listDevices();
    platform.runLoop->advance(1.0);
    platform.select({0});
    platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
    EXPECT_FALSE(controller().counter) << "a walk before the connection is made arms nothing";
    platform.connect(meter);
    platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
    platform.report(other, -70); // repoints the current peripheral
    platform.runLoop->advance(1.0);
    EXPECT_THAT(linesOf([&] { platform.runLoop->advance(4.0); }),
                ElementsAre("data = 94", "sending data", "data = 94", "sending data"));
    EXPECT_EQ(meter->of(Kind::write).size(), 4u) << "2 s after the view loaded, then every 2 s";
    EXPECT_EQ(other->of(Kind::write).size(), 0u);

    // The view going away stops the scan but not the poll.
    EXPECT_THAT(linesOf([&] { controller().viewWillDisappear(); }), ElementsAre("Stop Scanning"));
    EXPECT_EQ(platform.central->of(Kind::stopScan).size(), 3u);
    platform.runLoop->advance(2.0);
    EXPECT_EQ(meter->of(Kind::write).size(), 5u);
    EXPECT_EQ(platform.runLoop->mode, "NSDefaultRunLoopMode");
}

TEST_F(Controller, ConnectionsEndAsThePlatformSaysAndOnlyOneStaysOpen)
{
    listDevices();
    platform.select({0});
    EXPECT_TRUE(linesOf([&] { platform.failToConnect(meter, std::nullopt); }).empty());
    EXPECT_THAT(linesOf([&] { platform.failToConnect(meter, ble::Error{"refused"}); }),
                ElementsAre("Failed to connect to peripheral"));
    EXPECT_EQ(controller().connectionPeripheral, nullptr);

    // Moving on before the meter answered: its late connection is closed, not walked.
    platform.select({0});
    platform.select({1});
    platform.connect(meter);
    EXPECT_EQ(platform.central->linkTo(*meter), fake::CentralManager::Link::none);
    EXPECT_TRUE(meter->of(Kind::services).empty());

    // Moving to another device closes the armed connection and stops its poll.
    platform.select({0});
    platform.connect(meter);
    platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
    platform.select({1});
    EXPECT_EQ(platform.central->linkTo(*meter), fake::CentralManager::Link::none);
    EXPECT_FALSE(controller().counter);

    // Back to the meter before the platform answered the cancel: the late answer keeps the new connection.
    platform.select({0});
    platform.disconnect(meter);
    platform.connect(meter);
    platform.discoverGatt(meter, {fake::makeService("FFF0", {ff01, ff02})});
    EXPECT_TRUE(controller().counter);
    platform.select({1});
    EXPECT_EQ(platform.central->connectedLinks(), 0u);
}

TEST_F(Controller, CharacteristicWalkReadsSubscribesAndTakesOnlyFF01ForTheRequest)
{
    listDevices();
    platform.select({0});
    platform.connect(meter);
    const auto readNotify = fake::makeCharacteristic("2A1C", ble::property::read | ble::property::notify);
    const auto lookalike =
        fake::makeCharacteristic("0000FF01-0000-1000-8000-00805F9B34FC", ble::property::write);
    const auto ff02Read = fake::makeCharacteristic("FF02", ble::property::read);
    const auto service = fake::makeService("FFF0", {readNotify, lookalike, ff02Read});
    controller().peripheralDidDiscoverCharacteristicsForService(meter, service, std::nullopt);
    using Call = std::pair<Kind, std::shared_ptr<ble::Characteristic>>;
    std::vector<Call> requests;
    for (const auto& request : meter->requests)
        requests.emplace_back(request.kind, request.characteristic);
    EXPECT_THAT(requests, ElementsAre(Call{Kind::services, nullptr}, Call{Kind::read, readNotify},
                                      Call{Kind::notify, readNotify}, Call{Kind::notify, ff02Read},
                                      Call{Kind::read, ff02Read}));
    EXPECT_FALSE(controller().counter) << "a 128-bit FF01 look-alike is not the request characteristic";

    // Errors and missing lists end their callbacks.
    service->discovered.reset();
    meter->discovered.reset();
    EXPECT_THAT(linesOf([&] {
                    controller().peripheralDidDiscoverServices(meter, std::nullopt);
                    controller().peripheralDidDiscoverServices(meter, ble::Error{"Timed\nout"});
                    controller().peripheralDidDiscoverCharacteristicsForService(meter, service, std::nullopt);
                }),
                ElementsAre(stars55, stars55, "Error discovering services: Timed\\nout", stars55));
}

TEST_F(Controller, SubscriptionAnswersAreLogged)
{
    // The road has the subscription that succeeds.
    const auto answer = [&](bool notifying, std::optional<ble::Error> error) {
        ff02->notifying = notifying;
        return linesOf(
            [&] { controller().peripheralDidUpdateNotificationStateForCharacteristic(meter, ff02, error); });
    };
    EXPECT_THAT(answer(false, std::nullopt), ElementsAre(stars55, "Characteristic's value subscribed"));
    EXPECT_THAT(answer(true, ble::Error{"\"No\""}),
                ElementsAre(stars55, R"(Error changing notification state:Optional("\"No\""))",
                            "Subscribed. Notification has begun for: FF02"));
}

TEST_F(Controller, ValuesAreLoggedByteByByteWithTheKindAndTextOfAFrame)
{
    // The lines after the UUID line, the value line and the byte lines; the frame fuzzer has the other
    // values.
    const std::vector<std::pair<std::optional<ble::Bytes>, std::vector<std::string>>> cases = {
        {std::nullopt, {}},
        {frame(0xC3, "23.5"), {"nil"}},
        {frame('0', "\xFF\xFF\xFF\xFF"), {"Optional(\"0\")", "nil"}},
        {frame('4', std::string("1\0\xC3\xA9", 4)), {"Optional(\"4\")", "Optional(\"1\\0\u00E9\")"}}};
    // Any characteristic's value is decoded, and an error that comes with it is not examined.
    const auto readable = fake::makeCharacteristic("2A00", ble::property::read);
    for (const auto& [value, lines] : cases) {
        auto logged = linesOf([&, &delivered = value] {
            platform.deliverValue(meter, readable, delivered, ble::Error{"ignored"});
        });
        ASSERT_EQ(logged.front(), "didUpdateValueFor characteristic UUID: 2A00");
        EXPECT_EQ(logged.at(1),
                  "data update value " +
                      (value ? "Optional(" + std::to_string(value->size()) + " bytes)" : "nil"));
        logged.erase(logged.begin(), logged.begin() + (logged.size() > 3 ? 21 : 2));
        EXPECT_EQ(logged, lines);
    }
    EXPECT_EQ(platform.temperature->stringValue(), "error \u02DAC");
    EXPECT_EQ(platform.humidity->stringValue(), std::string("1\0\u00E9 %RH", 8));
}
