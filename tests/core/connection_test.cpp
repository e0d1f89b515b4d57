// Selection, connection, the GATT walk and the subscription answers.
#include "meter_fixture.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

using testing::ElementsAre;
using Kind = fake::CentralCall::Kind;
using Request = fake::Request::Kind;

namespace {

struct Connection : MeterFixture {
    void SetUp() override { listDevices(); }
};

} // namespace

TEST_F(Connection, SelectionLogsTakesTheLowestRowStopsScanningAndConnects)
{
    platform.scanButton->currentState = ui::controlState::on;
    const auto first = platform.log->lines.size();
    platform.table->selection = {1, 0};
    platform.controller->tableViewSelectionDidChange(ui::Notification{platform.table});
    EXPECT_THAT(platform.linesSince(first),
                ElementsAre("tableViewSelectionDidChange", "1", "0", "peripheralName ", "peripheralID ???",
                            "peripheralRSSI -58", "Scan Stopped",
                            "Number of Peripherals Found: Optional(2)"));
    EXPECT_EQ(platform.scanButton->state(), ui::controlState::off);
    EXPECT_EQ(platform.programWide->currentPeripheral, meter);
    const auto connects = platform.central->callsOf(Kind::connect);
    ASSERT_EQ(connects.size(), 1u);
    EXPECT_EQ(connects[0].peripheral, meter);
}

TEST_F(Connection, NoSelectionOrNoTableChangesNothing)
{
    const auto first = platform.log->lines.size();
    platform.select({});
    platform.controller->tableViewSelectionDidChange(ui::Notification{platform.temperature});
    platform.controller->tableViewSelectionDidChange(ui::Notification{});
    EXPECT_THAT(platform.linesSince(first),
                ElementsAre("tableViewSelectionDidChange", "-1", "tableViewSelectionDidChange",
                            "tableViewSelectionDidChange"));
    EXPECT_TRUE(platform.central->callsOf(Kind::connect).empty());
}

TEST_F(Connection, ConnectionLogsTheCurrentSlotAndAsksForServices)
{
    platform.select({0});
    const auto first = platform.log->lines.size();
    platform.connect(meter);
    EXPECT_THAT(platform.linesSince(first),
                ElementsAre(std::string(29, '*'), "Connection complete",
                            "Peripheral info: Optional(<Peripheral: identifier = meter, name = Meter>)",
                            "Scan Stopped"));
    EXPECT_EQ(meter->requestsOf(Request::discoverServices).size(), 1u);
    EXPECT_TRUE(platform.controller->connectionEstablished);
}

TEST_F(Connection, FailedConnectionLogsOnlyWithAnError)
{
    platform.select({0});
    const auto first = platform.log->lines.size();
    platform.controller->centralManagerDidFailToConnectPeripheral(*platform.central, meter, std::nullopt);
    platform.controller->centralManagerDidFailToConnectPeripheral(*platform.central, meter,
                                                                  ble::Error{"Connection refused"});
    EXPECT_THAT(platform.linesSince(first), ElementsAre("Failed to connect to peripheral"));
    EXPECT_EQ(platform.controller->connectionPeripheral, nullptr);
}

TEST_F(Connection, ServiceWalkRequestsEveryServicesCharacteristicsInOrder)
{
    connectMeter();
    auto battery = fake::makeService("180F", {});
    auto vendor = fake::makeService("FFF0", {});
    meter->discovered = std::vector<std::shared_ptr<ble::Service>>{battery, vendor};
    const auto first = platform.log->lines.size();
    platform.controller->peripheralDidDiscoverServices(meter, std::nullopt);
    EXPECT_THAT(platform.linesSince(first),
                ElementsAre(std::string(55, '*'), "Found 2 services!", "service UUID: 180F",
                            "service UUID: FFF0",
                            "Discovered Services: [<Service: UUID = 180F>, <Service: UUID = FFF0>]"));
    const auto requests = meter->requestsOf(Request::discoverCharacteristics);
    ASSERT_EQ(requests.size(), 2u);
    EXPECT_EQ(requests[0].service, battery);
    EXPECT_EQ(requests[1].service, vendor);
}

