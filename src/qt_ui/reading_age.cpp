#include "qt_ui/reading_age.h"

#include "qt_ui/controls.h"

#include <QApplication>
#include <QPalette>

namespace qtui {

QString elapsedText(Clock::duration elapsed)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(elapsed).count();
    if (seconds < 120)
        return QObject::tr("%1 s").arg(seconds);
    return QObject::tr("%1 min").arg(seconds / 60);
}

QString ageText(Clock::duration age)
{
    return QObject::tr("updated %1 ago").arg(elapsedText(age));
}

void showGreyed(QLineEdit& field, bool greyed)
{
    QPalette palette = field.palette();
    const QPalette standard = QApplication::palette(&field);
    for (const auto group : {QPalette::Active, QPalette::Inactive})
        palette.setColor(group, QPalette::Text,
                         standard.color(greyed ? QPalette::Disabled : group, QPalette::Text));
    field.setPalette(palette);
}

void ReadingAge::show(Clock::time_point now)
{
    if (!arrival_ || !age_)
        return;
    const auto age = now - *arrival_;
    setStale(age >= staleAfter);
    showText(*age_, stale_ ? QObject::tr("%1 (stale)").arg(ageText(age)) : ageText(age));
}

void ReadingAge::setStale(bool stale)
{
    if (stale == stale_)
        return;
    stale_ = stale;
    for (QLineEdit* field : {reading_.data(), age_.data()})
        if (field)
            showGreyed(*field, stale);
}

} // namespace qtui
