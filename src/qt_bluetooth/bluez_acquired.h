// BlueZ's AcquireWrite and AcquireNotify: a socket per characteristic, so that
// a write without response is one write(2) and a notification one read(2),
// instead of a D-Bus message that Qt unmarshals on its D-Bus thread and again
// on the GUI thread.
#pragma once

#include "qt_bluetooth/stack_extras.h"

#include <QString>

#include <memory>

namespace qtble::bluez {

// The channels of the device with this address on the adapter (on any adapter
// when the path is empty).
std::unique_ptr<GattChannels> makeAcquiredChannels(const QBluetoothAddress& device,
                                                   const QString& adapterPath);

} // namespace qtble::bluez
