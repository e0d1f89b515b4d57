#include "qt_ui/meter_watch.h"

#include <utility>

namespace qtui {
namespace {

const ble::Uuid requestUuid = ble::Uuid::fromShort(0xFF01);
const ble::Uuid measurementUuid = ble::Uuid::fromShort(0xFF02);
const ble::Uuid batteryLevelUuid = ble::Uuid::fromShort(0x2A19);

} // namespace

void MeterWatch::linkUp(const std::shared_ptr<ble::Peripheral>& peripheral)
{
    peripheral_ = peripheral;
    relinking_ = false;
    offersNoMeasurement_ = false;
    battery_.reset();
    pollsWithoutFrame_ = 0;
    requestOutstanding_ = false;
    peripheral->setDelegate(weak_from_this());
    changed_();
}

void MeterWatch::relinking()
{
    relinking_ = true;
    pollsWithoutFrame_ = 0;
    requestOutstanding_ = false;
    changed_();
}

void MeterWatch::pollTicked()
{
    const auto controller = controller_.lock();
    // The tick wrote a request only to an armed poll's established link.
    if (relinking_ || !controller || !controller->counter || !controller->connectionEstablished ||
        !controller->connectionPeripheral || !isWatched(*controller->connectionPeripheral))
        return;
    const bool unanswered = std::exchange(requestOutstanding_, true);
    if (unanswered)
        ++unansweredRequests_;
    ++pollsWithoutFrame_;
    // Silent, the line counts the seconds; before, only the tooltip's count may change.
    if (unanswered || isSilent())
        changed_();
}

bool MeterWatch::isWatched(const ble::Peripheral& peripheral) const
{
    return peripheral_ && peripheral_->isEqual(peripheral);
}

void MeterWatch::checkWalk(const ble::Peripheral& peripheral)
{
    const auto services = peripheral.services();
    if (!services)
        return;
    for (const auto& service : *services) {
        const auto characteristics = service->characteristics();
        if (!characteristics)
            return;
        for (const auto& characteristic : *characteristics)
            if (const auto uuid = characteristic->uuid(); uuid == requestUuid || uuid == measurementUuid)
                return;
    }
    if (!std::exchange(offersNoMeasurement_, true))
        changed_();
}

void MeterWatch::peripheralDidDiscoverServices(const std::shared_ptr<ble::Peripheral>& peripheral,
                                               const std::optional<ble::Error>& error)
{
    if (const auto controller = controller_.lock())
        controller->peripheralDidDiscoverServices(peripheral, error);
    if (!error && isWatched(*peripheral))
        checkWalk(*peripheral);
}

void MeterWatch::peripheralDidDiscoverCharacteristicsForService(
    const std::shared_ptr<ble::Peripheral>& peripheral, const std::shared_ptr<ble::Service>& service,
    const std::optional<ble::Error>& error)
{
    if (const auto controller = controller_.lock())
        controller->peripheralDidDiscoverCharacteristicsForService(peripheral, service, error);
    if (!error && isWatched(*peripheral))
        checkWalk(*peripheral);
}

void MeterWatch::peripheralDidUpdateValueForCharacteristic(
    const std::shared_ptr<ble::Peripheral>& peripheral,
    const std::shared_ptr<ble::Characteristic>& characteristic, const std::optional<ble::Error>& error)
{
    if (const auto controller = controller_.lock())
        controller->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, error);
    if (!isWatched(*peripheral))
        return;
    const auto uuid = characteristic->uuid();
    if (uuid == measurementUuid) {
        const bool wasSilent = isSilent();
        pollsWithoutFrame_ = 0;
        requestOutstanding_ = false;
        if (wasSilent)
            changed_();
        return;
    }
    const auto value = characteristic->value();
    // A level is one byte of 0 to 100; anything else is not shown.
    if (uuid != batteryLevelUuid || !value || value->empty() || value->front() > 100)
        return;
    if (battery_ != value->front()) {
        battery_ = value->front();
        changed_();
    }
}

void MeterWatch::peripheralDidUpdateNotificationStateForCharacteristic(
    const std::shared_ptr<ble::Peripheral>& peripheral,
    const std::shared_ptr<ble::Characteristic>& characteristic, const std::optional<ble::Error>& error)
{
    if (const auto controller = controller_.lock())
        controller->peripheralDidUpdateNotificationStateForCharacteristic(peripheral, characteristic, error);
}

} // namespace qtui
