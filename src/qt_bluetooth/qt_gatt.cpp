#include "qt_bluetooth/qt_gatt.h"

#include "app/log_forms.h"
#include "qt_bluetooth/device_facts.h"

#include <QByteArray>

#include <algorithm>
#include <cstdio>

namespace qtble {

QtCharacteristic::QtCharacteristic(const QLowEnergyCharacteristic& characteristic)
    : characteristic_(characteristic), uuid_(toUuid(characteristic.uuid())),
      properties_(static_cast<std::uint32_t>(characteristic.properties().toInt()))
{
}

bool QtCharacteristic::isNotifying() const
{
    const QByteArray configuration = characteristic_.clientCharacteristicConfiguration().value();
    return throughStack_ || configuration == QByteArray::fromHex("0100") ||
           configuration == QByteArray::fromHex("0200");
}

std::string QtCharacteristic::description() const
{
    char properties[8];
    std::snprintf(properties, sizeof properties, "0x%02X", static_cast<unsigned>(properties_));
    return "<Characteristic: UUID = " + uuid_.uuidString() + ", properties = " + properties + ", value = " +
           logform::optional(value_ ? std::optional(logform::bytesText(value_->size())) : std::nullopt) +
           ", notifying = " + (isNotifying() ? "YES" : "NO") + ">";
}

void QtCharacteristic::receive(const QByteArray& value)
{
    value_ = toBytes(value);
}

QtService::QtService(QtOwned<QLowEnergyService> service)
    : service_(std::move(service)), uuid_(toUuid(service_->serviceUuid()))
{
}

std::optional<std::vector<std::shared_ptr<ble::Characteristic>>> QtService::characteristics() const
{
    if (!characteristics_)
        return std::nullopt;
    return std::vector<std::shared_ptr<ble::Characteristic>>(characteristics_->begin(),
                                                             characteristics_->end());
}

std::string QtService::description() const
{
    const bool primary = service_->type().testFlag(QLowEnergyService::PrimaryService);
    return "<Service: UUID = " + uuid_.uuidString() + ", isPrimary = " + (primary ? "YES" : "NO") + ">";
}

void QtService::adoptDiscoveredCharacteristics()
{
    auto& adopted = characteristics_.emplace();
    for (const QLowEnergyCharacteristic& characteristic : service_->characteristics())
        adopted.push_back(std::make_shared<QtCharacteristic>(characteristic));
}

std::shared_ptr<QtCharacteristic> QtService::find(const ble::Characteristic& characteristic) const
{
    if (!characteristics_)
        return nullptr;
    const auto found =
        std::find_if(characteristics_->begin(), characteristics_->end(),
                     [&](const auto& candidate) { return candidate.get() == &characteristic; });
    return found == characteristics_->end() ? nullptr : *found;
}

std::shared_ptr<QtCharacteristic> QtService::find(const QLowEnergyCharacteristic& characteristic) const
{
    if (!characteristics_)
        return nullptr;
    const auto found =
        std::find_if(characteristics_->begin(), characteristics_->end(),
                     [&](const auto& candidate) { return candidate->qtCharacteristic() == characteristic; });
    return found == characteristics_->end() ? nullptr : *found;
}

std::shared_ptr<QtCharacteristic> QtService::configuredBy(const QLowEnergyDescriptor& descriptor) const
{
    if (!characteristics_)
        return nullptr;
    const auto found =
        std::find_if(characteristics_->begin(), characteristics_->end(), [&](const auto& candidate) {
            return candidate->qtCharacteristic().clientCharacteristicConfiguration() == descriptor;
        });
    return found == characteristics_->end() ? nullptr : *found;
}

} // namespace qtble
