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
const ble::Error droppedRequest{"The Bluetooth stack dropped the request."};
const ble::Error servicesChanged{"The meter changed its services; a new connection reads them again."};

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
                           std::shared_ptr<app::LogSink> log, std::unique_ptr<LinkOpener> opener,
                           std::unique_ptr<RequestAdvisor> advisor, LinkBudgets budgets,
                           std::unique_ptr<GattChannels> channels)
    : device_(device), identifier_(deviceIdentity(device)), name_(deviceName(device)),
      central_(std::move(central)), log_(log), advisor_(std::move(advisor)),
      pace_(
          budgets.answer, [this] { return awaitsAnswer(); }, [this] { sayLongWait(); },
          [this] { dropAwaited(); }),
      channels_(*this, std::move(channels)), link_(*this, std::move(log), std::move(opener), budgets)
{
}

std::string QtPeripheral::description() const
{
    static constexpr const char* linkNames[] = {"disconnected", "connecting", "connected", "disconnecting"};
    return "<Peripheral: identifier = " + identifier_ +
           ", name = " + (name_ ? logform::quoted(*name_) : std::string("nil")) +
           ", state = " + linkNames[static_cast<int>(link_.state())] + ">";
}

void QtPeripheral::update(const QBluetoothDeviceInfo& device, const std::optional<std::string>& name)
{
    device_ = device;
    if (name)
        name_ = name;
}

void QtPeripheral::connect()
{
    const auto central = central_.lock();
    link_.connect(device_, central ? central->adapterAddress() : QBluetoothAddress());
}

void QtPeripheral::linkStarting()
{
    servicesRequested_ = false;
    services_.reset();
    uncheckedCommandWrites_.clear();
    refusalsExplained_.clear();
    refusalAdvised_ = false;
    pace_.reset();
    channels_.reset();
}

void QtPeripheral::controllerMade(QLowEnergyController& controller)
{
    QObject::connect(&controller, &QLowEnergyController::discoveryFinished, &context_, [this, &controller] {
        // A controller given up closes on its own; what it still says is old.
        if (link_.controller() == &controller)
            onServicesDiscovered();
    });
}

void QtPeripheral::linkConnected()
{
    if (const auto central = central_.lock())
        central->reportConnected(shared_from_this());
}

void QtPeripheral::connectionFailed(const ble::Error& error)
{
    if (const auto central = central_.lock())
        central->reportConnectionFailure(shared_from_this(), error);
}

void QtPeripheral::linkClosed(const std::optional<ble::Error>& error)
{
    servicesRequested_ = false;
    // Qt forgets the requests of a closed link without a word.
    pace_.reset();
    channels_.reset();
    if (const auto central = central_.lock())
        central->reportDisconnection(shared_from_this(), error);
}

void QtPeripheral::linkFaulted(const std::string& text)
{
    // A failed service discovery ends without discoveryFinished.
    const auto* controller = link_.controller();
    if (servicesRequested_ && controller && controller->state() != QLowEnergyController::UnconnectedState) {
        servicesRequested_ = false;
        deliver([error = ble::Error{text}](ble::PeripheralDelegate& delegate, const auto& self) {
            delegate.peripheralDidDiscoverServices(self, error);
        });
    }
}

void QtPeripheral::listen(bool wanted)
{
    const auto central = central_.lock();
    if (central && wanted)
        central->listenFor(shared_from_this());
    else if (central)
        central->stopListeningFor(*this);
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
    if (link_.controller()->state() == QLowEnergyController::DiscoveredState) {
        deliver([](ble::PeripheralDelegate& delegate, const auto& self) {
            delegate.peripheralDidDiscoverServices(self, std::nullopt);
        });
        return;
    }
    servicesRequested_ = true;
    link_.controller()->discoverServices();
}

