// Dew point and absolute humidity of moist air from its temperature and
// relative humidity, by the Magnus formula with Sonntag's (1990) constants
// over water: b = 17.62, c = 243.12 °C, valid from -45 to 60 °C.
#pragma once

#include <optional>

namespace moistair {

inline constexpr double lowestCelsius = -45.0;
inline constexpr double highestCelsius = 60.0;

// In °C; none outside the formula's range, for a relative humidity outside
// (0, 100] % or for a value that is not a finite number.
std::optional<double> dewPoint(double celsius, double relativeHumidity);
// In g/m³; none where dewPoint gives none.
std::optional<double> absoluteHumidity(double celsius, double relativeHumidity);

} // namespace moistair
