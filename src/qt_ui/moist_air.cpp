#include "qt_ui/moist_air.h"

#include <cmath>

namespace moistair {
namespace {

constexpr double b = 17.62;
constexpr double c = 243.12;
// Saturation vapour pressure over water at 0 °C, in hPa.
constexpr double saturationAtZero = 6.112;
// The specific gas constant of water vapour, as 100 / R_v in g·K/J: hPa to g/m³.
constexpr double vapourFactor = 216.7;

bool inRange(double celsius, double relativeHumidity)
{
    return std::isfinite(celsius) && std::isfinite(relativeHumidity) && celsius >= lowestCelsius &&
           celsius <= highestCelsius && relativeHumidity > 0.0 && relativeHumidity <= 100.0;
}

// ln(RH) + b·T / (c + T): the exponent of the vapour pressure over the one at 0 °C.
double gamma(double celsius, double relativeHumidity)
{
    return std::log(relativeHumidity / 100.0) + b * celsius / (c + celsius);
}

} // namespace

std::optional<double> dewPoint(double celsius, double relativeHumidity)
{
    if (!inRange(celsius, relativeHumidity))
        return std::nullopt;
    const double g = gamma(celsius, relativeHumidity);
    return c * g / (b - g);
}

std::optional<double> absoluteHumidity(double celsius, double relativeHumidity)
{
    if (!inRange(celsius, relativeHumidity))
        return std::nullopt;
    const double vapourPressure = saturationAtZero * std::exp(gamma(celsius, relativeHumidity));
    return vapourFactor * vapourPressure / (273.15 + celsius);
}

} // namespace moistair
