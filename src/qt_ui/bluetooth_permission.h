// The system's leave to use Bluetooth, and the radio the application sees
// without it. macOS asks the user (with Qt 6.5 or newer, which knows the
// permission); Linux and Windows do not ask.
#pragma once

#include "app/ble.h"

namespace qtui {

// Whether the application may use Bluetooth: asks the user first where the
// system wants that, and waits for the answer. Call it before the first
// central manager is made.
bool bluetoothPermitted();

// Central managers over a radio the application may not use: each reports
// "unauthorized", after it was made, finds nothing and refuses connections.
ble::CentralManagerFactory unauthorizedCentralManagerFactory();

} // namespace qtui
