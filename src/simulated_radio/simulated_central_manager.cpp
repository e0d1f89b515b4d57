#include "simulated_radio/simulated_central_manager.h"

#include <algorithm>
#include <utility>

namespace simradio {

std::shared_ptr<SimulatedCentralManager>
SimulatedCentralManager::create(std::shared_ptr<Scheduler> scheduler, const SimulatedWorld& world,
                                std::weak_ptr<ble::CentralManagerDelegate> delegate)
{
    auto manager =
        std::make_shared<SimulatedCentralManager>(std::move(scheduler), world, std::move(delegate));
    manager->later(manager->timing_.stateReport,
                   [](SimulatedCentralManager& self, ble::CentralManagerDelegate& delegate) {
                       delegate.centralManagerDidUpdateState(self);
                   });
    return manager;
}

SimulatedCentralManager::SimulatedCentralManager(std::shared_ptr<Scheduler> scheduler,
                                                 const SimulatedWorld& world,
                                                 std::weak_ptr<ble::CentralManagerDelegate> delegate)
    : scheduler_(std::move(scheduler)), timing_(world.timing), radioState_(world.radioState),
      delegate_(std::move(delegate))
{
    for (const auto& description : world.peripherals) {
        const auto index = peripherals_.size();
        byIdentifier_.emplace(description.identifier, index);
        peripherals_.push_back(std::make_shared<SimulatedPeripheral>(description, scheduler_, timing_));
        for (std::size_t report = 0; report < description.reports.size(); ++report)
            reportSchedule_.push_back(
                {description.firstReportAfter + description.reportInterval * static_cast<int>(report), index,
                 report});
    }
    std::stable_sort(reportSchedule_.begin(), reportSchedule_.end(),
                     [](const auto& a, const auto& b) { return a.afterScanStart < b.afterScanStart; });
}

void SimulatedCentralManager::later(Duration delay, Callback callback)
{
    scheduler_->post(delay, [weak = weak_from_this(), callback = std::move(callback)] {
        const auto self = weak.lock();
        if (!self)
            return;
        if (const auto delegate = self->delegate_.lock())
            callback(*self, *delegate);
    });
}

std::shared_ptr<SimulatedPeripheral> SimulatedCentralManager::peripheral(std::string_view identifier) const
{
    const auto found = byIdentifier_.find(std::string(identifier));
    return found != byIdentifier_.end() ? peripherals_[found->second] : nullptr;
}

std::shared_ptr<SimulatedPeripheral>
SimulatedCentralManager::ownPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral) const
{
    if (!peripheral)
        return nullptr;
    auto own = this->peripheral(peripheral->identifier());
    return own.get() == peripheral.get() ? own : nullptr;
}

void SimulatedCentralManager::scanForPeripherals(const ble::ScanOptions&)
{
    if (radioState_ != ble::managerState::poweredOn)
        return;
    scanning_ = true;
    ++scan_;
    if (!reportSchedule_.empty())
        scheduler_->post(reportSchedule_.front().afterScanStart, [weak = weak_from_this(), scan = scan_] {
            if (const auto self = weak.lock())
                self->deliverReport(scan, 0);
        });
}

void SimulatedCentralManager::stopScan()
{
    scanning_ = false;
}

void SimulatedCentralManager::deliverReport(std::uint64_t scan, std::size_t scheduled)
{
    if (!scanning_ || scan != scan_)
        return;
    // One report in flight at a time keeps a crowded world cheap to schedule.
    if (scheduled + 1 < reportSchedule_.size())
        scheduler_->post(reportSchedule_[scheduled + 1].afterScanStart -
                             reportSchedule_[scheduled].afterScanStart,
                         [weak = weak_from_this(), scan, next = scheduled + 1] {
                             if (const auto self = weak.lock())
                                 self->deliverReport(scan, next);
                         });

    const auto& entry = reportSchedule_[scheduled];
    const auto& peripheral = peripherals_[entry.peripheral];
    const auto& report = peripheral->world().reports[entry.report];
    peripheral->receiveReport(report);
    ble::AdvertisementData advertisement{{"isConnectable", peripheral->world().connectable ? "1" : "0"}};
    if (report.localName)
        advertisement.emplace("localName", *report.localName);
    if (const auto delegate = delegate_.lock())
        delegate->centralManagerDidDiscoverPeripheral(*this, peripheral, advertisement, report.rssi);
}

