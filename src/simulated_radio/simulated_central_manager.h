// A central manager over a simulated world: it reports the adapter's state
// after it is made, delivers each peripheral's advertising reports while a
// scan runs, and connects and disconnects with the world's delays. Nothing is
// reported from inside a call; every callback comes later through the scheduler.
#pragma once

#include "app/ble.h"
#include "simulated_radio/scheduler.h"
#include "simulated_radio/simulated_peripheral.h"
#include "simulated_radio/simulated_world.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace simradio {

class SimulatedCentralManager : public ble::CentralManager,
                                public std::enable_shared_from_this<SimulatedCentralManager> {
public:
    // The state callback follows after the world's stateReport delay.
    static std::shared_ptr<SimulatedCentralManager>
    create(std::shared_ptr<Scheduler> scheduler, const SimulatedWorld& world,
           std::weak_ptr<ble::CentralManagerDelegate> delegate);

    int state() const override { return radioState_; }
    // Delivers every report of the world once per scan, in time order. The
    // simulated scanner filters repeats whatever the options ask.
    void scanForPeripherals(const ble::ScanOptions& options) override;
    void stopScan() override;
    void connectPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral) override;
    // A connection made or being made ends with a later disconnection
    // callback without error; for an idle peripheral nothing happens.
    void cancelPeripheralConnection(const std::shared_ptr<ble::Peripheral>& peripheral) override;

    // The adapter is switched off or on, or goes away: a scan ends, links
    // drop with an error, and the new state is reported after the world's delay.
    void setRadioState(int state);
    // The meter walks out of range: its link drops and the drop is reported
    // with the error text after the world's disconnection delay.
    void loseConnection(std::string_view identifier, std::string reason);

    bool isScanning() const { return scanning_; }
    // The world's peripheral with that identifier, or none.
    std::shared_ptr<SimulatedPeripheral> peripheral(std::string_view identifier) const;

    // Use create(): the manager must be shared before its first callback is posted.
    SimulatedCentralManager(std::shared_ptr<Scheduler> scheduler, const SimulatedWorld& world,
                            std::weak_ptr<ble::CentralManagerDelegate> delegate);

private:
    struct ScheduledReport {
        Duration afterScanStart;
        std::size_t peripheral;
        std::size_t report;
    };
    using Callback = std::function<void(SimulatedCentralManager&, ble::CentralManagerDelegate&)>;

    void later(Duration delay, Callback callback);
    void deliverReport(std::uint64_t scan, std::size_t scheduled);
    std::shared_ptr<SimulatedPeripheral>
    ownPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral) const;
    // Drops the link now and reports the disconnection later, with the error if any.
    void endLink(const std::shared_ptr<SimulatedPeripheral>& own, std::optional<ble::Error> error);
    void failConnectionLater(const std::shared_ptr<ble::Peripheral>& peripheral, std::string reason);

    std::shared_ptr<Scheduler> scheduler_;
    RadioTiming timing_;
    int radioState_;
    std::weak_ptr<ble::CentralManagerDelegate> delegate_;
    std::vector<std::shared_ptr<SimulatedPeripheral>> peripherals_;
    std::unordered_map<std::string, std::size_t> byIdentifier_;
    // Every report of the world, ordered by its time after a scan starts.
    std::vector<ScheduledReport> reportSchedule_;
    bool scanning_ = false;
    std::uint64_t scan_ = 0;
};

// Makes a simulated central manager over the world for the controller.
ble::CentralManagerFactory centralManagerFactory(std::shared_ptr<Scheduler> scheduler, SimulatedWorld world);

} // namespace simradio
