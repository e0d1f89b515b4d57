// Connections that fail or drop at every step of the road to a measurement,
// answers that arrive after their connection is gone, callbacks about devices
// that are no longer listed, a second meter, and discovery while polling.
#include "fake_platform.h"
#include "text_checks.h"

#include <gtest/gtest.h>

namespace {

using Kind = fake::Request::Kind;
using CallKind = fake::CentralCall::Kind;

const ble::Bytes temperatureFrame{0, 0, 0, 0, '0', 0, 0, '2', '1', '.', '5', 0, 0, 0, 0, 0, 0, 0, 0};

// A meter with its vendor service and a readable device information service.
struct Meter {
    explicit Meter(std::string identifier)
        : peripheral(std::make_shared<fake::Peripheral>(identifier, "Meter " + identifier))
    {
    }

    std::shared_ptr<fake::Peripheral> peripheral;
    std::shared_ptr<fake::Characteristic> ff01 =
        fake::makeCharacteristic("FF01", ble::property::writeWithoutResponse);
    std::shared_ptr<fake::Characteristic> ff02 = fake::makeCharacteristic("FF02", ble::property::notify);
    std::shared_ptr<fake::Characteristic> model = fake::makeCharacteristic("2A24", ble::property::read);
    std::shared_ptr<fake::Service> vendor = fake::makeService("FFF0", {ff01, ff02});
    std::shared_ptr<fake::Service> information = fake::makeService("180A", {model});
};

struct Reliability : testing::Test {
    std::size_t writesTo(const Meter& meter) const
    {
        return meter.peripheral->requestsOf(Kind::write).size();
    }

    ViewController& controller() { return *platform.controller; }

    void servicesFound(const Meter& meter)
    {
        meter.peripheral->discovered =
            std::vector<std::shared_ptr<ble::Service>>{meter.information, meter.vendor};
        controller().peripheralDidDiscoverServices(meter.peripheral, std::nullopt);
    }

    void characteristicsFound(const Meter& meter, const std::shared_ptr<fake::Service>& service)
    {
        controller().peripheralDidDiscoverCharacteristicsForService(meter.peripheral, service, std::nullopt);
    }

    // The answers a meter sends once it is subscribed and asked for a reading.
    void meterAnswers(const Meter& meter)
    {
        meter.ff02->notifying = true;
        controller().peripheralDidUpdateNotificationStateForCharacteristic(meter.peripheral, meter.ff02,
                                                                           std::nullopt);
        meter.model->currentValue = ble::Bytes{'T', 'H', '-', '1'};
        controller().peripheralDidUpdateValueForCharacteristic(meter.peripheral, meter.model, std::nullopt);
        platform.deliverValue(meter.peripheral, meter.ff02, temperatureFrame);
    }

    void connectAndArm(const Meter& meter, long row)
    {
        platform.select({row});
        platform.connect(meter.peripheral);
        servicesFound(meter);
        characteristicsFound(meter, meter.information);
        characteristicsFound(meter, meter.vendor);
        ASSERT_TRUE(controller().counter);
    }

    void expectEveryLineWellFormed() const
    {
        for (const auto& line : platform.log->lines)
            EXPECT_EQ(reliability::lineFault(line), "") << line;
    }

    fake::Platform platform;
    Meter meter{"meter"};
    Meter second{"second"};
};

// The steps of the road from a selection to a shown measurement.
enum class Step { connecting, connected, servicesFound, informationWalked, armed, measuring };

struct DisconnectionAtEveryStep : Reliability, testing::WithParamInterface<Step> {
    void advanceTo(Step step)
    {
        platform.toggleScan(true);
        platform.report(meter.peripheral, -58);
        platform.select({0});
        if (step >= Step::connected)
            platform.connect(meter.peripheral);
        if (step >= Step::servicesFound)
            servicesFound(meter);
        if (step >= Step::informationWalked)
            characteristicsFound(meter, meter.information);
        if (step >= Step::armed)
            characteristicsFound(meter, meter.vendor);
        if (step >= Step::measuring) {
            meterAnswers(meter);
            platform.runLoop->advance(2.0);
        }
    }
};

} // namespace

