// The simulated meter's measurements: drifting readings and the 19-byte
// frames that carry them, temperature and humidity in turn.
#pragma once

#include "app/ble.h"
#include "simulated_radio/simulated_world.h"

#include <random>
#include <string>
#include <string_view>

namespace simradio {

// A reading as the meter spells it: four characters, one decimal, right
// aligned, such as "23.5", " 9.8" or "-5.2". Values beyond what four
// characters can hold are shown at the nearest limit (-9.9 or 99.9).
std::string readingText(double value);

// The measurement frame for a reading of four characters (a longer one is
// cut, a shorter one padded with '0'): start byte, device
// code, the kind at offset 4 ('0' temperature, '4' humidity), the channel,
// the reading text at offsets 7 to 10, a status field up to offset 15, at 16
// the XOR of bytes 1 to 15, then carriage return and end byte.
ble::Bytes measurementFrame(char kind, std::string_view reading);

class MeterModel {
public:
    static constexpr char temperatureKind = '0';
    static constexpr char humidityKind = '4';

    explicit MeterModel(const MeterDescription& description);

    // The frame answering the next measurement request; starts with a temperature.
    ble::Bytes nextFrame();

private:
    double step(double value, const Drift& drift);

    MeterDescription description_;
    std::mt19937 random_;
    double temperature_;
    double humidity_;
    bool temperatureNext_ = true;
};

} // namespace simradio
