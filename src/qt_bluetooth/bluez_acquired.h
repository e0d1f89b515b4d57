// BlueZ's AcquireWrite and AcquireNotify: a socket per characteristic, so that
// a write without response is one write(2) and a notification one read(2),
// instead of a D-Bus message that Qt unmarshals on its D-Bus thread and again
// on the GUI thread.
#pragma once

#include "qt_bluetooth/stack_extras.h"

#include <QString>

#include <chrono>
#include <memory>

namespace qtble::bluez {

// The channels of the device with this address on the adapter (on any adapter
// when the path is empty). BlueZ 5.66 leaves AcquireNotify unanswered when the
// device refuses the subscription: after answerWait, Qt's way is taken, which
// reports the refusal.
std::unique_ptr<GattChannels> makeAcquiredChannels(const QBluetoothAddress& device,
                                                   const QString& adapterPath,
                                                   std::chrono::milliseconds answerWait);

} // namespace qtble::bluez
