// Every characteristic value is logged and, when it is a measurement frame, shown.
#include "app/log_forms.h"
#include "app/view_controller.h"
#include "protocol/frame.h"

void ViewController::peripheralDidUpdateValueForCharacteristic(
    const std::shared_ptr<ble::Peripheral>&, const std::shared_ptr<ble::Characteristic>& characteristic,
    const std::optional<ble::Error>&)
{
    log({"didUpdateValueFor characteristic UUID: " +
         logform::printable(characteristic->uuid().description())});
    const auto value = characteristic->value();
    log({"data update value " +
         logform::optional(value ? std::optional(logform::bytesText(value->size())) : std::nullopt)});
    if (!value || value->size() != protocol::frameLength)
        return;
    for (const auto byte : *value)
        log({"data = " + logform::optional(logform::decimal(byte))});
    log({logform::optionalQuoted(protocol::readingKindText(*value))});
    const auto reading = protocol::decodeFrame(*value);
    if (!reading)
        return;
    log({logform::optionalQuoted(reading->valueText)});
    const bool temperature = reading->kind == protocol::ReadingKind::temperature;
    ui::setStringValue(temperature ? temperatureTxtFld : moistureTxtFld, reading->displayText);
}
