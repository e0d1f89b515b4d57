#include "qt_bluetooth/qt_peripheral.h"

#include "app/log_forms.h"
#include "qt_bluetooth/bluez_device.h"
#include "qt_bluetooth/device_facts.h"
#include "qt_bluetooth/qt_central_manager.h"

#include <QMetaEnum>

#include <algorithm>

namespace qtble {
namespace {

const ble::Error notConnected{"The peripheral is not connected."};
const ble::Error unknownService{"The service does not belong to this connection."};
const ble::Error unknownCharacteristic{"The characteristic does not belong to this connection."};
const ble::Error noClientConfiguration{
    "The characteristic has no client characteristic configuration descriptor (0x2902): it cannot notify."};
const ble::Error connectionTimedOut{"The connection attempt timed out."};
const ble::Error servicesNotResolved{"The device's services were not resolved in time."};
const ble::Error linkStillClosing{"The previous connection to the device did not close in time."};
const ble::Error droppedRequest{"The Bluetooth stack dropped the request."};
const ble::Error remoteDisconnection{"The peripheral closed the connection."};

// Qt words no text for a service's errors; their names say what failed.
ble::Error serviceError(QLowEnergyService::ServiceError error)
{
    return {QMetaEnum::fromType<QLowEnergyService::ServiceError>().valueToKey(error)};
}

// Enables notification, or indication where the characteristic only indicates.
QByteArray clientConfiguration(bool enabled, QLowEnergyCharacteristic::PropertyTypes properties)
{
    if (!enabled)
        return QByteArray::fromHex("0000");
    const bool indicateOnly = properties.testFlag(QLowEnergyCharacteristic::Indicate) &&
                              !properties.testFlag(QLowEnergyCharacteristic::Notify);
    return QByteArray::fromHex(indicateOnly ? "0200" : "0100");
}

template <typename T> std::shared_ptr<T> takeFront(std::deque<std::shared_ptr<T>>& queue)
{
    if (queue.empty())
        return nullptr;
    auto front = std::move(queue.front());
    queue.pop_front();
    return front;
}

} // namespace

QtPeripheral::QtPeripheral(const QBluetoothDeviceInfo& device, std::weak_ptr<QtCentralManager> central,
                           std::shared_ptr<app::LogSink> log, LinkBudgets budgets)
    : device_(device), identifier_(deviceIdentity(device)), name_(deviceName(device)),
      central_(std::move(central)), log_(std::move(log)), budgets_(budgets)
{
    budgetTimer_.setSingleShot(true);
    QObject::connect(&budgetTimer_, &QTimer::timeout, &context_, [this] { onBudgetExpired(); });
    // A short pause lets the adapter settle after an aborted attempt.
    retryTimer_.setSingleShot(true);
    retryTimer_.setInterval(budgets_.connection / 10);
    QObject::connect(&retryTimer_, &QTimer::timeout, &context_, [this] { attempt(); });
}

QtPeripheral::~QtPeripheral()
{
    retireController();
}

std::string QtPeripheral::description() const
{
    static constexpr const char* linkNames[] = {"disconnected", "connecting", "connected", "disconnecting"};
    return "<Peripheral: identifier = " + identifier_ +
           ", name = " + (name_ ? logform::quoted(*name_) : std::string("nil")) +
           ", state = " + linkNames[static_cast<int>(link_)] + ">";
}

void QtPeripheral::update(const QBluetoothDeviceInfo& device, const std::optional<std::string>& name)
{
    device_ = device;
    if (name)
        name_ = name;
}

void QtPeripheral::connect()
{
    switch (link_) {
    case Link::connected:
        if (const auto central = central_.lock())
            central->reportConnected(shared_from_this());
        return;
    case Link::connecting:
        return;
    case Link::closing:
    case Link::idle:
        startBudget(budgets_.connection);
        // BlueZ keeps a closing link up for 2 s: a new connection would get
        // it, have its subscriptions refused and be dropped with it.
        if (link_ == Link::closing || retiredLinkClosing_)
            reconnectAfterClose_ = true;
        else
            startConnecting();
    }
}

void QtPeripheral::startConnecting()
{
    link_ = Link::connecting;
    cancelRequested_ = false;
    servicesRequested_ = false;
    lastControllerError_.reset();
    services_.reset();
    attemptsMade_ = 0;
    attempt();
}

void QtPeripheral::attempt()
{
    const unsigned number = ++attemptNumber_;
    devicePath_.reset();
    const auto central = central_.lock();
    const QString adapterPath = central ? central->adapterPath() : QString();
    bluez::findDevice(device_.address(), adapterPath, context_,
                      [this, number](const std::optional<QString>& path) {
                          if (number == attemptNumber_)
                              onLocated(path);
                      });
}

void QtPeripheral::onLocated(const std::optional<QString>& path)
{
    if (!path) {
        // BlueZ removes a device it has not heard for 30 s once discovery is off.
        log("Bluetooth: BlueZ no longer knows " + description() + "; listening for it");
        if (const auto central = central_.lock())
            central->listenFor(shared_from_this());
        return;
    }
    devicePath_ = path;
    ++attemptsMade_;
    bluez::connectDevice(*path, context_, [this, number = attemptNumber_](const QDBusError& error) {
        if (number == attemptNumber_)
            onLinkAnswer(error);
    });
}

void QtPeripheral::onHeardAgain()
{
    if (link_ == Link::connecting && !controller_)
        attempt();
}

void QtPeripheral::onLinkAnswer(const QDBusError& error)
{
    if (!error.isValid()) {
        onLinkUp();
        return;
    }
    const std::string text = toStdString(error.message());
    if ((bluez::isTransient(error) || bluez::isForgotten(error)) && attemptsMade_ < budgets_.attempts) {
        log("Bluetooth: attempt " + std::to_string(attemptsMade_) + " to connect to " + description() +
            " failed: " + text + "; trying again");
        retryTimer_.start();
        return;
    }
    failConnection(attemptsMade_ > 1 ? text + " (" + std::to_string(attemptsMade_) + " attempts)" : text);
}

void QtPeripheral::onLinkUp()
{
    startBudget(budgets_.resolution);
    makeController();
    // Qt finds the device connected: it reports the connection as soon as
    // BlueZ has resolved the services, at once when they are.
    controller_->connectToDevice();
}

void QtPeripheral::startBudget(std::chrono::milliseconds budget)
{
    budgetTimer_.setInterval(budget);
    budgetTimer_.start();
}

void QtPeripheral::onBudgetExpired()
{
    const auto within = [](std::chrono::milliseconds budget) {
        const auto tenths = budget.count() / 100;
        const std::string fraction = tenths % 10 ? "." + std::to_string(tenths % 10) : "";
        return " No answer within " + std::to_string(tenths / 10) + fraction + " s.";
    };
    if (std::exchange(reconnectAfterClose_, false))
        reportFailure(linkStillClosing.localizedDescription + within(budgets_.connection));
    else if (link_ == Link::connecting && controller_)
        failConnection(servicesNotResolved.localizedDescription + within(budgets_.resolution));
    else if (link_ == Link::connecting)
        failConnection(connectionTimedOut.localizedDescription + within(budgets_.connection));
}

void QtPeripheral::withdraw()
{
    ++attemptNumber_;
    budgetTimer_.stop();
    retryTimer_.stop();
    if (const auto central = central_.lock())
        central->stopListeningFor(*this);
    if (controller_)
        retireController();
    else if (devicePath_)
        bluez::disconnectDevice(*devicePath_);
    devicePath_.reset();
}

void QtPeripheral::makeController()
{
    const auto central = central_.lock();
    controller_.reset(QLowEnergyController::createCentral(device_, central ? central->adapterAddress()
                                                                           : QBluetoothAddress()));
    auto* controller = controller_.get();
    QObject::connect(controller, &QLowEnergyController::connected, &context_, [this] { onConnected(); });
    QObject::connect(controller, &QLowEnergyController::disconnected, &context_,
                     [this] { onDisconnected(); });
    QObject::connect(controller, &QLowEnergyController::errorOccurred, &context_,
                     [this] { onControllerError(); });
    QObject::connect(controller, &QLowEnergyController::discoveryFinished, &context_,
                     [this] { onServicesDiscovered(); });
}

void QtPeripheral::retireController()
{
    if (!controller_)
        return;
    QObject::disconnect(controller_.get(), nullptr, &context_, nullptr);
    if (controller_->state() == QLowEnergyController::UnconnectedState) {
        controller_.reset();
        return;
    }
    // Deleting a controller that is still connecting or connected leaves the
    // link up; it deletes itself once closed.
    QLowEnergyController* closing = controller_.release();
    retiredLinkClosing_ = true;
    QObject::connect(closing, &QObject::destroyed, &context_, [this] { onRetiredLinkClosed(); });
    QObject::connect(closing, &QLowEnergyController::stateChanged, closing,
                     [closing](QLowEnergyController::ControllerState state) {
                         if (state == QLowEnergyController::UnconnectedState)
                             closing->deleteLater();
                     });
    if (closing->state() != QLowEnergyController::ClosingState)
        closing->disconnectFromDevice();
}

void QtPeripheral::onRetiredLinkClosed()
{
    retiredLinkClosing_ = false;
    if (link_ == Link::idle && std::exchange(reconnectAfterClose_, false))
        startConnecting();
}

void QtPeripheral::cancelConnection()
{
    switch (link_) {
    case Link::idle:
        // A connection that waits for a given-up link to close is withdrawn
        // like one under way.
        if (std::exchange(reconnectAfterClose_, false)) {
            budgetTimer_.stop();
            if (const auto central = central_.lock())
                central->reportDisconnection(shared_from_this(), std::nullopt);
        }
        return;
    case Link::closing:
        // The old link's report of its end answers this cancel too.
        reconnectAfterClose_ = false;
        budgetTimer_.stop();
        return;
    case Link::connecting: {
        withdraw();
        link_ = Link::idle;
        if (const auto central = central_.lock())
            central->reportDisconnection(shared_from_this(), std::nullopt);
        return;
    }
    case Link::connected:
        link_ = Link::closing;
        cancelRequested_ = true;
        controller_->disconnectFromDevice();
        return;
    }
}

void QtPeripheral::onConnected()
{
    if (link_ != Link::connecting)
        return;
    budgetTimer_.stop();
    link_ = Link::connected;
    if (const auto central = central_.lock())
        central->reportConnected(shared_from_this());
}

void QtPeripheral::failConnection(const std::string& text)
{
    withdraw();
    link_ = Link::idle;
    reportFailure(text);
}

void QtPeripheral::reportFailure(const std::string& text)
{
    log("Bluetooth: connection to " + description() + " failed: " + text);
    if (const auto central = central_.lock())
        central->reportConnectionFailure(shared_from_this(), ble::Error{text});
}

void QtPeripheral::onControllerError()
{
    const std::string text = toStdString(controller_->errorString());
    if (link_ == Link::connecting) {
        failConnection(text);
        return;
    }
    log("Bluetooth: " + description() + " reported: " + text);
    lastControllerError_ = text;
    // A failed service discovery ends without discoveryFinished.
    if (servicesRequested_ && controller_->state() != QLowEnergyController::UnconnectedState) {
        servicesRequested_ = false;
        deliver([error = ble::Error{text}](ble::PeripheralDelegate& delegate, const auto& self) {
            delegate.peripheralDidDiscoverServices(self, error);
        });
    }
}

void QtPeripheral::onDisconnected()
{
    std::optional<ble::Error> error;
    if (!cancelRequested_)
        error = ble::Error{lastControllerError_.value_or(remoteDisconnection.localizedDescription)};
    link_ = Link::idle;
    servicesRequested_ = false;
    retireController();
    if (const auto central = central_.lock())
        central->reportDisconnection(shared_from_this(), error);
    if (std::exchange(reconnectAfterClose_, false))
        startConnecting();
}

void QtPeripheral::linkLost(const ble::Error& reason)
{
    // A connection that waits for the old link to go down fails like an attempt under way.
    const bool waiting = std::exchange(reconnectAfterClose_, false);
    switch (link_) {
    case Link::idle:
        break;
    case Link::connecting:
        failConnection(reason.localizedDescription);
        return;
    case Link::connected:
    case Link::closing:
        lastControllerError_ = reason.localizedDescription;
        onDisconnected();
    }
    if (waiting) {
        budgetTimer_.stop();
        reportFailure(reason.localizedDescription);
    }
}

void QtPeripheral::discoverServices()
{
    if (!isConnected()) {
        deliver([](ble::PeripheralDelegate& delegate, const auto& self) {
            delegate.peripheralDidDiscoverServices(self, notConnected);
        });
        return;
    }
    // Qt discovers the services of a connection once.
    if (controller_->state() == QLowEnergyController::DiscoveredState) {
        deliver([](ble::PeripheralDelegate& delegate, const auto& self) {
            delegate.peripheralDidDiscoverServices(self, std::nullopt);
        });
        return;
    }
    servicesRequested_ = true;
    controller_->discoverServices();
}

void QtPeripheral::onServicesDiscovered()
{
    servicesRequested_ = false;
    auto& discovered = services_.emplace();
    for (const QBluetoothUuid& uuid : controller_->services()) {
        QtOwned<QLowEnergyService> qtService(controller_->createServiceObject(uuid));
        if (!qtService)
            continue;
        discovered.push_back(std::make_shared<QtService>(std::move(qtService)));
        watchService(discovered.back());
    }
    reportMissingMeasurementService();
    deliver([](ble::PeripheralDelegate& delegate, const auto& self) {
        delegate.peripheralDidDiscoverServices(self, std::nullopt);
    });
}

void QtPeripheral::reportMissingMeasurementService() const
{
    // BlueZ reports the services resolved even when its GATT discovery failed
    // and it exported none; a connected meter would then look idle.
    const QBluetoothUuid command(quint16(0xFF01));
    const QBluetoothUuid measurement(quint16(0xFF02));
    if (!services_)
        return;
    bool offered = false;
    for (const auto& service : *services_) {
        if (service->qtService().state() != QLowEnergyService::RemoteServiceDiscovered)
            return;
        for (const QLowEnergyCharacteristic& characteristic : service->qtService().characteristics())
            offered = offered || characteristic.uuid() == command || characteristic.uuid() == measurement;
    }
    if (!offered)
        log("Bluetooth: " + name_.value_or(identifier_) + " offers no measurement service (no FF01/FF02)");
}

std::optional<std::vector<std::shared_ptr<ble::Service>>> QtPeripheral::services() const
{
    if (!services_)
        return std::nullopt;
    return std::vector<std::shared_ptr<ble::Service>>(services_->begin(), services_->end());
}

void QtPeripheral::watchService(const std::shared_ptr<QtService>& service)
{
    QLowEnergyService* qtService = &service->qtService();
    const std::weak_ptr<QtService> weakService = service;
    QObject::connect(qtService, &QLowEnergyService::stateChanged, &context_,
                     [this, weakService](QLowEnergyService::ServiceState state) {
                         if (const auto service = weakService.lock())
                             onServiceStateChanged(service, state);
                     });
    QObject::connect(qtService, &QLowEnergyService::errorOccurred, &context_,
                     [this, weakService](QLowEnergyService::ServiceError error) {
                         if (const auto service = weakService.lock())
                             onServiceError(service, error);
                     });
    QObject::connect(qtService, &QLowEnergyService::characteristicChanged, &context_,
                     [this, weakService](const QLowEnergyCharacteristic& changed, const QByteArray& value) {
                         const auto service = weakService.lock();
                         const auto characteristic = service ? service->find(changed) : nullptr;
                         if (!characteristic)
                             return;
                         characteristic->receive(value);
                         deliverValue(characteristic, std::nullopt);
                     });
    QObject::connect(qtService, &QLowEnergyService::characteristicRead, &context_,
                     [this, weakService](const QLowEnergyCharacteristic& read, const QByteArray& value) {
                         const auto service = weakService.lock();
                         const auto characteristic = service ? service->find(read) : nullptr;
                         if (!characteristic)
                             return;
                         characteristic->receive(value);
                         settle(service->pendingReads, *characteristic, &QtPeripheral::deliverValue);
                     });
    QObject::connect(qtService, &QLowEnergyService::descriptorWritten, &context_,
                     [this, weakService](const QLowEnergyDescriptor& descriptor, const QByteArray&) {
                         const auto service = weakService.lock();
                         const auto characteristic = service ? service->configuredBy(descriptor) : nullptr;
                         if (!characteristic)
                             return;
                         settle(service->pendingNotificationChanges, *characteristic,
                                &QtPeripheral::deliverNotificationState);
                     });
}

void QtPeripheral::discoverCharacteristics(const std::shared_ptr<ble::Service>& service)
{
    const auto own = ownService(*service);
    if (const auto error = unusable(own != nullptr, unknownService)) {
        deliver([service, error](ble::PeripheralDelegate& delegate, const auto& self) {
            delegate.peripheralDidDiscoverCharacteristicsForService(self, service, error);
        });
        return;
    }
    switch (own->qtService().state()) {
    case QLowEnergyService::RemoteServiceDiscovered:
        deliver([own](ble::PeripheralDelegate& delegate, const auto& self) {
            delegate.peripheralDidDiscoverCharacteristicsForService(self, own, std::nullopt);
        });
        return;
    case QLowEnergyService::RemoteServiceDiscovering:
        return;
    default:
        // Values are read on request only; the discovery itself reads nothing.
        own->qtService().discoverDetails(QLowEnergyService::SkipValueDiscovery);
    }
}

void QtPeripheral::onServiceStateChanged(const std::shared_ptr<QtService>& service,
                                         QLowEnergyService::ServiceState state)
{
    if (state != QLowEnergyService::RemoteServiceDiscovered)
        return;
    service->adoptDiscoveredCharacteristics();
    reportMissingMeasurementService();
    deliver([service](ble::PeripheralDelegate& delegate, const auto& self) {
        delegate.peripheralDidDiscoverCharacteristicsForService(self, service, std::nullopt);
    });
}

void QtPeripheral::onServiceError(const std::shared_ptr<QtService>& service,
                                  QLowEnergyService::ServiceError error)
{
    const ble::Error text = serviceError(error);
    switch (error) {
    case QLowEnergyService::CharacteristicReadError:
        if (const auto characteristic = takeFront(service->pendingReads))
            deliverValue(characteristic, text);
        return;
    case QLowEnergyService::DescriptorWriteError:
        if (const auto characteristic = takeFront(service->pendingNotificationChanges))
            deliverNotificationState(characteristic, text);
        return;
    default:
        break;
    }
    log("Bluetooth: service " + service->uuid().uuidString() + " of " + description() +
        " reported: " + text.localizedDescription);
    if (service->qtService().state() == QLowEnergyService::RemoteServiceDiscovering)
        deliver([service, text](ble::PeripheralDelegate& delegate, const auto& self) {
            delegate.peripheralDidDiscoverCharacteristicsForService(self, service, text);
        });
}

void QtPeripheral::setNotifyValue(bool enabled, const std::shared_ptr<ble::Characteristic>& characteristic)
{
    const auto [service, own] = ownCharacteristic(*characteristic);
    if (const auto error = unusable(own != nullptr, unknownCharacteristic)) {
        deliverNotificationState(characteristic, error);
        return;
    }
    const QLowEnergyDescriptor configuration = own->qtCharacteristic().clientCharacteristicConfiguration();
    if (!configuration.isValid()) {
        deliverNotificationState(own, noClientConfiguration);
        return;
    }
    service->pendingNotificationChanges.push_back(own);
    service->qtService().writeDescriptor(configuration,
                                         clientConfiguration(enabled, own->qtCharacteristic().properties()));
}

void QtPeripheral::readValue(const std::shared_ptr<ble::Characteristic>& characteristic)
{
    const auto [service, own] = ownCharacteristic(*characteristic);
    if (const auto error = unusable(own != nullptr, unknownCharacteristic)) {
        deliverValue(characteristic, error);
        return;
    }
    service->pendingReads.push_back(own);
    service->qtService().readCharacteristic(own->qtCharacteristic());
}

void QtPeripheral::writeValue(const ble::Bytes& value,
                              const std::shared_ptr<ble::Characteristic>& characteristic, ble::WriteType type)
{
    const auto [service, own] = ownCharacteristic(*characteristic);
    if (const auto error = unusable(own != nullptr, unknownCharacteristic)) {
        log("Bluetooth: not written to " + characteristic->uuid().uuidString() + ": " +
            error->localizedDescription);
        return;
    }
    if (type == ble::WriteType::withResponse) {
        service->qtService().writeCharacteristic(own->qtCharacteristic(), toQByteArray(value));
        return;
    }
    // Handed to Qt after the requests asked for in the same turn of the event
    // loop: Qt sends one request at a time, in call order, so a subscription
    // asked for with it is on before the meter answers the write.
    QMetaObject::invokeMethod(
        &context_,
        [this, service = service, own = own, value = toQByteArray(value)] {
            if (isConnected() && ownService(*service) == service)
                service->qtService().writeCharacteristic(own->qtCharacteristic(), value,
                                                         QLowEnergyService::WriteWithoutResponse);
        },
        Qt::QueuedConnection);
}

void QtPeripheral::settle(std::deque<std::shared_ptr<QtCharacteristic>>& pending,
                          const QtCharacteristic& answered,
                          void (QtPeripheral::*deliver)(const std::shared_ptr<ble::Characteristic>&,
                                                        std::optional<ble::Error>))
{
    const auto found = std::find_if(pending.begin(), pending.end(),
                                    [&](const auto& waiting) { return waiting.get() == &answered; });
    if (found == pending.end())
        return;
    // Qt answers in call order, so those still waiting before it were dropped.
    std::vector<std::shared_ptr<QtCharacteristic>> settled(pending.begin(), std::next(found));
    pending.erase(pending.begin(), std::next(found));
    for (const auto& characteristic : settled)
        (this->*deliver)(characteristic,
                         characteristic == settled.back() ? std::nullopt : std::optional(droppedRequest));
}

std::shared_ptr<QtService> QtPeripheral::ownService(const ble::Service& service) const
{
    if (!services_)
        return nullptr;
    const auto found = std::find_if(services_->begin(), services_->end(),
                                    [&](const auto& candidate) { return candidate.get() == &service; });
    return found == services_->end() ? nullptr : *found;
}

std::pair<std::shared_ptr<QtService>, std::shared_ptr<QtCharacteristic>>
QtPeripheral::ownCharacteristic(const ble::Characteristic& characteristic) const
{
    if (services_)
        for (const auto& service : *services_)
            if (auto own = service->find(characteristic))
                return {service, std::move(own)};
    return {};
}

void QtPeripheral::deliver(
    std::function<void(ble::PeripheralDelegate&, const std::shared_ptr<QtPeripheral>&)> call)
{
    QMetaObject::invokeMethod(
        &context_,
        [weakSelf = weak_from_this(), call = std::move(call)] {
            const auto self = weakSelf.lock();
            const auto delegate = self ? self->delegate_.lock() : nullptr;
            if (delegate)
                call(*delegate, self);
        },
        Qt::QueuedConnection);
}

std::optional<ble::Error> QtPeripheral::unusable(bool belongsToConnection,
                                                 const ble::Error& strangerError) const
{
    if (!belongsToConnection)
        return strangerError;
    if (!isConnected())
        return notConnected;
    return std::nullopt;
}

void QtPeripheral::deliverValue(const std::shared_ptr<ble::Characteristic>& characteristic,
                                std::optional<ble::Error> error)
{
    deliver([characteristic, error = std::move(error)](ble::PeripheralDelegate& delegate, const auto& self) {
        delegate.peripheralDidUpdateValueForCharacteristic(self, characteristic, error);
    });
}

void QtPeripheral::deliverNotificationState(const std::shared_ptr<ble::Characteristic>& characteristic,
                                            std::optional<ble::Error> error)
{
    deliver([characteristic, error = std::move(error)](ble::PeripheralDelegate& delegate, const auto& self) {
        delegate.peripheralDidUpdateNotificationStateForCharacteristic(self, characteristic, error);
    });
}

void QtPeripheral::log(const std::string& line) const
{
    log_->writeLine(logform::printable(line));
}

} // namespace qtble
