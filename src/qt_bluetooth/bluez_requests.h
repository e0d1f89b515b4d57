// BlueZ's words for the GATT requests Qt makes: Qt turns every refusal into
// a bare CharacteristicReadError or DescriptorWriteError and says nothing of
// a request that BlueZ holds back while it pairs the device.
#pragma once

#include "qt_bluetooth/stack_extras.h"

#include <QString>

#include <functional>
#include <memory>

namespace qtble {

// adapterPath: the adapter the device is looked for on; any when empty.
std::unique_ptr<RequestAdvisor> makeBluezRequestAdvisor(const QBluetoothAddress& device,
                                                        std::function<QString()> adapterPath);

} // namespace qtble
