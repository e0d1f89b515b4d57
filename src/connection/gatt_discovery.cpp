// The walk over the meter's services and characteristics.
#include "app/log_forms.h"
#include "app/view_controller.h"
#include "protocol/frame.h"

bool ViewController::logDiscoveryOutcome(const std::optional<ble::Error>& error) const
{
    log({logform::separator(55)});
    // Both discovery answers report their errors in these words.
    if (error)
        log({"Error discovering services: " + logform::printable(error->localizedDescription)});
    return !error;
}

void ViewController::peripheralDidDiscoverServices(const std::shared_ptr<ble::Peripheral>& peripheral,
                                                   const std::optional<ble::Error>& error)
{
    if (!logDiscoveryOutcome(error))
        return;
    const auto services = peripheral->services();
    if (!services)
        return;
    log({"Found " + logform::decimal(static_cast<std::int64_t>(services->size())) + " services!"});
    std::vector<std::string> descriptions;
    for (const auto& service : *services) {
        peripheral->discoverCharacteristics(service);
        log({"service UUID: " + logform::printable(service->uuid().description())});
        descriptions.push_back(logform::printable(service->description()));
    }
    log({"Discovered Services: " + logform::list(descriptions)});
}

void ViewController::peripheralDidDiscoverCharacteristicsForService(
    const std::shared_ptr<ble::Peripheral>& peripheral, const std::shared_ptr<ble::Service>& service,
    const std::optional<ble::Error>& error)
{
    if (!logDiscoveryOutcome(error))
        return;
    const auto found = service->characteristics();
    if (!found)
        return;
    const auto count = logform::decimal(static_cast<std::int64_t>(found->size()));
    log({"Found " + count + " characteristics!"});
    for (const auto& characteristic : *found) {
        const auto uuid = characteristic->uuid();
        const auto uuidText = logform::printable(uuid.description());
        log({logform::printable(characteristic->description())});
        if (uuid == programWide().BLE_Characteristic_uuid_FF02()) {
            peripheral->setNotifyValue(true, characteristic);
            log({"BLE_Characteristic_uuid_FF02 found"});
        }
        log({"count: " + count});
        log({"characteristic UUID: " + uuidText});
        if (characteristic->properties() & ble::property::read) {
            log({uuidText + ": properties contains .read"});
            peripheral->readValue(characteristic);
            log({""});
        }
        if (characteristic->properties() & ble::property::notify) {
            log({uuidText + ": properties contains .notify"});
            peripheral->setNotifyValue(true, characteristic);
        }
        if (uuid.uuidString() == "FF01") {
            log({"characteristic FF01 write: " + uuidText});
            armPoll(peripheral, characteristic);
        }
    }
}

void ViewController::armPoll(const std::shared_ptr<ble::Peripheral>& peripheral,
                             const std::shared_ptr<ble::Characteristic>& characteristic)
{
    // A walk that finishes after its connection was cancelled or dropped
    // must not arm a poll towards a peripheral that is gone.
    if (!isEstablishedConnection(*peripheral))
        return;
    auto& slots = programWide();
    slots.writeCharacteristic = characteristic;
    slots.currentPeripheral = peripheral;
    slots.writePeripheral = peripheral;
    const ble::Bytes request{protocol::measurementRequest};
    log({"sending data"});
    log({"data = " + logform::decimal(request.front())});
    log({logform::bytesText(request.size())});
    peripheral->writeValue(request, characteristic, ble::WriteType::withoutResponse);
    counter = true;
}