TEST_P(DisconnectionAtEveryStep, StopsThePollIgnoresLateAnswersAndAllowsANewConnection)
{
    const Step step = GetParam();
    advanceTo(step);
    const auto writesBefore = writesTo(meter);
    if (step == Step::connecting)
        controller().centralManagerDidFailToConnectPeripheral(*platform.central, meter.peripheral,
                                                              ble::Error{"Connection timed out"});
    else
        platform.disconnect(meter.peripheral, ble::Error{"The specified device has disconnected from us."});
    EXPECT_FALSE(controller().counter);
    EXPECT_EQ(controller().connectionPeripheral, nullptr);

    // Everything still in flight for the lost connection arrives late.
    servicesFound(meter);
    characteristicsFound(meter, meter.information);
    characteristicsFound(meter, meter.vendor);
    meterAnswers(meter);
    platform.runLoop->advance(10.0);
    EXPECT_FALSE(controller().counter);
    EXPECT_EQ(writesTo(meter), writesBefore) << "nothing goes to a meter that is gone";
    EXPECT_TRUE(platform.central->callsOf(CallKind::cancel).empty());

    // The user selects the meter again and the road starts over.
    connectAndArm(meter, 0);
    platform.runLoop->advance(2.0);
    EXPECT_EQ(writesTo(meter), writesBefore + 2);
    expectEveryLineWellFormed();
}

INSTANTIATE_TEST_SUITE_P(Reliability, DisconnectionAtEveryStep,
                         testing::Values(Step::connecting, Step::connected, Step::servicesFound,
                                         Step::informationWalked, Step::armed, Step::measuring));

TEST_F(Reliability, CallbacksAboutDevicesNoLongerListedChangeNothing)
{
    platform.toggleScan(true);
    platform.report(meter.peripheral, -58);
    connectAndArm(meter, 0);
    platform.toggleScan(true); // a new scan: the list is empty and the meter's connection cancelled
    ASSERT_TRUE(controller().peripherals->empty());
    const auto writesBefore = writesTo(meter);
    const auto servicesAsked = meter.peripheral->requestsOf(Kind::discoverServices).size();

    // A connection the platform had already made, a whole GATT walk, values and the disconnection.
    platform.connect(meter.peripheral);
    EXPECT_EQ(platform.central->callsOf(CallKind::cancel).size(), 2u)
        << "the late connection is closed again";
    EXPECT_EQ(meter.peripheral->requestsOf(Kind::discoverServices).size(), servicesAsked);
    servicesFound(meter);
    characteristicsFound(meter, meter.vendor);
    meterAnswers(meter);
    platform.disconnect(meter.peripheral);
    platform.runLoop->advance(6.0);

    // The same from a device the application never listed.
    Meter stranger{"stranger"};
    platform.connect(stranger.peripheral);
    servicesFound(stranger);
    characteristicsFound(stranger, stranger.vendor);
    platform.disconnect(stranger.peripheral, ble::Error{"gone"});
    platform.runLoop->advance(6.0);

    EXPECT_FALSE(controller().counter);
    EXPECT_EQ(writesTo(meter), writesBefore);
    EXPECT_EQ(writesTo(stranger), 0u);
    EXPECT_TRUE(controller().peripherals->empty());
    EXPECT_EQ(controller().numberOfRowsInTableView(*platform.table), 0);
    EXPECT_EQ(controller().connectionPeripheral, nullptr);
    expectEveryLineWellFormed();
}

