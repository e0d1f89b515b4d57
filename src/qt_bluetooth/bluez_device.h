// What Qt does not pass on from BlueZ: whether BlueZ still knows a device, and
// in which words a connection failed. Asked over D-Bus, without blocking.
#pragma once

#include <QBluetoothAddress>
#include <QDBusError>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace qtble::bluez {

// The object path of BlueZ's device with this address on the adapter (on any
// adapter when the path is empty); nothing when BlueZ has no such device (any
// more) or cannot be asked.
void findDevice(const QBluetoothAddress& address, const QString& adapterPath, QObject& context,
                std::function<void(const std::optional<QString>&)> done);

// Asks BlueZ to connect the device and waits for its answer, however long;
// done gets BlueZ's error, invalid on success.
void connectDevice(const QString& path, QObject& context, std::function<void(const QDBusError&)> done);

// Whether BlueZ exports at least one GATT service of the device: done gets
// false when it exports none, or cannot be asked.
void hasServices(const QString& path, QObject& context, std::function<void(bool)> done);

struct LinkState {
    bool connected = false;
    bool servicesResolved = false;
};
// The device's link as BlueZ has it; nothing when it cannot be asked.
void linkState(const QString& path, QObject& context,
               std::function<void(const std::optional<LinkState>&)> done);

// Closes the link, or withdraws a pending attempt; nothing is awaited.
void disconnectDevice(const QString& path);

// A failure that another attempt may overcome: an aborted or busy connection.
bool isTransient(const QDBusError& error);

// BlueZ's words for a failure, with what the user can do where there is
// something: pair the device, or join the group that may use Bluetooth.
QString withAdvice(const QDBusError& error, const QBluetoothAddress& device);

// The device's object went away: BlueZ removed the device meanwhile.
bool isForgotten(const QDBusError& error);

} // namespace qtble::bluez
