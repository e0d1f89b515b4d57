#include "qt_ui/derived_readings.h"

#include "qt_ui/controls.h"
#include "qt_ui/moist_air.h"
#include "qt_ui/reading_age.h"

#include <cmath>

namespace qtui {

QString oneDecimal(double value)
{
    // Rounded first: -0.04 would read "-0.0", where a rounded -0.0 reads "0.0".
    return QString::number(std::round(value * 10.0) / 10.0, 'f', 1);
}

DerivedReadings::DerivedReadings(QWidget* parent)
    : dewPoint_(makeValueField(QObject::tr("Dew point"), parent)),
      absoluteHumidity_(makeValueField(QObject::tr("Absolute humidity"), parent))
{
    dewPoint_->setToolTip(
        QObject::tr("From the latest temperature and humidity (Magnus formula, -45 to 60 \u02DAC)"));
    absoluteHumidity_->setToolTip(dewPoint_->toolTip());
    // Named while empty too.
    dewPoint_->setPlaceholderText(QObject::tr("Dew point --"));
    absoluteHumidity_->setPlaceholderText(QObject::tr("Absolute humidity --"));
}

std::optional<DerivedReadings::Values> DerivedReadings::show(std::optional<double> celsius,
                                                             std::optional<double> relativeHumidity)
{
    std::optional<Values> values;
    if (celsius && relativeHumidity) {
        const auto dewPoint = moistair::dewPoint(*celsius, *relativeHumidity);
        const auto absolute = moistair::absoluteHumidity(*celsius, *relativeHumidity);
        if (dewPoint && absolute)
            values = Values{*dewPoint, *absolute};
    }
    showText(*dewPoint_,
             values ? QObject::tr("Dew point %1 \u02DAC").arg(oneDecimal(values->dewPoint)) : QString());
    showText(*absoluteHumidity_,
             values ? QObject::tr("Absolute humidity %1 g/m\u00B3").arg(oneDecimal(values->absoluteHumidity))
                    : QString());
    return values;
}

void DerivedReadings::setStale(bool stale)
{
    if (stale == stale_)
        return;
    stale_ = stale;
    showGreyed(*dewPoint_, stale);
    showGreyed(*absoluteHumidity_, stale);
}

} // namespace qtui
