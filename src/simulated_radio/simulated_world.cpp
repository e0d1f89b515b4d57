#include "simulated_radio/simulated_world.h"

#include <utility>

namespace simradio {
namespace {

ble::Bytes textBytes(std::string_view text)
{
    return ble::Bytes(text.begin(), text.end());
}

ServiceDescription deviceInformationService(std::string_view manufacturer, std::string_view model)
{
    return ServiceDescription{
        ble::Uuid::fromShort(0x180A),
        {
            {ble::Uuid::fromShort(0x2A29), ble::property::read, false, textBytes(manufacturer)},
            {ble::Uuid::fromShort(0x2A24), ble::property::read, false, textBytes(model)},
        },
    };
}

ServiceDescription batteryService(std::uint8_t percent)
{
    return ServiceDescription{
        ble::Uuid::fromShort(0x180F),
        {{ble::Uuid::fromShort(0x2A19), ble::property::read | ble::property::notify, true,
          ble::Bytes{percent}}},
    };
}

} // namespace

PeripheralDescription meterPeripheral(std::string identifier, std::string name, int rssi)
{
    const MeterDescription meter;
    PeripheralDescription description;
    description.identifier = std::move(identifier);
    description.reports = {AdvertisingReport{std::move(name), rssi}};
    description.services = {
        ServiceDescription{
            ble::Uuid::fromShort(0xFF00),
            {
                {meter.requestCharacteristic, ble::property::writeWithoutResponse, false, std::nullopt},
                {meter.measurementCharacteristic, ble::property::notify, true, std::nullopt},
            },
        },
        deviceInformationService("Simulated Instruments", "TH-SIM-1"),
        batteryService(87),
    };
    description.meter = meter;
    return description;
}

PeripheralDescription plainPeripheral(std::string identifier, std::vector<AdvertisingReport> reports)
{
    PeripheralDescription description;
    description.identifier = std::move(identifier);
    description.reports = std::move(reports);
    description.services = {deviceInformationService("Simulated Devices", "Neighbour")};
    return description;
}

SimulatedWorld defaultWorld()
{
    SimulatedWorld world;
    auto meter = meterPeripheral("02:00:5E:10:00:01", "SIM Thermo-Hygrometer", -58);
    meter.firstReportAfter = Duration{180};
    auto band = plainPeripheral("02:00:5E:10:00:02", {{"SIM Fitness Band", -70}});
    band.firstReportAfter = Duration{120};
    auto unnamed = plainPeripheral("02:00:5E:10:00:03", {{std::nullopt, -64}});
    unnamed.firstReportAfter = Duration{240};
    auto tooFar = plainPeripheral("02:00:5E:10:00:04", {{"SIM Distant Beacon", -100}});
    tooFar.firstReportAfter = Duration{300};
    auto edge = plainPeripheral("02:00:5E:10:00:05", {{"SIM Edge Sensor", -99}});
    edge.firstReportAfter = Duration{360};
    auto lateNamed = plainPeripheral("02:00:5E:10:00:06", {{std::nullopt, -75}, {"SIM Late Tag", -74}});
    lateNamed.firstReportAfter = Duration{200};
    world.peripherals = {std::move(meter),  std::move(band), std::move(unnamed),
                         std::move(tooFar), std::move(edge), std::move(lateNamed)};
    return world;
}

} // namespace simradio
