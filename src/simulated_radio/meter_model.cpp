#include "simulated_radio/meter_model.h"

#include "protocol/frame.h"

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <numeric>
#include <utility>

namespace simradio {

std::string readingText(double value)
{
    double tenths = std::round(std::clamp(value, -9.9, 99.9) * 10.0) / 10.0;
    // A value that rounds to zero from below would print as "-0.0".
    if (tenths == 0.0)
        tenths = 0.0;
    char text[8];
    std::snprintf(text, sizeof text, "%4.1f", tenths);
    return text;
}

ble::Bytes measurementFrame(char kind, std::string_view reading)
{
    // Status digits everywhere the layout below does not say otherwise.
    ble::Bytes frame(protocol::frameLength, '0');
    frame[0] = 0x02;
    frame[1] = 'T';
    frame[2] = 'H';
    frame[3] = '1';
    frame[protocol::kindOffset] = static_cast<std::uint8_t>(kind);
    frame[6] = '1';
    std::copy_n(reading.begin(), std::min(reading.size(), protocol::valueLength),
                frame.begin() + protocol::valueOffset);
    frame[16] = std::accumulate(frame.begin() + 1, frame.begin() + 16, std::uint8_t{0},
                                [](std::uint8_t sum, std::uint8_t byte) { return sum ^ byte; });
    frame[17] = 0x0D;
    frame[18] = 0x03;
    return frame;
}

MeterModel::MeterModel(const MeterDescription& description)
    : description_(description), random_(description.seed), temperature_(description.temperature.start),
      humidity_(description.humidity.start)
{
}

double MeterModel::step(double value, const Drift& drift)
{
    std::uniform_real_distribution<double> change(-drift.largestStep, drift.largestStep);
    const double centre = (drift.minimum + drift.maximum) / 2.0;
    const double halfRange = (drift.maximum - drift.minimum) / 2.0;
    // The further from the centre, the more the walk leans back towards it.
    const double pull = halfRange > 0.0 ? (centre - value) / halfRange * drift.largestStep / 2.0 : 0.0;
    const double next = value + std::clamp(change(random_) + pull, -drift.largestStep, drift.largestStep);
    return std::clamp(next, drift.minimum, drift.maximum);
}

ble::Bytes MeterModel::nextFrame()
{
    const bool temperature = std::exchange(temperatureNext_, !temperatureNext_);
    if (temperature) {
        temperature_ = step(temperature_, description_.temperature);
        return measurementFrame(temperatureKind, readingText(temperature_));
    }
    humidity_ = step(humidity_, description_.humidity);
    return measurementFrame(humidityKind, readingText(humidity_));
}

} // namespace simradio
