#include "qt_bluetooth/qt_central_manager.h"

#include "app/log_forms.h"
#include "qt_bluetooth/device_facts.h"
#include "qt_bluetooth/qt_peripheral.h"

#include <QMetaEnum>

namespace qtble {

std::shared_ptr<QtCentralManager>
QtCentralManager::create(std::weak_ptr<ble::CentralManagerDelegate> delegate,
                         std::shared_ptr<app::LogSink> log, LinkBudgets budgets)
{
    auto manager =
        std::make_shared<QtCentralManager>(Passkey{}, std::move(delegate), std::move(log), budgets);
    manager->start();
    return manager;
}

QtCentralManager::QtCentralManager(Passkey, std::weak_ptr<ble::CentralManagerDelegate> delegate,
                                   std::shared_ptr<app::LogSink> log, LinkBudgets budgets)
    : delegate_(std::move(delegate)), log_(std::move(log)), budgets_(budgets)
{
}

void QtCentralManager::start()
{
    // The agent reports a missing or powered-off adapter within milliseconds
    // of start(), sometimes inside it: the signals are connected first.
    discoveryAgent_.setLowEnergyDiscoveryTimeout(0);
    QObject::connect(&discoveryAgent_, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, &context_,
                     [this](const QBluetoothDeviceInfo& device) { onDeviceReport(device); });
    QObject::connect(&discoveryAgent_, &QBluetoothDeviceDiscoveryAgent::deviceUpdated, &context_,
                     [this](const QBluetoothDeviceInfo& device) { onDeviceReport(device); });
    QObject::connect(&discoveryAgent_, &QBluetoothDeviceDiscoveryAgent::errorOccurred, &context_,
                     [this] { onScanError(); });
    QObject::connect(&discoveryAgent_, &QBluetoothDeviceDiscoveryAgent::finished, &context_, [this] {
        if (scanning_)
            log("Bluetooth: the system ended the scan");
    });
    QObject::connect(&localDevice_, &QBluetoothLocalDevice::hostModeStateChanged, &context_,
                     [this] { updateRadioState(); });
    QObject::connect(&localDevice_, &QBluetoothLocalDevice::errorOccurred, &context_,
                     [this](QBluetoothLocalDevice::Error error) {
                         log(std::string("Bluetooth: adapter error: ") +
                             QMetaEnum::fromType<QBluetoothLocalDevice::Error>().valueToKey(error));
                     });
    updateRadioState();
}

void QtCentralManager::updateRadioState()
{
    const int state = radioState(localDevice_.isValid(), localDevice_.hostMode());
    if (state == announcedState_)
        return;
    announcedState_ = state;
    const std::string adapter =
        toStdString(localDevice_.name()) + " " + toStdString(localDevice_.address().toString());
    switch (state) {
    case ble::managerState::poweredOn:
        log("Bluetooth: adapter " + adapter + " is powered on");
        break;
    case ble::managerState::poweredOff:
        log("Bluetooth: adapter " + adapter + " is powered off");
        break;
    default:
        log("Bluetooth: no usable Bluetooth adapter (is bluetoothd running and an adapter present?)");
    }
    deliver([state](ble::CentralManagerDelegate& delegate, QtCentralManager& self) {
        self.state_ = state;
        delegate.centralManagerDidUpdateState(self);
    });
}

void QtCentralManager::scanForPeripherals(const ble::ScanOptions& options)
{
    reports_.startScan(options.allowDuplicates);
    scanning_ = true;
    if (!discoveryAgent_.isActive())
        discoveryAgent_.start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
}

void QtCentralManager::stopScan()
{
    scanning_ = false;
    if (discoveryAgent_.isActive() && listeners_.empty())
        discoveryAgent_.stop();
}

void QtCentralManager::onScanError()
{
    log("Bluetooth: scan failed: " + toStdString(discoveryAgent_.errorString()));
}

void QtCentralManager::onDeviceReport(const QBluetoothDeviceInfo& device)
{
    hearListener(device);
    // BlueZ hands back the devices it remembers without a signal strength:
    // those were not heard in this scan.
    if (!scanning_ || device.rssi() == 0)
        return;
    const auto name = deviceName(device);
    const auto peripheral = peripheralFor(device, name);
    if (!reports_.admit(peripheral->identifier(), name.has_value()))
        return;
    deliver([peripheral, advertisement = advertisementData(device, name),
             rssi = int(device.rssi())](ble::CentralManagerDelegate& delegate, QtCentralManager& self) {
        delegate.centralManagerDidDiscoverPeripheral(self, peripheral, advertisement, rssi);
    });
}

std::shared_ptr<QtPeripheral> QtCentralManager::peripheralFor(const QBluetoothDeviceInfo& device,
                                                              const std::optional<std::string>& name)
{
    auto& peripheral = peripherals_[deviceIdentity(device)];
    if (peripheral)
        peripheral->update(device, name);
    else
        peripheral = std::make_shared<QtPeripheral>(device, weak_from_this(), log_, budgets_);
    return peripheral;
}

std::shared_ptr<QtPeripheral> QtCentralManager::own(const std::shared_ptr<ble::Peripheral>& peripheral) const
{
    const auto found = peripherals_.find(peripheral->identifier());
    if (found == peripherals_.end() || found->second != peripheral) {
        log("Bluetooth: " + peripheral->description() + " was not found by this central manager");
        return nullptr;
    }
    return found->second;
}

void QtCentralManager::connectPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral)
{
    if (const auto own = this->own(peripheral))
        own->connect();
}

