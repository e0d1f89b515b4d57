#include "qt_bluetooth/qt_central_manager.h"

#include "app/log_forms.h"
#include "qt_bluetooth/device_facts.h"
#include "qt_bluetooth/qt_peripheral.h"

#include <QCoreApplication>
#include <QMetaEnum>

#include <condition_variable>
#include <mutex>
#include <thread>

namespace qtble {

namespace {

const ble::Error bluetoothServiceStopped{"The Bluetooth service (bluetoothd) stopped."};
const ble::Error adapterSwitchedOff{"Bluetooth was switched off."};
const ble::Error adapterRemoved{"The Bluetooth adapter was removed."};

} // namespace

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
    : delegate_(std::move(delegate)), log_(std::move(log)), budgets_(budgets), extras_(makeStackExtras())
{
}

QtCentralManager::~QtCentralManager()
{
    unbindAdapter();
}

void QtCentralManager::start()
{
    if (const auto* application = QCoreApplication::instance())
        QObject::connect(application, &QCoreApplication::aboutToQuit, &context_,
                         [this] { closeLinksOnQuit(); });
    extras_->watch([this] { onStackStopped(); }, [this] { bindAdapter(); }, [this] { onAdapterRemoved(); });
    bindAdapter();
}

void QtCentralManager::bindAdapter()
{
    const QBluetoothAddress address = extras_->chooseAdapter();
    if (!stackStopped_ && localDevice_ && localDevice_->isValid() && address == adapterAddress_)
        return;
    unbindAdapter();
    stackStopped_ = false;
    adapterAddress_ = address;
    // Qt looks the adapter up once, here; the agent reports a missing or
    // powered-off adapter within milliseconds of start(), sometimes inside
    // it: the signals are connected first.
    localDevice_ = makeQtOwned<QBluetoothLocalDevice>(address);
    discoveryAgent_ = makeQtOwned<QBluetoothDeviceDiscoveryAgent>(address);
    auto* agent = discoveryAgent_.get();
    agent->setLowEnergyDiscoveryTimeout(0);
    QObject::connect(agent, &QBluetoothDeviceDiscoveryAgent::deviceDiscovered, &context_,
                     [this](const QBluetoothDeviceInfo& device) { onDeviceReport(device); });
    QObject::connect(agent, &QBluetoothDeviceDiscoveryAgent::deviceUpdated, &context_,
                     [this](const QBluetoothDeviceInfo& device) { onDeviceReport(device); });
    QObject::connect(agent, &QBluetoothDeviceDiscoveryAgent::errorOccurred, &context_,
                     [this] { onScanError(); });
    QObject::connect(agent, &QBluetoothDeviceDiscoveryAgent::finished, &context_, [this] {
        if (scanning_)
            log("Bluetooth: the system ended the scan");
    });
    QObject::connect(localDevice_.get(), &QBluetoothLocalDevice::hostModeStateChanged, &context_,
                     [this] { onHostModeChanged(); });
    QObject::connect(localDevice_.get(), &QBluetoothLocalDevice::errorOccurred, &context_,
                     [this](QBluetoothLocalDevice::Error error) {
                         log(std::string("Bluetooth: adapter error: ") +
                             QMetaEnum::fromType<QBluetoothLocalDevice::Error>().valueToKey(error));
                     });
    updateRadioState();
    if (wantsDiscovery())
        startDiscovery();
}

void QtCentralManager::unbindAdapter()
{
    if (discoveryAgent_) {
        // Ends Qt's interest in the adapter's discovery before a new agent registers its own.
        QObject::disconnect(discoveryAgent_.get(), nullptr, &context_, nullptr);
        discoveryAgent_->stop();
        discoveryAgent_.reset();
    }
    if (localDevice_) {
        QObject::disconnect(localDevice_.get(), nullptr, &context_, nullptr);
        localDevice_.reset();
    }
}

void QtCentralManager::onStackStopped()
{
    // Qt notices nothing: its links stay connected and its requests go nowhere.
    stackStopped_ = true;
    if (discoveryAgent_->isActive())
        discoveryAgent_->stop();
    for (const auto& [identifier, peripheral] : peripherals_)
        peripheral->linkLost(bluetoothServiceStopped);
    updateRadioState();
}

void QtCentralManager::onAdapterRemoved()
{
    // Qt's controller calls the device or the adapter missing, whichever the stack removed first.
    for (const auto& [identifier, peripheral] : peripherals_)
        peripheral->linkLost(adapterRemoved);
}

void QtCentralManager::onHostModeChanged()
{
    if (!updateRadioState())
        return;
    if (announcedState_ == ble::managerState::poweredOff) {
        // The adapter drops its links as it goes off; Qt calls that a plain disconnection.
        for (const auto& [identifier, peripheral] : peripherals_)
            peripheral->linkLost(adapterSwitchedOff);
    } else if (announcedState_ == ble::managerState::poweredOn && wantsDiscovery() &&
               extras_->discoveryEndsWithPower()) {
        startDiscovery();
    }
}

bool QtCentralManager::updateRadioState()
{
    const int state = stackStopped_ ? ble::managerState::resetting
                                    : radioState(localDevice_->isValid(), localDevice_->hostMode());
    if (state == announcedState_)
        return false;
    announcedState_ = state;
    const std::string adapter =
        toStdString(localDevice_->name()) + " " + toStdString(localDevice_->address().toString());
    switch (state) {
    case ble::managerState::poweredOn:
        log("Bluetooth: adapter " + adapter + " is powered on");
        break;
    case ble::managerState::poweredOff:
        log("Bluetooth: adapter " + adapter + " is powered off");
        break;
    case ble::managerState::resetting:
        log("Bluetooth: the Bluetooth service (bluetoothd) stopped; waiting for it to return");
        break;
    default:
        log("Bluetooth: no usable Bluetooth adapter (is bluetoothd running and an adapter present?)");
    }
    deliver([state](ble::CentralManagerDelegate& delegate, QtCentralManager& self) {
        self.state_ = state;
        delegate.centralManagerDidUpdateState(self);
    });
    return true;
}

void QtCentralManager::scanForPeripherals(const ble::ScanOptions& options)
{
    reports_.startScan(options.allowDuplicates);
    scanning_ = true;
    forgetUnheldPeripherals();
    if (!discoveryAgent_->isActive())
        startDiscovery();
}

void QtCentralManager::startDiscovery()
{
    if (discoveryAgent_->isActive())
        discoveryAgent_->stop();
    // Otherwise the session would be refused, and Qt's agent says so already.
    if (announcedState_ == ble::managerState::poweredOn)
        extras_->discoveryStarting([this](const std::string& refusal) {
            log("Bluetooth: scan failed: " + refusal + ". Switch Scan off and on again.");
        });
    discoveryAgent_->start(QBluetoothDeviceDiscoveryAgent::LowEnergyMethod);
    extras_->discoveryStarted();
}

void QtCentralManager::stopDiscovery()
{
    if (discoveryAgent_->isActive())
        discoveryAgent_->stop();
    // Also when Qt's agent ended by itself: the stack's session may run on.
    extras_->discoveryStopped();
}

void QtCentralManager::stopScan()
{
    scanning_ = false;
    if (listeners_.empty())
        stopDiscovery();
    forgetUnheldPeripherals();
}

void QtCentralManager::forgetUnheldPeripherals()
{
    // Private addresses rotate: without this the table grows for as long as the program runs.
    std::erase_if(peripherals_, [this](const auto& entry) {
        return entry.second.use_count() == 1 && !openLinks_.contains(entry.first);
    });
}

void QtCentralManager::onScanError()
{
    log("Bluetooth: scan failed: " + toStdString(discoveryAgent_->errorString()));
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
        peripheral = std::make_shared<QtPeripheral>(device, weak_from_this(), log_,
                                                    extras_->linkOpener(device.address()),
                                                    extras_->requestAdvisor(device.address()), budgets_,
                                                    extras_->gattChannels(device.address(), budgets_.answer));
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
    if (!discoveryAgent_->isActive())
        startDiscovery();
}

void QtCentralManager::stopListeningFor(const QtPeripheral& peripheral)
{
    if (listeners_.erase(peripheral.identifier()) && !wantsDiscovery())
        stopDiscovery();
}

void QtCentralManager::hearListener(const QBluetoothDeviceInfo& device)
{
    if (device.rssi() == 0 || !listeners_.contains(deviceIdentity(device)))
        return;
    const auto peripheral = peripheralFor(device, deviceName(device));
    stopListeningFor(*peripheral);
    peripheral->onHeardAgain();
}

void QtCentralManager::closeLinksOnQuit()
{
    // The controller hears no more: its log ends where the user quit.
    delegate_.reset();
    for (const auto& [identifier, peripheral] : peripherals_) {
        peripheral->setDelegate({});
        peripheral->cancelConnection();
    }
    if (openLinks_.empty())
        return;
    // A meter left connected stops advertising, and the next run would not list it.
    // The wait runs no timers: the controller's poll would log requests that
    // no link carries. A thread of its own ends it, and is woken early when
    // the links closed first.
    QEventLoop closing;
    closingLinks_ = &closing;
    std::mutex mutex;
    std::condition_variable wake;
    bool closed = false;
    std::thread deadline([&, wait = budgets_.closingAtQuit] {
        std::unique_lock lock(mutex);
        if (!wake.wait_for(lock, wait, [&closed] { return closed; }))
            QMetaObject::invokeMethod(&closing, &QEventLoop::quit, Qt::QueuedConnection);
    });
    closing.exec(QEventLoop::X11ExcludeTimers);
    closingLinks_ = nullptr;
    {
        const std::lock_guard lock(mutex);
        closed = true;
    }
    wake.notify_one();
    deadline.join();
}

void QtCentralManager::reportConnected(const std::shared_ptr<QtPeripheral>& peripheral)
{
    openLinks_.insert(peripheral->identifier());
    deliver([peripheral](ble::CentralManagerDelegate& delegate, QtCentralManager& self) {
        delegate.centralManagerDidConnectPeripheral(self, peripheral);
    });
}

void QtCentralManager::reportConnectionFailure(const std::shared_ptr<QtPeripheral>& peripheral,
                                               const ble::Error& error)
{
    openLinks_.erase(peripheral->identifier());
    deliver([peripheral, error](ble::CentralManagerDelegate& delegate, QtCentralManager& self) {
        delegate.centralManagerDidFailToConnectPeripheral(self, peripheral, error);
    });
}

void QtCentralManager::reportDisconnection(const std::shared_ptr<QtPeripheral>& peripheral,
                                           const std::optional<ble::Error>& error)
{
    openLinks_.erase(peripheral->identifier());
    if (closingLinks_ && openLinks_.empty())
        closingLinks_->quit();
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