TEST_F(Connection, EmptyMissingAndFailedListsEndTheirCallbacks)
{
    connectMeter();
    const auto first = platform.log->lines.size();
    platform.controller->peripheralDidDiscoverServices(meter, std::nullopt); // no list yet
    meter->discovered.emplace();
    platform.controller->peripheralDidDiscoverServices(meter, std::nullopt);
    platform.controller->peripheralDidDiscoverServices(meter, ble::Error{"Timed out"});
    const auto service = fake::makeService("FFF0", {});
    platform.controller->peripheralDidDiscoverCharacteristicsForService(meter, service, std::nullopt);
    service->discovered.reset();
    platform.controller->peripheralDidDiscoverCharacteristicsForService(meter, service, std::nullopt);
    platform.controller->peripheralDidDiscoverCharacteristicsForService(meter, service, ble::Error{"Busy"});
    const std::string stars(55, '*');
    EXPECT_THAT(platform.linesSince(first),
                ElementsAre(stars, stars, "Found 0 services!", "Discovered Services: []", stars,
                            "Error discovering services: Timed out", stars, "Found 0 characteristics!", stars,
                            stars, "Error discovering services: Busy"));
}

TEST_F(Connection, CharacteristicWalkReadsSubscribesAndTreatsEachTestOnItsOwn)
{
    connectMeter();
    auto readNotify = fake::makeCharacteristic("2A1C", ble::property::read | ble::property::notify);
    auto ff01Lower = fake::makeCharacteristic("0000FF01-0000-1000-8000-00805F9B34FC", ble::property::write);
    auto ff02 = fake::makeCharacteristic("FF02", ble::property::read);
    const auto first = platform.log->lines.size();
    platform.controller->peripheralDidDiscoverCharacteristicsForService(
        meter, fake::makeService("FFF0", {readNotify, ff01Lower, ff02}), std::nullopt);
    EXPECT_THAT(
        platform.linesSince(first),
        ElementsAre(std::string(55, '*'), "Found 3 characteristics!",
                    "<Characteristic: UUID = 2A1C, properties = 18>", "count: 3", "characteristic UUID: 2A1C",
                    "2A1C: properties contains .read", "", "2A1C: properties contains .notify",
                    "<Characteristic: UUID = 0000FF01-0000-1000-8000-00805F9B34FC, properties = 8>",
                    "count: 3", "characteristic UUID: 0000FF01-0000-1000-8000-00805F9B34FC",
                    "<Characteristic: UUID = FF02, properties = 2>", "BLE_Characteristic_uuid_FF02 found",
                    "count: 3", "characteristic UUID: FF02", "FF02: properties contains .read", ""));
    // The read comes before the subscription; FF02 is subscribed by its UUID alone.
    ASSERT_EQ(meter->requests.size(), 5u);
    EXPECT_EQ(meter->requests[1].kind, Request::read);
    EXPECT_EQ(meter->requests[2].kind, Request::setNotify);
    EXPECT_EQ(meter->requests[3].characteristic, ff02);
    EXPECT_EQ(meter->requests[3].kind, Request::setNotify);
    EXPECT_EQ(meter->requests[4].kind, Request::read);
    EXPECT_FALSE(platform.controller->counter) << "a 128-bit FF01 look-alike is not the write characteristic";
}

TEST_F(Connection, SubscriptionAnswersAreLogged)
{
    auto ff02 = fake::makeCharacteristic("FF02", ble::property::notify);
    const auto answer = [&](bool notifying, std::optional<ble::Error> error) {
        ff02->notifying = notifying;
        const auto first = platform.log->lines.size();
        platform.controller->peripheralDidUpdateNotificationStateForCharacteristic(meter, ff02, error);
        return platform.linesSince(first);
    };
    const std::string stars(55, '*');
    EXPECT_THAT(answer(true, std::nullopt), ElementsAre(stars, "Characteristic's value subscribed",
                                                        "Subscribed. Notification has begun for: FF02"));
    EXPECT_THAT(answer(false, std::nullopt), ElementsAre(stars, "Characteristic's value subscribed"));
    EXPECT_THAT(
        answer(false, ble::Error{"Not \"permitted\" \\ here"}),
        ElementsAre(stars, R"(Error changing notification state:Optional("Not \"permitted\" \\ here"))"));
    EXPECT_THAT(answer(true, ble::Error{"x"}),
                ElementsAre(stars, "Error changing notification state:Optional(\"x\")",
                            "Subscribed. Notification has begun for: FF02"));
}
