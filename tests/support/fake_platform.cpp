#include "fake_platform.h"

#include <algorithm>

namespace fake {

void RunLoop::addTimer(std::shared_ptr<app::Timer> timer, std::string_view mode)
{
    const double due = now + timer->timeInterval().count();
    scheduled.push_back({std::move(timer), std::string(mode), due});
}

void RunLoop::advance(double seconds)
{
    const double end = now + seconds;
    for (;;) {
        auto next = std::min_element(scheduled.begin(), scheduled.end(),
                                     [](const auto& a, const auto& b) { return a.due < b.due; });
        if (next == scheduled.end() || next->due > end)
            break;
        now = next->due;
        next->timer->fire();
        if (next->timer->isValid() && next->timer->repeats())
            next->due += next->timer->timeInterval().count();
        else
            scheduled.erase(next);
    }
    now = end;
}

std::string Characteristic::description() const
{
    return "<Characteristic: UUID = " + uuid_.uuidString() + ", properties = " + std::to_string(properties_) +
           ">";
}

std::string Service::description() const
{
    return "<Service: UUID = " + uuid_.uuidString() + ">";
}

std::string Peripheral::description() const
{
    return "<Peripheral: identifier = " + identifier_ + ", name = " + currentName.value_or("(null)") + ">";
}

void Peripheral::discoverServices()
{
    requests.push_back({Request::Kind::discoverServices, nullptr, nullptr, {}, std::nullopt});
}

void Peripheral::discoverCharacteristics(const std::shared_ptr<ble::Service>& service)
{
    requests.push_back({Request::Kind::discoverCharacteristics, service, nullptr, {}, std::nullopt});
}

void Peripheral::setNotifyValue(bool enabled, const std::shared_ptr<ble::Characteristic>& characteristic)
{
    requests.push_back({Request::Kind::setNotify, nullptr, characteristic, {enabled}, std::nullopt});
}

void Peripheral::readValue(const std::shared_ptr<ble::Characteristic>& characteristic)
{
    requests.push_back({Request::Kind::read, nullptr, characteristic, {}, std::nullopt});
}

void Peripheral::writeValue(const ble::Bytes& value,
                            const std::shared_ptr<ble::Characteristic>& characteristic, ble::WriteType type)
{
    requests.push_back({Request::Kind::write, nullptr, characteristic, value, type});
}

std::vector<Request> Peripheral::requestsOf(Request::Kind kind) const
{
    std::vector<Request> matching;
    std::copy_if(requests.begin(), requests.end(), std::back_inserter(matching),
                 [kind](const auto& request) { return request.kind == kind; });
    return matching;
}

void CentralManager::scanForPeripherals(const ble::ScanOptions& options)
{
    calls.push_back({CentralCall::Kind::scan, nullptr, options});
}

void CentralManager::stopScan()
{
    calls.push_back({CentralCall::Kind::stopScan, nullptr, std::nullopt});
}

void CentralManager::connectPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral)
{
    calls.push_back({CentralCall::Kind::connect, peripheral, std::nullopt});
}

void CentralManager::cancelPeripheralConnection(const std::shared_ptr<ble::Peripheral>& peripheral)
{
    calls.push_back({CentralCall::Kind::cancel, peripheral, std::nullopt});
}

std::vector<CentralCall> CentralManager::callsOf(CentralCall::Kind kind) const
{
    std::vector<CentralCall> matching;
    std::copy_if(calls.begin(), calls.end(), std::back_inserter(matching),
                 [kind](const auto& call) { return call.kind == kind; });
    return matching;
}

std::shared_ptr<ui::TableCellView> TableView::makeViewWithIdentifier(std::string_view identifier)
{
    requestedIdentifiers.emplace_back(identifier);
    Cell cell;
    cell.view->deviceNameTextField = cell.name;
    cell.view->deviceID_TextField = cell.id;
    cell.view->deviceRSSI_TextField = cell.rssi;
    cells.push_back(cell);
    return cell.view;
}

std::shared_ptr<Characteristic> makeCharacteristic(std::string_view uuid, std::uint32_t properties)
{
    return std::make_shared<Characteristic>(*ble::Uuid::fromString(uuid), properties);
}

std::shared_ptr<Service> makeService(std::string_view uuid,
                                     std::vector<std::shared_ptr<ble::Characteristic>> characteristics)
{
    auto service = std::make_shared<Service>(*ble::Uuid::fromString(uuid));
    service->discovered = std::move(characteristics);
    return service;
}

Platform::Platform()
{
    controller = std::make_shared<ViewController>(
        ViewController::Platform{log,
                                 [central = central](std::weak_ptr<ble::CentralManagerDelegate> delegate) {
                                     central->delegate = std::move(delegate);
                                     return central;
                                 },
                                 runLoop, programWide});
    controller->tableView = table;
    controller->temperatureTxtFld = temperature;
    controller->moistureTxtFld = humidity;
    controller->scanButton = scanButton;
    controller->viewDidLoad();
}

void Platform::toggleScan(bool on)
{
    scanButton->currentState = on ? ui::controlState::on : ui::controlState::off;
    controller->refreshAction(*scanButton);
}

void Platform::report(const std::shared_ptr<Peripheral>& peripheral, int rssi,
                      ble::AdvertisementData advertisement)
{
    controller->centralManagerDidDiscoverPeripheral(*central, peripheral, advertisement, rssi);
}

void Platform::select(std::vector<long> rows)
{
    table->selection = std::move(rows);
    controller->tableViewSelectionDidChange(ui::Notification{table});
}

void Platform::connect(const std::shared_ptr<Peripheral>& peripheral)
{
    controller->centralManagerDidConnectPeripheral(*central, peripheral);
}

void Platform::disconnect(const std::shared_ptr<Peripheral>& peripheral, std::optional<ble::Error> error)
{
    controller->centralManagerDidDisconnectPeripheral(*central, peripheral, error);
}

void Platform::discoverGatt(const std::shared_ptr<Peripheral>& peripheral,
                            std::vector<std::shared_ptr<Service>> services)
{
    peripheral->discovered.emplace(services.begin(), services.end());
    controller->peripheralDidDiscoverServices(peripheral, std::nullopt);
    for (const auto& service : services)
        controller->peripheralDidDiscoverCharacteristicsForService(peripheral, service, std::nullopt);
}

void Platform::deliverValue(const std::shared_ptr<Peripheral>& peripheral,
                            const std::shared_ptr<Characteristic>& characteristic, ble::Bytes value)
{
    characteristic->currentValue = std::move(value);
    controller->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, std::nullopt);
}

std::vector<std::string> Platform::linesSince(std::size_t first) const
{
    return {log->lines.begin() + static_cast<std::ptrdiff_t>(std::min(first, log->lines.size())),
            log->lines.end()};
}

} // namespace fake
