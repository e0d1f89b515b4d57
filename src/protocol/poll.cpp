// The measurement request poll, run by the repeating 2-second timer.
#include "app/log_forms.h"
#include "app/view_controller.h"
#include "protocol/frame.h"

void ViewController::fTimerFireMethod(app::Timer&)
{
    if (!counter)
        return;
    // The request goes only to the meter that owns the characteristic, and
    // only while the application's connection to it stands.
    const auto& slots = programWide();
    if (!slots.writeCharacteristic || !slots.writePeripheral ||
        !isEstablishedConnection(*slots.writePeripheral))
        return;
    const ble::Bytes request{protocol::measurementRequest};
    log({"data = " + logform::decimal(request.front())});
    log({"sending data"});
    slots.writePeripheral->writeValue(request, slots.writeCharacteristic, ble::WriteType::withoutResponse);
}
