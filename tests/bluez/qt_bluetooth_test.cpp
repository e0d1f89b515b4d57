// The backend's translations of Qt's device reports, without a bus.
#include "qt_bluetooth/device_facts.h"
#include "qt_bluetooth/scan_report_filter.h"

#include <QBluetoothAddress>
#include <QBluetoothDeviceInfo>
#include <QUuid>

#include <gtest/gtest.h>

namespace {

using qtble::ScanReportFilter;

QBluetoothDeviceInfo device(const QString& address, const QString& name)
{
    return QBluetoothDeviceInfo(QBluetoothAddress(address), name, 0);
}

TEST(ScanReportFilter, PassesEachDevicesFirstReportOfAScanOnly)
{
    ScanReportFilter filter;
    filter.startScan(false);
    EXPECT_TRUE(filter.admit("A", true));
    EXPECT_TRUE(filter.admit("B", false));
    EXPECT_FALSE(filter.admit("A", true));
    EXPECT_FALSE(filter.admit("B", false));
}

TEST(ScanReportFilter, PassesALaterReportThatBringsTheMissingNameOnce)
{
    ScanReportFilter filter;
    filter.startScan(false);
    EXPECT_TRUE(filter.admit("A", false));
    EXPECT_TRUE(filter.admit("A", true));
    EXPECT_FALSE(filter.admit("A", true));
    EXPECT_FALSE(filter.admit("A", false));
}

TEST(ScanReportFilter, ANameLostAgainIsNoNews)
{
    ScanReportFilter filter;
    filter.startScan(false);
    EXPECT_TRUE(filter.admit("A", true));
    EXPECT_FALSE(filter.admit("A", false));
    EXPECT_FALSE(filter.admit("A", true));
}

TEST(ScanReportFilter, ANewScanForgetsThePreviousReports)
{
    ScanReportFilter filter;
    filter.startScan(false);
    EXPECT_TRUE(filter.admit("A", true));
    filter.startScan(false);
    EXPECT_TRUE(filter.admit("A", true));
}

TEST(ScanReportFilter, PassesEveryReportWhenDuplicatesAreAllowed)
{
    ScanReportFilter filter;
    filter.startScan(true);
    EXPECT_TRUE(filter.admit("A", false));
    EXPECT_TRUE(filter.admit("A", false));
    EXPECT_TRUE(filter.admit("A", true));
}

TEST(DeviceName, BlueZsAddressAliasIsNoName)
{
    EXPECT_EQ(qtble::deviceName(device("E8:10:00:00:0A:0B", "E8-10-00-00-0A-0B")), std::nullopt);
    EXPECT_EQ(qtble::deviceName(device("E8:10:00:00:0A:0B", "e8-10-00-00-0a-0b")), std::nullopt);
    EXPECT_EQ(qtble::deviceName(device("E8:10:00:00:0A:0B", "")), std::nullopt);
}

TEST(DeviceName, KeepsARealNameEvenWhenItLooksLikeAnAddress)
{
    EXPECT_EQ(qtble::deviceName(device("E8:10:00:00:0A:0B", "TH-Meter")), "TH-Meter");
    EXPECT_EQ(qtble::deviceName(device("E8:10:00:00:0A:0B", "E8-10-00-00-0A-0C")), "E8-10-00-00-0A-0C");
    EXPECT_EQ(qtble::deviceName(device("E8:10:00:00:0A:0B", "Caf\u00e9 \u2103")), "Caf\u00e9 \u2103");
}

TEST(DeviceIdentity, IsTheAddressOrElseThePlatformsDeviceUuid)
{
    EXPECT_EQ(qtble::deviceIdentity(device("e8:10:00:00:0a:0b", "M")), "E8:10:00:00:0A:0B");

    const QBluetoothDeviceInfo hidden(QBluetoothUuid(QUuid("{6f1c0a52-3b8e-4c51-9d4a-0b2f7c9e1d33}")),
                                      QStringLiteral("M"), 0);
    EXPECT_EQ(qtble::deviceIdentity(hidden), "6F1C0A52-3B8E-4C51-9D4A-0B2F7C9E1D33");
}

TEST(AdvertisementData, RendersNameServicesAndManufacturerData)
{
    QBluetoothDeviceInfo meter = device("E8:10:00:00:0A:0B", "TH-Meter");
    meter.setServiceUuids(
        {QBluetoothUuid(quint16(0xFFF0)), QBluetoothUuid(QUuid("{6e400001-b5a3-f393-e0a9-e50e24dcca9e}"))});
    meter.setManufacturerData(0x004C, QByteArray::fromHex("0215ab"));

    const auto data = qtble::advertisementData(meter, std::string("TH-Meter"));
    EXPECT_EQ(data.at("kCBAdvDataLocalName"), "TH-Meter");
    EXPECT_EQ(data.at("kCBAdvDataServiceUUIDs"), "FFF0, 6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
    EXPECT_EQ(data.at("kCBAdvDataManufacturerData"), "004C: 0215AB");
    EXPECT_FALSE(data.contains("kCBAdvDataServiceData"));
}

TEST(AdvertisementData, LeavesOutTheNameOfANamelessDevice)
{
    const auto data =
        qtble::advertisementData(device("E8:10:00:00:0A:0B", "E8-10-00-00-0A-0B"), std::nullopt);
    EXPECT_TRUE(data.empty());
}

TEST(Uuid, ShortUuidsKeepTheirShortForm)
{
    const auto uuid = qtble::toUuid(QBluetoothUuid(quint16(0xFF02)));
    EXPECT_EQ(uuid, ble::Uuid::fromShort(0xFF02));
    EXPECT_EQ(uuid.uuidString(), "FF02");
    EXPECT_EQ(qtble::toUuid(QBluetoothUuid(QUuid("{6e400001-b5a3-f393-e0a9-e50e24dcca9e}"))).uuidString(),
              "6E400001-B5A3-F393-E0A9-E50E24DCCA9E");
}

} // namespace
