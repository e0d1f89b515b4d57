#include "qt_bluetooth/qt_peripheral.h"

#include "app/log_forms.h"
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
                           std::shared_ptr<app::LogSink> log, std::chrono::seconds connectTimeout)
    : device_(device), identifier_(deviceIdentity(device)), name_(deviceName(device)),
      central_(std::move(central)), log_(std::move(log)), connectTimeout_(connectTimeout)
{
    connectTimer_.setSingleShot(true);
    connectTimer_.setInterval(connectTimeout_);
    QObject::connect(&connectTimer_, &QTimer::timeout, &context_, [this] { onConnectTimeout(); });
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
    if (link_ == Link::connected) {
        if (const auto central = central_.lock())
            central->reportConnected(shared_from_this());
        return;
    }
    if (link_ == Link::connecting)
        return;
    retireController();
    makeController();
    link_ = Link::connecting;
    cancelRequested_ = false;
    servicesRequested_ = false;
    lastControllerError_.reset();
    services_.reset();
    connectTimer_.start();
    controller_->connectToDevice();
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
    QObject::connect(closing, &QLowEnergyController::stateChanged, closing,
                     [closing](QLowEnergyController::ControllerState state) {
                         if (state == QLowEnergyController::UnconnectedState)
                             closing->deleteLater();
                     });
    if (closing->state() != QLowEnergyController::ClosingState)
        closing->disconnectFromDevice();
}

void QtPeripheral::cancelConnection()
{
    switch (link_) {
    case Link::idle:
    case Link::closing:
        return;
    case Link::connecting: {
        connectTimer_.stop();
        link_ = Link::idle;
        retireController();
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
    connectTimer_.stop();
    link_ = Link::connected;
    if (const auto central = central_.lock())
        central->reportConnected(shared_from_this());
}

void QtPeripheral::failConnection(const std::string& text)
{
    connectTimer_.stop();
    link_ = Link::idle;
    retireController();
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

void QtPeripheral::onConnectTimeout()
{
    if (link_ != Link::connecting)
        return;
    failConnection(connectionTimedOut.localizedDescription + " No answer within " +
                   std::to_string(connectTimeout_.count()) + " s.");
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
}

void QtPeripheral::linkLost(const ble::Error& reason)
{
    switch (link_) {
    case Link::idle:
        return;
    case Link::connecting:
        failConnection(reason.localizedDescription);
        return;
    case Link::connected:
    case Link::closing:
        lastControllerError_ = reason.localizedDescription;
        onDisconnected();
        return;
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
                     [this, weakService](const QLowEnergyCharacteristic&, const QByteArray& value) {
                         const auto service = weakService.lock();
                         const auto characteristic = service ? takeFront(service->pendingReads) : nullptr;
                         if (!characteristic)
                             return;
                         characteristic->receive(value);
                         deliverValue(characteristic, std::nullopt);
                     });
    QObject::connect(qtService, &QLowEnergyService::descriptorWritten, &context_,
                     [this, weakService](const QLowEnergyDescriptor& descriptor, const QByteArray&) {
                         const auto service = weakService.lock();
                         if (!service || !service->configuredBy(descriptor))
                             return;
                         if (const auto characteristic = takeFront(service->pendingNotificationChanges))
                             deliverNotificationState(characteristic, std::nullopt);
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
    const auto mode = type == ble::WriteType::withoutResponse ? QLowEnergyService::WriteWithoutResponse
                                                              : QLowEnergyService::WriteWithResponse;
    service->qtService().writeCharacteristic(own->qtCharacteristic(), toQByteArray(value), mode);
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
