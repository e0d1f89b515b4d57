#include "qt_bluetooth/device_facts.h"

#include <QBluetoothAddress>
#include <QStringList>

#include <algorithm>
#include <array>
#include <vector>

namespace qtble {
namespace {

std::string hexText(const QByteArray& bytes)
{
    return bytes.toHex().toUpper().toStdString();
}

std::string joined(const QStringList& entries)
{
    return toStdString(entries.join(QStringLiteral(", ")));
}

} // namespace

std::string secondsText(std::chrono::milliseconds duration)
{
    const auto tenths = duration.count() / 100;
    return std::to_string(tenths / 10) + (tenths % 10 ? "." + std::to_string(tenths % 10) : "") + " s";
}

std::string toStdString(const QString& text)
{
    return text.toUtf8().toStdString();
}

ble::Bytes toBytes(const QByteArray& bytes)
{
    return {bytes.begin(), bytes.end()};
}

QByteArray toQByteArray(const ble::Bytes& bytes)
{
    return {reinterpret_cast<const char*>(bytes.data()), static_cast<qsizetype>(bytes.size())};
}

std::string deviceIdentity(const QBluetoothDeviceInfo& device)
{
    if (!device.address().isNull())
        return toStdString(device.address().toString());
    return toStdString(device.deviceUuid().toString(QUuid::WithoutBraces).toUpper());
}

std::optional<std::string> deviceName(const QBluetoothDeviceInfo& device)
{
    const QString name = device.name();
    const QString addressAlias = device.address().toString().replace(QLatin1Char(':'), QLatin1Char('-'));
    if (name.isEmpty() || name.compare(addressAlias, Qt::CaseInsensitive) == 0)
        return std::nullopt;
    return toStdString(name);
}

ble::AdvertisementData advertisementData(const QBluetoothDeviceInfo& device,
                                         const std::optional<std::string>& name)
{
    ble::AdvertisementData data;
    if (name)
        data["kCBAdvDataLocalName"] = *name;

    QStringList serviceUuids;
    for (const QBluetoothUuid& uuid : device.serviceUuids())
        serviceUuids << QString::fromStdString(toUuid(uuid).uuidString());
    if (!serviceUuids.isEmpty())
        data["kCBAdvDataServiceUUIDs"] = joined(serviceUuids);

    QStringList manufacturerData;
    const auto manufacturers = device.manufacturerData();
    for (auto it = manufacturers.cbegin(); it != manufacturers.cend(); ++it)
        manufacturerData << QString::number(it.key(), 16).rightJustified(4, QLatin1Char('0')).toUpper() +
                                QStringLiteral(": ") + QString::fromStdString(hexText(it.value()));
    if (!manufacturerData.isEmpty())
        data["kCBAdvDataManufacturerData"] = joined(manufacturerData);

    QStringList serviceData;
    const auto services = device.serviceData();
    for (auto it = services.cbegin(); it != services.cend(); ++it)
        serviceData << QString::fromStdString(toUuid(it.key()).uuidString() + ": " + hexText(it.value()));
    if (!serviceData.isEmpty())
        data["kCBAdvDataServiceData"] = joined(serviceData);
    return data;
}

ble::Uuid toUuid(const QBluetoothUuid& uuid)
{
    const QByteArray rfc4122 = uuid.toRfc4122();
    std::array<std::uint8_t, 16> bytes{};
    std::copy_n(rfc4122.cbegin(), std::min<qsizetype>(rfc4122.size(), 16), bytes.begin());
    return ble::Uuid(bytes);
}

int radioState(bool adapterUsable, QBluetoothLocalDevice::HostMode mode)
{
    if (!adapterUsable)
        return ble::managerState::unsupported;
    return mode == QBluetoothLocalDevice::HostPoweredOff ? ble::managerState::poweredOff
                                                         : ble::managerState::poweredOn;
}

} // namespace qtble