void SimulatedCentralManager::failConnectionLater(const std::shared_ptr<ble::Peripheral>& peripheral,
                                                  std::string reason)
{
    later(timing_.connection, [peripheral, reason = std::move(reason)](
                                  SimulatedCentralManager& self, ble::CentralManagerDelegate& delegate) {
        delegate.centralManagerDidFailToConnectPeripheral(self, peripheral, ble::Error{reason});
    });
}

void SimulatedCentralManager::connectPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral)
{
    if (radioState_ != ble::managerState::poweredOn)
        return;
    const auto own = ownPeripheral(peripheral);
    if (!own) {
        failConnectionLater(peripheral, "The peripheral is unknown to this central manager.");
        return;
    }
    if (!own->world().connectable) {
        failConnectionLater(peripheral, "The peripheral did not accept the connection.");
        return;
    }
    switch (own->link()) {
    case SimulatedPeripheral::Link::connecting:
        return; // The pending attempt answers.
    case SimulatedPeripheral::Link::connected:
        later(timing_.connection,
              [own](SimulatedCentralManager& self, ble::CentralManagerDelegate& delegate) {
                  if (own->link() == SimulatedPeripheral::Link::connected)
                      delegate.centralManagerDidConnectPeripheral(self, own);
              });
        return;
    case SimulatedPeripheral::Link::disconnected:
        later(timing_.connection, [own, attempt = own->beginConnecting()](
                                      SimulatedCentralManager& self, ble::CentralManagerDelegate& delegate) {
            if (own->completeConnection(attempt))
                delegate.centralManagerDidConnectPeripheral(self, own);
        });
        return;
    }
}

void SimulatedCentralManager::cancelPeripheralConnection(const std::shared_ptr<ble::Peripheral>& peripheral)
{
    const auto own = ownPeripheral(peripheral);
    if (!own || own->link() == SimulatedPeripheral::Link::disconnected)
        return;
    endLink(own, std::nullopt);
}

void SimulatedCentralManager::endLink(const std::shared_ptr<SimulatedPeripheral>& own,
                                      std::optional<ble::Error> error)
{
    own->dropConnection();
    later(timing_.disconnection, [own, error = std::move(error)](SimulatedCentralManager& self,
                                                                 ble::CentralManagerDelegate& delegate) {
        delegate.centralManagerDidDisconnectPeripheral(self, own, error);
    });
}

void SimulatedCentralManager::setRadioState(int state)
{
    radioState_ = state;
    if (state != ble::managerState::poweredOn) {
        scanning_ = false;
        for (const auto& own : peripherals_)
            if (own->link() != SimulatedPeripheral::Link::disconnected)
                loseConnection(own->identifier(), "The Bluetooth radio was switched off.");
    }
    later(timing_.stateReport, [](SimulatedCentralManager& self, ble::CentralManagerDelegate& delegate) {
        delegate.centralManagerDidUpdateState(self);
    });
}

void SimulatedCentralManager::loseConnection(std::string_view identifier, std::string reason)
{
    const auto own = peripheral(identifier);
    if (!own || own->link() == SimulatedPeripheral::Link::disconnected)
        return;
    endLink(own, ble::Error{std::move(reason)});
}

ble::CentralManagerFactory centralManagerFactory(std::shared_ptr<Scheduler> scheduler, SimulatedWorld world)
{
    return [scheduler = std::move(scheduler), world = std::move(world)](
               std::weak_ptr<ble::CentralManagerDelegate> delegate) -> std::shared_ptr<ble::CentralManager> {
        return SimulatedCentralManager::create(scheduler, world, std::move(delegate));
    };
}

} // namespace simradio
