// What the simulated radio can see: the adapter's state, the peripherals in
// range with their advertising reports and GATT tables, and how long each
// kind of radio exchange takes. Tests build their own worlds; the demo uses
// defaultWorld().
#pragma once

#include "app/ble.h"
#include "simulated_radio/scheduler.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace simradio {

struct CharacteristicDescription {
    ble::Uuid uuid;
    std::uint32_t properties = 0;
    // Notifications need the client characteristic configuration descriptor.
    bool hasClientConfiguration = false;
    // What a read returns.
    std::optional<ble::Bytes> value;
};

struct ServiceDescription {
    ble::Uuid uuid;
    std::vector<CharacteristicDescription> characteristics;
};

// One advertising report as the scanner receives it.
struct AdvertisingReport {
    std::optional<std::string> localName;
    int rssi = -60;
};

// A slowly drifting reading: a random walk pulled back towards the centre of
// its range and never leaving it.
struct Drift {
    double start = 0.0;
    double minimum = 0.0;
    double maximum = 0.0;
    // Largest change between two readings of the kind.
    double largestStep = 0.0;
};

// A thermo-hygrometer: while its notify characteristic notifies, each
// measurement request written to its request characteristic is answered by
// one measurement frame, temperature and humidity in turn.
struct MeterDescription {
    ble::Uuid requestCharacteristic = ble::Uuid::fromShort(0xFF01);
    ble::Uuid measurementCharacteristic = ble::Uuid::fromShort(0xFF02);
    Drift temperature{22.4, 18.0, 26.0, 0.2};
    Drift humidity{47.0, 35.0, 65.0, 0.6};
    std::uint32_t seed = 1;
};

struct PeripheralDescription {
    // The device's stable identity, such as its address.
    std::string identifier;
    // Each scan delivers these reports once each, in order: the first after
    // firstReportAfter, each further one reportInterval later.
    std::vector<AdvertisingReport> reports;
    Duration firstReportAfter{150};
    Duration reportInterval{400};
    bool connectable = true;
    std::vector<ServiceDescription> services;
    std::optional<MeterDescription> meter;
};

// How long the radio takes, from a request to the callback that answers it.
struct RadioTiming {
    Duration stateReport{20};
    Duration connection{150};
    Duration serviceDiscovery{60};
    Duration characteristicDiscovery{40};
    Duration notificationState{30};
    Duration read{25};
    Duration meterAnswer{8};
    Duration disconnection{40};
};

struct SimulatedWorld {
    int radioState = ble::managerState::poweredOn;
    RadioTiming timing;
    std::vector<PeripheralDescription> peripherals;
};

// A meter with the vendor service (request and measurement characteristics),
// a Device Information service and a Battery service at 87 %, advertising its
// name at one strength.
PeripheralDescription meterPeripheral(std::string identifier, std::string name, int rssi);

// A device that advertises and can be connected but offers nothing the
// application uses.
PeripheralDescription plainPeripheral(std::string identifier, std::vector<AdvertisingReport> reports);

// A meter called "SIM Thermo-Hygrometer" near -58 dBm among neighbours that
// show the listing rules: a named one at -70 dBm, an unnamed one, one at
// exactly -100 dBm, one at -99 dBm and one that is named only in its second report.
SimulatedWorld defaultWorld();

} // namespace simradio
