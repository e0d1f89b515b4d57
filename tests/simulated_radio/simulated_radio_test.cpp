// The simulated radio on a virtual clock: what a scan of the demo's world
// reports and when, the meter's answers over GATT, its readings, and the
// clock and run loop that drive them.
#include "protocol/frame.h"
#include "simulated_radio/meter_model.h"
#include "simulated_radio/scheduler_run_loop.h"
#include "simulated_radio/simulated_central_manager.h"
#include "simulated_radio/virtual_clock.h"

#include <gtest/gtest.h>

#include <cmath>

namespace simradio {
namespace {

using Lines = std::vector<std::string>;
using Device = std::shared_ptr<ble::Peripheral>;
using Attribute = std::shared_ptr<ble::Characteristic>;
using Error = std::optional<ble::Error>;
using Central = ble::CentralManager;

// Every callback of the radio as one line of text; " error" marks a reported error.
class Recorder : public ble::CentralManagerDelegate, public ble::PeripheralDelegate {
public:
    void centralManagerDidUpdateState(Central& c) override { add("state " + std::to_string(c.state())); }
    void centralManagerDidDiscoverPeripheral(Central&, const Device& peripheral,
                                             const ble::AdvertisementData& data, int rssi) override
    {
        const auto name = data.find("localName");
        add(peripheral->identifier().substr(15) + " " + (name == data.end() ? "-" : name->second) + " " +
            std::to_string(rssi));
    }
    void centralManagerDidConnectPeripheral(Central&, const Device&) override { add("connected"); }
    void centralManagerDidFailToConnectPeripheral(Central&, const Device&, const Error& e) override
    {
        add("failed", e);
    }
    void centralManagerDidDisconnectPeripheral(Central&, const Device&, const Error& e) override
    {
        add("disconnected", e);
    }
    void peripheralDidDiscoverServices(const Device&, const Error& e) override { add("services", e); }
    void peripheralDidDiscoverCharacteristicsForService(const Device&, const std::shared_ptr<ble::Service>& s,
                                                        const Error& e) override
    {
        add(s->uuid().uuidString(), e);
    }
    void peripheralDidUpdateValueForCharacteristic(const Device&, const Attribute& a, const Error& e) override
    {
        const auto value = a->value().value_or(ble::Bytes{});
        const auto reading = protocol::decodeFrame(value);
        add(a->uuid().uuidString() + " " +
                (reading ? (reading->kind == protocol::ReadingKind::temperature ? "temperature" : "humidity")
                         : std::string(value.begin(), value.end())),
            e);
    }
    void peripheralDidUpdateNotificationStateForCharacteristic(const Device&, const Attribute& a,
                                                               const Error& e) override
    {
        add(a->uuid().uuidString() + (a->isNotifying() ? " on" : " off"), e);
    }
    void add(const std::string& line, const Error& e = {}) { lines.push_back(e ? line + " error" : line); }