void QtPeripheral::onServicesDiscovered()
{
    servicesRequested_ = false;
    auto& discovered = services_.emplace();
    QLowEnergyController& controller = *link_.controller();
    for (const QBluetoothUuid& uuid : controller.services()) {
        QtOwned<QLowEnergyService> qtService(controller.createServiceObject(uuid));
        if (!qtService)
            continue;
        discovered.push_back(std::make_shared<QtService>(std::move(qtService)));
        watchService(discovered.back());
    }
    deliver([](ble::PeripheralDelegate& delegate, const auto& self) {
        delegate.peripheralDidDiscoverServices(self, std::nullopt);
    });
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
                         // BlueZ announces the value it read before it answers
                         // the read, and Qt passes that on as a change too: the
                         // answer delivers it.
                         if (!characteristic || std::ranges::count(service->pendingReads, characteristic) > 0)
                             return;
                         notified(characteristic, value);
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
    // The device changed its services (Service Changed): Qt drops the ones
    // that went and discovers nothing anew within a connection, so every
    // request to them would fail. A new connection reads them again. Qt
    // invalidates all of them as the link goes, too, before it says so.
    if (state == QLowEnergyService::InvalidService) {
        QMetaObject::invokeMethod(
            &context_,
            [this] {
                if (link_.state() == QtLink::State::connected)
                    link_.close(servicesChanged);
            },
            Qt::QueuedConnection);
        return;
    }
    if (state != QLowEnergyService::RemoteServiceDiscovered)
        return;
    service->adoptDiscoveredCharacteristics();
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
        if (const auto characteristic = takeFront(service->pendingReads)) {
            deliverValue(characteristic, text);
            explainRefusal(RequestAdvisor::Request::read, *service, *characteristic);
        }
        pace_.requestAnswered();
        return;
    case QLowEnergyService::DescriptorWriteError:
        if (const auto characteristic = takeFront(service->pendingNotificationChanges)) {
            deliverNotificationState(characteristic, text);
            explainRefusal(RequestAdvisor::Request::subscription, *service, *characteristic);
        }
        pace_.requestAnswered();
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
    if (channels_.subscribe(enabled, service, own))
        return;
    service->pendingNotificationChanges.push_back(own);
    pace_.requestSent();
    service->qtService().writeDescriptor(configuration,
                                         clientConfiguration(enabled, own->qtCharacteristic().properties()));
}

void QtPeripheral::subscribeThroughQt(const std::shared_ptr<QtService>& service,
                                      const std::shared_ptr<QtCharacteristic>& characteristic)
{
    if (isConnected() && ownService(*service) == service)
        setNotifyValue(true, characteristic);
}

void QtPeripheral::subscribed(const std::shared_ptr<QtCharacteristic>& characteristic)
{
    deliverNotificationState(characteristic, std::nullopt);
}

void QtPeripheral::notified(const std::shared_ptr<QtCharacteristic>& characteristic, const QByteArray& value)
{
    // The value is taken as it is delivered: notifications that come in one
    // turn of the event loop would otherwise all deliver the last one.
    deliver([characteristic, value](ble::PeripheralDelegate& delegate, const auto& self) {
        characteristic->receive(value);
        delegate.peripheralDidUpdateValueForCharacteristic(self, characteristic, std::nullopt);
    });
}

void QtPeripheral::subscriptionUnanswered(const std::shared_ptr<QtCharacteristic>& characteristic)
{
    // As Qt reports a subscription the device did not accept.
    deliverNotificationState(characteristic, serviceError(QLowEnergyService::DescriptorWriteError));
    if (std::exchange(refusalAdvised_, true))
        return;
    const std::string line = "Bluetooth: " + name_.value_or(identifier_) +
                             " did not confirm notifications of " + characteristic->uuid().uuidString() +
                             " within " + secondsText(pace_.notice());
    const std::string advice = advisor_ ? advisor_->waitAdvice() : std::string();
    log(advice.empty() ? line : line + "; " + advice);
}

void QtPeripheral::channelClosed(const std::shared_ptr<QtService>& service,
                                 const std::shared_ptr<QtCharacteristic>& characteristic)
{
    log("Bluetooth: the stack closed the notification channel of " + characteristic->uuid().uuidString() +
        " of " + name_.value_or(identifier_) + "; subscribing through Qt again");
    subscribeThroughQt(service, characteristic);
}