TEST_F(Reliability, SecondMeterOfferingFF01NeverTakesThePollFromTheConnectedOne)
{
    platform.toggleScan(true);
    platform.report(meter.peripheral, -58);
    platform.report(second.peripheral, -61);
    connectAndArm(meter, 0);

    // The second meter's walk arrives although it was never connected.
    servicesFound(second);
    characteristicsFound(second, second.vendor);
    platform.runLoop->advance(4.0);
    EXPECT_EQ(writesTo(second), 0u);
    EXPECT_EQ(writesTo(meter), 3u);
    EXPECT_EQ(platform.programWide->writePeripheral, meter.peripheral);

    // The user moves to the second meter: the poll follows it and only it.
    platform.select({1});
    platform.connect(second.peripheral);
    servicesFound(second);
    characteristicsFound(second, second.vendor);
    characteristicsFound(meter, meter.vendor); // the first meter's late walk
    platform.runLoop->advance(4.0);
    EXPECT_EQ(writesTo(meter), 3u);
    EXPECT_EQ(writesTo(second), 3u);
    EXPECT_EQ(platform.programWide->writeCharacteristic, second.ff01);
}

TEST_F(Reliability, DiscoveryReportsWhileConnectedAndPollingLeaveThePollAlone)
{
    platform.toggleScan(true);
    platform.report(meter.peripheral, -58);
    connectAndArm(meter, 0);
    const auto writesBefore = writesTo(meter);

    std::vector<std::shared_ptr<fake::Peripheral>> neighbours;
    for (int i = 0; i < 300; ++i) {
        neighbours.push_back(std::make_shared<fake::Peripheral>(
            "n" + std::to_string(i),
            i % 3 == 0 ? std::nullopt : std::optional("Neighbour " + std::to_string(i))));
        platform.report(neighbours.back(), -50 - i % 40, {{"kCBAdvDataIsConnectable", "1"}});
        platform.report(meter.peripheral, -40 - i % 30); // the meter keeps advertising
        if (i % 10 == 9)
            platform.runLoop->advance(2.0);
    }

    EXPECT_TRUE(controller().counter);
    EXPECT_EQ(writesTo(meter), writesBefore + 30);
    for (const auto& neighbour : neighbours)
        EXPECT_TRUE(neighbour->requests.empty());
    EXPECT_TRUE(platform.central->callsOf(CallKind::cancel).empty());
    EXPECT_EQ(controller().peripherals->size(), 1u + 200u);
    EXPECT_EQ(controller().RSSIs.front(), -58) << "the meter's first strength is kept";
    meterAnswers(meter);
    EXPECT_EQ(platform.temperature->stringValue(), "21.5 \u02DA"
                                                   "C");
}

TEST_F(Reliability, DisconnectionThatEchoesAnEarlierCancelKeepsTheNewConnection)
{
    platform.toggleScan(true);
    platform.report(meter.peripheral, -58);
    platform.report(second.peripheral, -61);
    connectAndArm(meter, 0);
    platform.select({1});                  // cancels the meter's connection
    platform.select({0});                  // back to the meter before the platform confirmed the cancel
    platform.disconnect(meter.peripheral); // the platform's answer to the first cancel
    platform.disconnect(second.peripheral);
    platform.connect(meter.peripheral); // the new connection completes
    EXPECT_EQ(meter.peripheral->requestsOf(Kind::discoverServices).size(), 2u);
    servicesFound(meter);
    characteristicsFound(meter, meter.vendor);
    EXPECT_TRUE(controller().counter);
}

TEST_F(Reliability, LateAnswerToACancelLeavesTheNewConnectionInTheApplicationsHands)
{
    platform.toggleScan(true);
    platform.report(meter.peripheral, -58);
    platform.report(second.peripheral, -61);
    connectAndArm(meter, 0);
    platform.select({1});
    connectAndArm(meter, 0);
    platform.disconnect(meter.peripheral); // the answer to the first cancel, after the new connection
    EXPECT_TRUE(controller().counter);
    EXPECT_EQ(controller().connectionPeripheral, meter.peripheral);

    // So the application still closes that connection when the user moves on.
    platform.select({1});
    const auto cancels = platform.central->callsOf(CallKind::cancel);
    ASSERT_FALSE(cancels.empty());
    EXPECT_EQ(cancels.back().peripheral, meter.peripheral);
}
