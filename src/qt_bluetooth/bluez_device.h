// What Qt does not pass on from BlueZ: whether BlueZ still knows a device, and
// in which words a connection or a GATT request failed. Asked over D-Bus,
// without blocking.
#pragma once

#include <QBluetoothAddress>
#include <QBluetoothUuid>
#include <QDBusError>
#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace qtble::bluez {

// The object path of BlueZ's device with this address on the adapter (on any
// adapter when the path is empty); nothing when BlueZ has no such device (any
// more) or cannot be asked.
// Hands the call's reply to done; the context owns the wait, so that it goes
// with whoever asked. D-Bus's own time-out (25 s) unless told otherwise.
void whenAnswered(const QDBusMessage& call, QObject& context, std::function<void(const QDBusMessage&)> done,
                  int timeoutMs = -1);

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
    bool paired = false;
};
// The device's link as BlueZ has it; nothing when it cannot be asked.
void linkState(const QString& path, QObject& context,
               std::function<void(const std::optional<LinkState>&)> done);

struct CharacteristicPaths {
    QString device;
    QString characteristic;
};
// BlueZ's objects of the device and of its characteristic of that UUID in the
// service of that UUID; nothing when BlueZ exports none or cannot be asked.
void findCharacteristic(const QBluetoothAddress& address, const QString& adapterPath,
                        const QBluetoothUuid& service, const QBluetoothUuid& characteristic, QObject& context,
                        std::function<void(const std::optional<CharacteristicPaths>&)> done);

// Asks BlueZ again for a read of the characteristic, or for its
// notifications (stopped again when granted), to hear BlueZ's words for a
// refusal: done gets its error, invalid when granted. A read has no effect on
// the device; BlueZ answers a repeated one with the same answer.
void repeatRequest(const QString& characteristicPath, bool subscription, QObject& context,
                   std::function<void(const QDBusError&)> done);

// What the user can do about a refused GATT request: pair the device (again,
// when BlueZ has it paired), or join the group that may use Bluetooth; empty
// when BlueZ's words ask nothing of the user.
QString gattAdvice(const QDBusError& error, const QBluetoothAddress& device, bool paired);

// A request waits: BlueZ may be pairing the device.
QString pairingWaitAdvice(const QBluetoothAddress& device);

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