void QtPeripheral::readValue(const std::shared_ptr<ble::Characteristic>& characteristic)
{
    const auto [service, own] = ownCharacteristic(*characteristic);
    if (const auto error = unusable(own != nullptr, unknownCharacteristic)) {
        deliverValue(characteristic, error);
        return;
    }
    service->pendingReads.push_back(own);
    pace_.requestSent();
    service->qtService().readCharacteristic(own->qtCharacteristic());
}

void QtPeripheral::writeValue(const ble::Bytes& value,
                              const std::shared_ptr<ble::Characteristic>& characteristic, ble::WriteType type)
{
    const auto [service, own] = ownCharacteristic(*characteristic);
    if (const auto error = unusable(own != nullptr, unknownCharacteristic)) {
        // A poll between a link's loss and its report would hide the report's
        // reason behind this line.
        if (link_.state() != QtLink::State::closing)
            log("Bluetooth: not written to " + characteristic->uuid().uuidString() + ": " +
                error->localizedDescription);
        return;
    }
    if (type == ble::WriteType::withResponse) {
        service->qtService().writeCharacteristic(own->qtCharacteristic(), toQByteArray(value));
        return;
    }
    // Neither Qt nor BlueZ refuses it: the write goes out, and the device may
    // drop it without a word. Said once a connection, not at every poll.
    if (!(own->qtCharacteristic().properties() & QLowEnergyCharacteristic::WriteNoResponse) &&
        uncheckedCommandWrites_.insert(own->uuid().uuidString()).second)
        log("Bluetooth: " + own->uuid().uuidString() + " of " + name_.value_or(identifier_) +
            " does not allow writes without response; the device may ignore them");
    channels_.write(service, own, toQByteArray(value));
}

void QtPeripheral::writeThroughQt(const std::shared_ptr<QtService>& service,
                                  const std::shared_ptr<QtCharacteristic>& characteristic,
                                  const QByteArray& value)
{
    // Handed on after the requests asked for in the same turn of the event
    // loop, and once they are answered: a subscription asked for with it is
    // on before the meter answers the write.
    QMetaObject::invokeMethod(
        &context_,
        [this, service, characteristic, value] {
            pace_.write(characteristic->uuid().uuidString() + ":" + value.toHex().toStdString(), [=, this] {
                if (isConnected() && ownService(*service) == service)
                    service->qtService().writeCharacteristic(characteristic->qtCharacteristic(), value,
                                                             QLowEnergyService::WriteWithoutResponse);
            });
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
    pace_.requestAnswered();
}

bool QtPeripheral::awaitsAnswer() const
{
    return services_ && std::ranges::any_of(*services_, [](const auto& service) {
               return !service->pendingReads.empty() || !service->pendingNotificationChanges.empty();
           });
}

void QtPeripheral::explainRefusal(RequestAdvisor::Request request, const QtService& service,
                                  const QtCharacteristic& characteristic)
{
    const std::string asked =
        (request == RequestAdvisor::Request::read ? " refused to read " : " refused to notify ") +
        characteristic.uuid().uuidString();
    if (!advisor_ || refusalAdvised_ || !refusalsExplained_.insert(asked).second)
        return;
    advisor_->explainRefusal(request, service.qtService().serviceUuid(),
                             characteristic.qtCharacteristic().uuid(),
                             [this, asked](const std::string& advice) {
                                 if (!std::exchange(refusalAdvised_, true))
                                     log("Bluetooth: " + name_.value_or(identifier_) + asked + ": " + advice);
                             });
}

void QtPeripheral::sayLongWait()
{
    const std::string line = "Bluetooth: " + name_.value_or(identifier_) +
                             " has not answered a request for " + secondsText(pace_.notice()) +
                             "; writes to it wait for that answer";
    const std::string advice = advisor_ ? advisor_->waitAdvice() : std::string();
    log(advice.empty() ? line : line + "; " + advice);
}

void QtPeripheral::dropAwaited()
{
    for (const auto& service : services_.value_or(std::vector<std::shared_ptr<QtService>>{})) {
        for (const auto& characteristic : std::exchange(service->pendingReads, {}))
            deliverValue(characteristic, droppedRequest);
        for (const auto& characteristic : std::exchange(service->pendingNotificationChanges, {}))
            deliverNotificationState(characteristic, droppedRequest);
    }
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