void QtCentralManager::cancelPeripheralConnection(const std::shared_ptr<ble::Peripheral>& peripheral)
{
    if (const auto own = this->own(peripheral))
        own->cancelConnection();
}

void QtCentralManager::listenFor(const std::shared_ptr<QtPeripheral>& peripheral)
{
    listeners_.insert(peripheral->identifier());
    if (!discoveryAgent_.isActive())
        discoveryAgent_.start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
}

void QtCentralManager::stopListeningFor(const QtPeripheral& peripheral)
{
    if (listeners_.erase(peripheral.identifier()) && listeners_.empty() && !scanning_ &&
        discoveryAgent_.isActive())
        discoveryAgent_.stop();
}

void QtCentralManager::hearListener(const QBluetoothDeviceInfo& device)
{
    if (device.rssi() == 0 || !listeners_.contains(deviceIdentity(device)))
        return;
    const auto peripheral = peripheralFor(device, deviceName(device));
    stopListeningFor(*peripheral);
    peripheral->onHeardAgain();
}

void QtCentralManager::reportConnected(const std::shared_ptr<QtPeripheral>& peripheral)
{
    deliver([peripheral](ble::CentralManagerDelegate& delegate, QtCentralManager& self) {
        delegate.centralManagerDidConnectPeripheral(self, peripheral);
    });
}

void QtCentralManager::reportConnectionFailure(const std::shared_ptr<QtPeripheral>& peripheral,
                                               const ble::Error& error)
{
    deliver([peripheral, error](ble::CentralManagerDelegate& delegate, QtCentralManager& self) {
        delegate.centralManagerDidFailToConnectPeripheral(self, peripheral, error);
    });
}

void QtCentralManager::reportDisconnection(const std::shared_ptr<QtPeripheral>& peripheral,
                                           const std::optional<ble::Error>& error)
{
    deliver([peripheral, error](ble::CentralManagerDelegate& delegate, QtCentralManager& self) {
        delegate.centralManagerDidDisconnectPeripheral(self, peripheral, error);
    });
}

void QtCentralManager::deliver(std::function<void(ble::CentralManagerDelegate&, QtCentralManager&)> call)
{
    QMetaObject::invokeMethod(
        &context_,
        [this, call = std::move(call)] {
            if (const auto delegate = delegate_.lock())
                call(*delegate, *this);
        },
        Qt::QueuedConnection);
}

void QtCentralManager::log(const std::string& line) const
{
    log_->writeLine(logform::printable(line));
}

ble::CentralManagerFactory centralManagerFactory(std::shared_ptr<app::LogSink> log, LinkBudgets budgets)
{
    return [log, budgets](
               std::weak_ptr<ble::CentralManagerDelegate> delegate) -> std::shared_ptr<ble::CentralManager> {
        return QtCentralManager::create(std::move(delegate), log, budgets);
    };
}

} // namespace qtble
