// Records every callback the simulated radio delivers, with the virtual time
// it arrived at, and helps a test walk a peripheral's GATT table.
#pragma once

#include "app/ble.h"
#include "simulated_radio/simulated_central_manager.h"
#include "simulated_radio/virtual_clock.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace simradio::testing {

struct RadioEvent {
    enum class Kind {
        state,
        discovery,
        connection,
        connectionFailure,
        disconnection,
        services,
        characteristics,
        notificationState,
        value
    };
    Kind kind = Kind::state;
    Duration at{0};
    std::shared_ptr<ble::Peripheral> peripheral;
    // As the peripheral gave them when the callback came.
    std::optional<std::string> name;
    int rssi = 0;
    ble::AdvertisementData advertisement;
    std::shared_ptr<ble::Service> service;
    std::shared_ptr<ble::Characteristic> characteristic;
    std::optional<ble::Bytes> value;
    std::optional<ble::Error> error;
};

class RadioRecorder : public ble::CentralManagerDelegate, public ble::PeripheralDelegate {
public:
    explicit RadioRecorder(std::shared_ptr<VirtualClock> clock) : clock_(std::move(clock)) {}

    void centralManagerDidUpdateState(ble::CentralManager& central) override;
    void centralManagerDidDiscoverPeripheral(ble::CentralManager& central,
                                             const std::shared_ptr<ble::Peripheral>& peripheral,
                                             const ble::AdvertisementData& advertisementData,
                                             int rssi) override;
    void centralManagerDidConnectPeripheral(ble::CentralManager& central,
                                            const std::shared_ptr<ble::Peripheral>& peripheral) override;
    void centralManagerDidFailToConnectPeripheral(ble::CentralManager& central,
                                                  const std::shared_ptr<ble::Peripheral>& peripheral,
                                                  const std::optional<ble::Error>& error) override;
    void centralManagerDidDisconnectPeripheral(ble::CentralManager& central,
                                               const std::shared_ptr<ble::Peripheral>& peripheral,
                                               const std::optional<ble::Error>& error) override;
    void peripheralDidDiscoverServices(const std::shared_ptr<ble::Peripheral>& peripheral,
                                       const std::optional<ble::Error>& error) override;
    void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<ble::Peripheral>& peripheral,
                                                        const std::shared_ptr<ble::Service>& service,
                                                        const std::optional<ble::Error>& error) override;
    void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<ble::Peripheral>& peripheral,
                                                   const std::shared_ptr<ble::Characteristic>& characteristic,
                                                   const std::optional<ble::Error>& error) override;
    void peripheralDidUpdateNotificationStateForCharacteristic(
        const std::shared_ptr<ble::Peripheral>& peripheral,
        const std::shared_ptr<ble::Characteristic>& characteristic,
        const std::optional<ble::Error>& error) override;

    std::vector<RadioEvent> eventsOf(RadioEvent::Kind kind) const;
    std::vector<RadioEvent> events;

private:
    RadioEvent& record(RadioEvent::Kind kind, const std::shared_ptr<ble::Peripheral>& peripheral,
                       const std::optional<ble::Error>& error = std::nullopt);

    std::shared_ptr<VirtualClock> clock_;
};

// A simulated radio on a virtual clock with a recorder as its delegate.
struct RadioBench {
    explicit RadioBench(const SimulatedWorld& world);

    // The characteristic with that UUID among the peripheral's discovered ones.
    static std::shared_ptr<ble::Characteristic> characteristic(ble::Peripheral& peripheral,
                                                               std::uint32_t uuid);
    // Scans until the peripheral is reported, connects and discovers its
    // services and characteristics.
    std::shared_ptr<ble::Peripheral> connectAndDiscover(const std::string& identifier);
    // Advances until an event of that kind beyond the given count arrived.
    bool awaitEvent(RadioEvent::Kind kind, std::size_t alreadySeen, Duration limit = Duration{10'000});

    std::shared_ptr<VirtualClock> clock = std::make_shared<VirtualClock>();
    std::shared_ptr<RadioRecorder> recorder = std::make_shared<RadioRecorder>(clock);
    std::shared_ptr<SimulatedCentralManager> central;
};

} // namespace simradio::testing
