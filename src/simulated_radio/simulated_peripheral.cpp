#include "simulated_radio/simulated_peripheral.h"

#include "app/log_forms.h"
#include "protocol/frame.h"

#include <algorithm>
#include <cstdio>
#include <utility>

namespace simradio {
namespace {

std::string hex(std::uint32_t value)
{
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", value);
    return text;
}

const char* yesNo(bool value)
{
    return value ? "YES" : "NO";
}

} // namespace

std::string SimulatedCharacteristic::description() const
{
    const auto valueText = value_ ? std::optional(logform::bytesText(value_->size())) : std::nullopt;
    return "<SimulatedCharacteristic: UUID = " + uuid().description() +
           ", properties = " + hex(properties()) + ", value = " + logform::optional(valueText) +
           ", notifying = " + yesNo(notifying_) + ">";
}

bool SimulatedCharacteristic::canNotify() const
{
    return description_.hasClientConfiguration &&
           (description_.properties & (ble::property::notify | ble::property::indicate)) != 0;
}

SimulatedService::SimulatedService(const ServiceDescription& description) : uuid_(description.uuid)
{
    for (const auto& characteristic : description.characteristics)
        characteristics_.push_back(std::make_shared<SimulatedCharacteristic>(characteristic));
}

std::optional<std::vector<std::shared_ptr<ble::Characteristic>>> SimulatedService::characteristics() const
{
    if (!characteristicsDiscovered_)
        return std::nullopt;
    return std::vector<std::shared_ptr<ble::Characteristic>>(characteristics_.begin(),
                                                             characteristics_.end());
}

std::string SimulatedService::description() const
{
    return "<SimulatedService: UUID = " + uuid_.description() + ", primary = YES>";
}

SimulatedPeripheral::SimulatedPeripheral(PeripheralDescription description,
                                         std::shared_ptr<Scheduler> scheduler, RadioTiming timing)
    : description_(std::move(description)), scheduler_(std::move(scheduler)), timing_(timing)
{
    for (const auto& service : description_.services)
        services_.push_back(std::make_shared<SimulatedService>(service));
    if (description_.meter)
        meter_.emplace(*description_.meter);
}

std::string SimulatedPeripheral::description() const
{
    static constexpr const char* linkNames[] = {"disconnected", "connecting", "connected"};
    return "<SimulatedPeripheral: identifier = " + description_.identifier +
           ", name = " + logform::optionalQuoted(name_) + ", state = " + linkNames[static_cast<int>(link_)] +
           ">";
}

void SimulatedPeripheral::receiveReport(const AdvertisingReport& report)
{
    if (report.localName)
        name_ = report.localName;
}

std::uint64_t SimulatedPeripheral::beginConnecting()
{
    link_ = Link::connecting;
    return ++connection_;
}

bool SimulatedPeripheral::completeConnection(std::uint64_t attempt)
{
    if (link_ != Link::connecting || connection_ != attempt)
        return false;
    link_ = Link::connected;
    return true;
}

void SimulatedPeripheral::dropConnection()
{
    link_ = Link::disconnected;
    ++connection_;
    servicesDiscovered_ = false;
    // A meter that fell silent answers again on a new link.
    answering_ = true;
    unansweredRequests_ = 0;
    heldMeasurementRequests_ = 0;
    for (const auto& service : services_) {
        service->setCharacteristicsDiscovered(false);
        for (const auto& characteristic : service->allCharacteristics())
            characteristic->setNotifying(false);
    }
}

void SimulatedPeripheral::answerLater(Duration delay, Answer answer)
{
    const auto scheduler = scheduler_.lock();
    if (link_ != Link::connected || !scheduler)
        return;
    scheduler->post(delay, [weak = weak_from_this(), connection = connection_, answer = std::move(answer)] {
        const auto self = weak.lock();
        if (!self || self->link_ != Link::connected || self->connection_ != connection)
            return;
        const auto delegate = self->delegate_.lock();
        answer(*self, delegate.get());
    });
}

void SimulatedPeripheral::answerRequest(Duration delay, Answer answer)
{
    if (link_ != Link::connected)
        return;
    ++unansweredRequests_;
    answerLater(delay, [connection = connection_, answer = std::move(answer)](
                           SimulatedPeripheral& self, ble::PeripheralDelegate* delegate) {
        answer(self, delegate);
        // The answer may have closed the connection, and its count with it.
        if (self.connection_ != connection || --self.unansweredRequests_ > 0)
            return;
        for (; self.heldMeasurementRequests_ > 0; --self.heldMeasurementRequests_)
            self.answerMeasurementRequest();
    });
}

void SimulatedPeripheral::discoverServices()
{
    answerRequest(timing_.serviceDiscovery, [](SimulatedPeripheral& self, ble::PeripheralDelegate* delegate) {
        self.servicesDiscovered_ = true;
        if (delegate)
            delegate->peripheralDidDiscoverServices(self.shared_from_this(), std::nullopt);
    });
}

std::optional<std::vector<std::shared_ptr<ble::Service>>> SimulatedPeripheral::services() const
{
    if (!servicesDiscovered_)
        return std::nullopt;
    return std::vector<std::shared_ptr<ble::Service>>(services_.begin(), services_.end());
}

std::shared_ptr<SimulatedService> SimulatedPeripheral::ownService(const ble::Service* service) const
{
    const auto found = std::find_if(services_.begin(), services_.end(),
                                    [service](const auto& own) { return own.get() == service; });
    return found != services_.end() ? *found : nullptr;
}

std::shared_ptr<SimulatedCharacteristic>
SimulatedPeripheral::ownCharacteristic(const ble::Characteristic* characteristic) const
{
    for (const auto& service : services_)
        for (const auto& own : service->allCharacteristics())
            if (own.get() == characteristic)
                return own;
    return nullptr;
}

std::shared_ptr<SimulatedCharacteristic> SimulatedPeripheral::ownCharacteristic(const ble::Uuid& uuid) const
{
    for (const auto& service : services_)
        for (const auto& own : service->allCharacteristics())
            if (own->uuid() == uuid)
                return own;
    return nullptr;
}

void SimulatedPeripheral::discoverCharacteristics(const std::shared_ptr<ble::Service>& service)
{
    answerRequest(timing_.characteristicDiscovery, [service](SimulatedPeripheral& self,
                                                             ble::PeripheralDelegate* delegate) {
        const auto own = self.ownService(service.get());
        std::optional<ble::Error> error;
        if (own && self.servicesDiscovered_)
            own->setCharacteristicsDiscovered(true);
        else
            error = ble::Error{"The service is not one of this peripheral's discovered services."};
        if (delegate)
            delegate->peripheralDidDiscoverCharacteristicsForService(self.shared_from_this(), service, error);
    });
}

void SimulatedPeripheral::setNotifyValue(bool enabled,
                                         const std::shared_ptr<ble::Characteristic>& characteristic)
{
    answerRequest(timing_.notificationState,
                  [enabled, characteristic](SimulatedPeripheral& self, ble::PeripheralDelegate* delegate) {
                      const auto own = self.ownCharacteristic(characteristic.get());
                      std::optional<ble::Error> error;
                      if (!own)
                          error = ble::Error{"The characteristic is not one of this peripheral's."};
                      else if (!own->canNotify())
                          error = ble::Error{"The characteristic does not support notifications."};
                      else
                          own->setNotifying(enabled);
                      if (delegate)
                          delegate->peripheralDidUpdateNotificationStateForCharacteristic(
                              self.shared_from_this(), characteristic, error);
                  });
}

void SimulatedPeripheral::readValue(const std::shared_ptr<ble::Characteristic>& characteristic)
{
    answerRequest(timing_.read,
                  [characteristic](SimulatedPeripheral& self, ble::PeripheralDelegate* delegate) {
                      const auto own = self.ownCharacteristic(characteristic.get());
                      std::optional<ble::Error> error;
                      if (!own)
                          error = ble::Error{"The characteristic is not one of this peripheral's."};
                      else if ((own->properties() & ble::property::read) == 0)
                          error = ble::Error{"Reading is not permitted."};
                      else
                          own->setValue(own->storedValue().value_or(ble::Bytes{}));
                      if (delegate)
                          delegate->peripheralDidUpdateValueForCharacteristic(self.shared_from_this(),
                                                                              characteristic, error);
                  });
}

void SimulatedPeripheral::writeValue(const ble::Bytes& value,
                                     const std::shared_ptr<ble::Characteristic>& characteristic,
                                     ble::WriteType type)
{
    const auto own = ownCharacteristic(characteristic.get());
    if (link_ != Link::connected || !own)
        return;
    const auto needed =
        type == ble::WriteType::withoutResponse ? ble::property::writeWithoutResponse : ble::property::write;
    // The stack refuses a write the characteristic does not allow.
    if ((own->properties() & needed) == 0)
        return;
    if (!isMeasurementRequest(value, *own))
        return;
    if (unansweredRequests_ > 0)
        ++heldMeasurementRequests_;
    else
        answerMeasurementRequest();
}

bool SimulatedPeripheral::isMeasurementRequest(const ble::Bytes& value,
                                               const SimulatedCharacteristic& target) const
{
    return meter_ && target.uuid() == description_.meter->requestCharacteristic &&
           value == ble::Bytes{protocol::measurementRequest};
}

void SimulatedPeripheral::answerMeasurementRequest()
{
    ++measurementRequests_;
    if (!answering_)
        return;
    answerLater(timing_.meterAnswer, [](SimulatedPeripheral& self, ble::PeripheralDelegate* delegate) {
        const auto measurement = self.ownCharacteristic(self.description_.meter->measurementCharacteristic);
        // A meter answers only once its measurement characteristic notifies.
        if (!measurement || !measurement->isNotifying())
            return;
        measurement->setValue(self.meter_->nextFrame());
        if (delegate)
            delegate->peripheralDidUpdateValueForCharacteristic(self.shared_from_this(), measurement,
                                                                std::nullopt);
    });
}

void SimulatedPeripheral::changeValue(const ble::Uuid& uuid, const ble::Bytes& value)
{
    const auto own = ownCharacteristic(uuid);
    if (!own)
        return;
    own->setStoredValue(value);
    if (!own->isNotifying())
        return;
    answerLater(timing_.meterAnswer, [own, value](SimulatedPeripheral& self,
                                                  ble::PeripheralDelegate* delegate) {
        own->setValue(value);
        if (delegate)
            delegate->peripheralDidUpdateValueForCharacteristic(self.shared_from_this(), own, std::nullopt);
    });
}

} // namespace simradio
