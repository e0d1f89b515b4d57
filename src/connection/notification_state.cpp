// The platform's answer to a subscription request, only logged.
#include "app/log_forms.h"
#include "app/view_controller.h"

void ViewController::peripheralDidUpdateNotificationStateForCharacteristic(
    const std::shared_ptr<ble::Peripheral>&, const std::shared_ptr<ble::Characteristic>& characteristic,
    const std::optional<ble::Error>& error)
{
    log({logform::separator(55)});
    if (error)
        log({"Error changing notification state:" + logform::optionalQuoted(error->localizedDescription)});
    else
        log({"Characteristic's value subscribed"});
    if (characteristic->isNotifying())
        log({"Subscribed. Notification has begun for: " +
             logform::printable(characteristic->uuid().description())});
}