    Lines lines;
};

class SimulatedRadio : public ::testing::Test {
protected:
    void start(const SimulatedWorld& world = defaultWorld())
    {
        central = SimulatedCentralManager::create(clock, world, recorder);
        meter = central->peripheral("02:00:5E:10:00:01");
    }
    // What the radio reported within the span.
    Lines after(Duration span)
    {
        clock->advanceBy(span);
        return std::exchange(recorder->lines, {});
    }
    std::shared_ptr<ble::Characteristic> characteristic(std::uint16_t uuid) const
    {
        const auto services = meter->services().value();
        for (const auto& service : services) {
            const auto characteristics = service->characteristics().value();
            for (const auto& candidate : characteristics)
                if (candidate->uuid() == ble::Uuid::fromShort(uuid))
                    return candidate;
        }
        return nullptr;
    }

    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    std::shared_ptr<Recorder> recorder = std::make_shared<Recorder>();
    std::shared_ptr<SimulatedCentralManager> central;
    std::shared_ptr<SimulatedPeripheral> meter;
};

TEST_F(SimulatedRadio, ScanOfTheDemoWorldReportsEachDeviceOncePerScanAndNothingInsideACall)
{
    start();
    central->scanForPeripherals({});
    EXPECT_TRUE(recorder->lines.empty());
    EXPECT_EQ(
        after(Duration{5'000}),
        (Lines{"state 5", "02 SIM Fitness Band -70", "01 SIM Thermo-Hygrometer -58", "06 - -75", "03 - -64",
               "04 SIM Distant Beacon -100", "05 SIM Edge Sensor -99", "06 SIM Late Tag -74"}));
    EXPECT_EQ(after(Duration{60'000}), Lines{});
    // A scan stopped and started again at once reports every device anew, once.
    central->scanForPeripherals({});
    EXPECT_EQ(after(Duration{190}).size(), 2u);
    central->stopScan();
    central->scanForPeripherals({});
    EXPECT_EQ(after(Duration{60'000}).size(), 7u);
    central->stopScan();
    central->scanForPeripherals({});
    central->stopScan();
    EXPECT_EQ(after(Duration{60'000}), Lines{});
}

TEST_F(SimulatedRadio, RefusesConnectionsToStrangersAndToDevicesThatDoNotConnect)
{
    auto world = defaultWorld();
    world.peripherals[1].connectable = false;
    start(world);
    central->connectPeripheral(
        SimulatedCentralManager::create(clock, world, recorder)->peripheral("02:00:5E:10:00:01"));
    central->connectPeripheral(central->peripheral("02:00:5E:10:00:02"));
    EXPECT_EQ(after(Duration{1'000}), (Lines{"state 5", "failed error", "failed error"}));
}

TEST_F(SimulatedRadio, APendingConnectionKeepsNeitherTheClockNorItsPeripheralAlive)
{
    start();
    central->connectPeripheral(meter);
    const std::weak_ptr<VirtualClock> watched = clock;
    clock.reset(), central.reset(), meter.reset();
    EXPECT_TRUE(watched.expired());
}

TEST_F(SimulatedRadio, MeterAnswersEachRequestWithOneFrameOnlyWhileItsMeasurementNotifiesAndItIsNotSilenced)
{
    auto world = defaultWorld();
    world.timing.connection = Duration{1}; // a new connection stands before an old answer is due
    start(world);
    central->connectPeripheral(meter);
    meter->setDelegate(recorder);
    after(Duration{1'000});
    meter->discoverServices();
    after(Duration{1'000});
    for (const auto& service : meter->services().value_or(std::vector<std::shared_ptr<ble::Service>>{}))
        meter->discoverCharacteristics(service);
    ASSERT_EQ(after(Duration{1'000}), (Lines{"FF00", "180A", "180F"}));
    const auto request = characteristic(0xFF01);
    const auto measurement = characteristic(0xFF02);
    const std::pair<std::function<void()>, Lines> steps[] = {
        {[&] { meter->readValue(characteristic(0x2A29)); }, {"2A29 Simulated Instruments"}},
        {[&] { meter->readValue(measurement); }, {"FF02  error"}},
        {[&] { meter->setNotifyValue(true, request); }, {"FF01 off error"}},
        {[&] { meter->writeValue({0x5E}, request, ble::WriteType::withoutResponse); }, {}},
        // The link carries the subscription before the request written after it.
        {[&] {
             meter->setNotifyValue(true, measurement);
             meter->writeValue({0x5E}, request, ble::WriteType::withoutResponse);
         },
         {"FF02 on", "FF02 temperature"}},
        {[&] { meter->writeValue({0x5E}, request, ble::WriteType::withResponse); }, {}},
        {[&] { meter->writeValue({0x5F}, request, ble::WriteType::withoutResponse); }, {}},
        {[&] { meter->writeValue({0x5E}, request, ble::WriteType::withoutResponse); }, {"FF02 humidity"}},
        {[&] { meter->writeValue({0x5E}, request, ble::WriteType::withoutResponse); }, {"FF02 temperature"}},
        // Silent while its link stays up, then answering again.
        {[&] {
             meter->setAnswering(false);
             meter->writeValue({0x5E}, request, ble::WriteType::withoutResponse);
         },
         {}},
        {[&] {
             meter->setAnswering(true);
             meter->writeValue({0x5E}, request, ble::WriteType::withoutResponse);
         },
         {"FF02 humidity"}},
        // The battery level, 87 % ('W'), read and then notified as it falls to 15 %.
        {[&] {
             meter->setNotifyValue(true, characteristic(0x2A19));
             meter->readValue(characteristic(0x2A19));
         },
         {"2A19 W", "2A19 on"}},
        {[&] { meter->changeValue(ble::Uuid::fromShort(0x2A19), {15}); }, {"2A19 \x0F"}},
        {[&] {
             // The answer to this request would come after the link is gone.
             meter->writeValue({0x5E}, request, ble::WriteType::withoutResponse);
             central->cancelPeripheralConnection(meter);
         },
         {"disconnected"}},
        {[&] { central->cancelPeripheralConnection(meter); }, {}},
        {[&] { central->connectPeripheral(meter); }, {"connected"}},
        // The answer asked for on a closed connection is not given on the next one.
        {[&] {
             meter->discoverServices(), central->cancelPeripheralConnection(meter),
                 central->connectPeripheral(meter);
         },
         {"connected", "disconnected"}},
    };
    for (const auto& [action, reported] : steps) {
        action();
        EXPECT_EQ(recorder->lines, Lines{}) << "answered from inside the call";
        EXPECT_EQ(after(Duration{100}), reported);
    }
    EXPECT_FALSE(measurement->isNotifying());
    EXPECT_FALSE(meter->services()) << "a new connection discovers the services anew";
}

TEST(MeterModel, ReadingsAlternateAndDriftSlowlyWithinTheirRangesInFourCharacters)
{
    MeterModel model{MeterDescription{}};
    double previous[2] = {22.4, 47.0};
    for (int request = 0; request < 2'000; ++request) {
        const auto reading = protocol::decodeFrame(model.nextFrame());
        ASSERT_TRUE(reading && reading->valueText && reading->valueText->size() == 4);
        const int kind = request % 2;
        EXPECT_EQ(reading->kind, kind ? protocol::ReadingKind::humidity : protocol::ReadingKind::temperature);
        const double value = std::stod(*reading->valueText);
        EXPECT_GE(value, kind ? 35.0 : 18.0);
        EXPECT_LE(value, kind ? 65.0 : 26.0);
        EXPECT_LE(std::abs(value - previous[kind]), kind ? 0.65 : 0.25) << request;
        previous[kind] = value;
    }
    const std::pair<double, std::string> texts[] = {{23.5, "23.5"}, {45.62, "45.6"}, {9.8, " 9.8"},
                                                    {-5.2, "-5.2"}, {-0.04, " 0.0"}, {123.4, "99.9"},
                                                    {-27.0, "-9.9"}};
    for (const auto& [value, text] : texts)
        EXPECT_EQ(readingText(value), text) << value;
}

TEST(VirtualClock, RunsDueCallbacksInTimeOrderThenPostingOrderAndTimersEveryIntervalUntilInvalidated)
{
    auto clock = std::make_shared<VirtualClock>();
    std::string ran;
    clock->post(Duration{30}, [&] { ran += "c"; });
    clock->post(Duration{10}, [&] { ran += "a"; });
    clock->post(Duration{10}, [&] { clock->post(Duration{0}, [&] { ran += "b2"; }), ran += "b"; });
    clock->post(Duration{31}, [&] { ran += "late"; });
    clock->advanceBy(Duration{30});
    EXPECT_EQ(ran, "abb2c");

    std::vector<long> firedAt;
    auto timer = std::make_shared<app::Timer>(
        std::chrono::duration<double>(2.0), [&](app::Timer&) { firedAt.push_back(clock->now().count()); },
        true);
    SchedulerRunLoop(clock).addTimer(timer, app::RunLoop::defaultMode);
    clock->advanceBy(Duration{6'999});
    EXPECT_EQ(firedAt, (std::vector<long>{2'030, 4'030, 6'030}));
    timer->invalidate();
    clock->advanceBy(Duration{10'000});
    EXPECT_EQ(clock->pendingCount(), 0u);
}

} // namespace
} // namespace simradio
