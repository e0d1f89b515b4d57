// What the Bluetooth LE roles read off Qt's device and adapter values: a
// device's identity and name, its advertisement as text, UUIDs and the radio
// state.
#pragma once

#include "app/ble.h"

#include <QBluetoothDeviceInfo>
#include <QBluetoothLocalDevice>
#include <QBluetoothUuid>
#include <QByteArray>
#include <QString>

#include <chrono>
#include <optional>
#include <string>

namespace qtble {

// The address where the platform shows it, otherwise the platform's device UUID.
std::string deviceIdentity(const QBluetoothDeviceInfo& device);

// Absent for a device without a name. BlueZ gives a nameless device its
// address, written with dashes, as alias, and Qt reports that as the name.
std::optional<std::string> deviceName(const QBluetoothDeviceInfo& device);

// The advertised name, service UUIDs, manufacturer and service data, each as text.
ble::AdvertisementData advertisementData(const QBluetoothDeviceInfo& device,
                                         const std::optional<std::string>& name);

ble::Uuid toUuid(const QBluetoothUuid& uuid);

std::string toStdString(const QString& text);
// "1 s", "2.5 s": a duration to the tenth of a second.
std::string secondsText(std::chrono::milliseconds duration);
ble::Bytes toBytes(const QByteArray& bytes);
QByteArray toQByteArray(const ble::Bytes& bytes);

// The central manager's state for an adapter: unsupported when there is no
// usable adapter, otherwise powered on or off.
int radioState(bool adapterUsable, QBluetoothLocalDevice::HostMode mode);

} // namespace qtble
