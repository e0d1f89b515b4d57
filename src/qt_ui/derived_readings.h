// Dew point and absolute humidity of the air at the connected meter, worked
// out from its latest temperature and humidity and shown under them in two
// read-only fields. Empty unless both readings are numbers in the formula's
// range; greyed while either reading is stale.
#pragma once

#include <QLineEdit>
#include <QString>

#include <optional>

namespace qtui {

class DerivedReadings {
public:
    struct Values {
        double dewPoint;
        double absoluteHumidity;
    };

    explicit DerivedReadings(QWidget* parent);

    QLineEdit* dewPointField() const { return dewPoint_; }
    QLineEdit* absoluteHumidityField() const { return absoluteHumidity_; }

    // Shows what the latest readings give, and returns it.
    std::optional<Values> show(std::optional<double> celsius, std::optional<double> relativeHumidity);
    void setStale(bool stale);

private:
    QLineEdit* dewPoint_;
    QLineEdit* absoluteHumidity_;
    bool stale_ = false;
};

// "12.3", never "-0.0".
QString oneDecimal(double value);

} // namespace qtui
