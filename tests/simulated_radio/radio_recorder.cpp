#include "radio_recorder.h"

#include <algorithm>
#include <stdexcept>

namespace simradio::testing {

RadioEvent& RadioRecorder::record(RadioEvent::Kind kind, const std::shared_ptr<ble::Peripheral>& peripheral,
                                  const std::optional<ble::Error>& error)
{
    auto& event = events.emplace_back();
    event.kind = kind;
    event.at = clock_->now();
    event.peripheral = peripheral;
    if (peripheral)
        event.name = peripheral->name();
    event.error = error;
    return event;
}

void RadioRecorder::centralManagerDidUpdateState(ble::CentralManager& central)
{
    record(RadioEvent::Kind::state, nullptr).rssi = central.state();
}

void RadioRecorder::centralManagerDidDiscoverPeripheral(ble::CentralManager&,
                                                        const std::shared_ptr<ble::Peripheral>& peripheral,
                                                        const ble::AdvertisementData& advertisementData,
                                                        int rssi)
{
    auto& event = record(RadioEvent::Kind::discovery, peripheral);
    event.rssi = rssi;
    event.advertisement = advertisementData;
}

void RadioRecorder::centralManagerDidConnectPeripheral(ble::CentralManager&,
                                                       const std::shared_ptr<ble::Peripheral>& peripheral)
{
    record(RadioEvent::Kind::connection, peripheral);
}

void RadioRecorder::centralManagerDidFailToConnectPeripheral(
    ble::CentralManager&, const std::shared_ptr<ble::Peripheral>& peripheral,
    const std::optional<ble::Error>& error)
{
    record(RadioEvent::Kind::connectionFailure, peripheral, error);
}

void RadioRecorder::centralManagerDidDisconnectPeripheral(ble::CentralManager&,
                                                          const std::shared_ptr<ble::Peripheral>& peripheral,
                                                          const std::optional<ble::Error>& error)
{
    record(RadioEvent::Kind::disconnection, peripheral, error);
}

void RadioRecorder::peripheralDidDiscoverServices(const std::shared_ptr<ble::Peripheral>& peripheral,
                                                  const std::optional<ble::Error>& error)
{
    record(RadioEvent::Kind::services, peripheral, error);
}

void RadioRecorder::peripheralDidDiscoverCharacteristicsForService(
    const std::shared_ptr<ble::Peripheral>& peripheral, const std::shared_ptr<ble::Service>& service,
    const std::optional<ble::Error>& error)
{
    record(RadioEvent::Kind::characteristics, peripheral, error).service = service;
}

void RadioRecorder::peripheralDidUpdateValueForCharacteristic(
    const std::shared_ptr<ble::Peripheral>& peripheral,
    const std::shared_ptr<ble::Characteristic>& characteristic, const std::optional<ble::Error>& error)
{
    auto& event = record(RadioEvent::Kind::value, peripheral, error);
    event.characteristic = characteristic;
    event.value = characteristic->value();
}

void RadioRecorder::peripheralDidUpdateNotificationStateForCharacteristic(
    const std::shared_ptr<ble::Peripheral>& peripheral,
    const std::shared_ptr<ble::Characteristic>& characteristic, const std::optional<ble::Error>& error)
{
    record(RadioEvent::Kind::notificationState, peripheral, error).characteristic = characteristic;
}

std::vector<RadioEvent> RadioRecorder::eventsOf(RadioEvent::Kind kind) const
{
    std::vector<RadioEvent> matching;
    std::copy_if(events.begin(), events.end(), std::back_inserter(matching),
                 [kind](const auto& event) { return event.kind == kind; });
    return matching;
}

RadioBench::RadioBench(const SimulatedWorld& world)
    : central(SimulatedCentralManager::create(clock, world, recorder))
{
}

bool RadioBench::awaitEvent(RadioEvent::Kind kind, std::size_t alreadySeen, Duration limit)
{
    return clock->advanceUntil([&] { return recorder->eventsOf(kind).size() > alreadySeen; }, limit);
}

std::shared_ptr<ble::Characteristic> RadioBench::characteristic(ble::Peripheral& peripheral,
                                                                std::uint32_t uuid)
{
    const auto services = peripheral.services();
    if (!services)
        return nullptr;
    for (const auto& service : *services) {
        const auto characteristics = service->characteristics();
        if (!characteristics)
            continue;
        for (const auto& candidate : *characteristics)
            if (candidate->uuid() == ble::Uuid::fromShort(uuid))
                return candidate;
    }
    return nullptr;
}

std::shared_ptr<ble::Peripheral> RadioBench::connectAndDiscover(const std::string& identifier)
{
    const auto peripheral = central->peripheral(identifier);
    if (!peripheral)
        throw std::invalid_argument("no such peripheral in the world: " + identifier);
    central->scanForPeripherals({});
    clock->advanceUntil(
        [&] {
            const auto reports = recorder->eventsOf(RadioEvent::Kind::discovery);
            return std::any_of(reports.begin(), reports.end(),
                               [&](const auto& report) { return report.peripheral == peripheral; });
        },
        Duration{10'000});
    central->stopScan();
    central->connectPeripheral(peripheral);
    awaitEvent(RadioEvent::Kind::connection, recorder->eventsOf(RadioEvent::Kind::connection).size());
    peripheral->setDelegate(recorder);
    peripheral->discoverServices();
    clock->advanceUntil([&] { return peripheral->services().has_value(); }, Duration{10'000});
    const auto services = peripheral->services();
    for (const auto& service : services.value_or(std::vector<std::shared_ptr<ble::Service>>{}))
        peripheral->discoverCharacteristics(service);
    clock->advanceBy(Duration{1'000});
    return peripheral;
}

} // namespace simradio::testing
