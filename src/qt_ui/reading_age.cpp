#include "qt_ui/reading_age.h"

#include "qt_ui/controls.h"

#include <QApplication>
#include <QPalette>

namespace qtui {

QString ageText(Clock::duration age)
{
    const auto seconds = std::chrono::duration_cast<std::chrono::seconds>(age).count();
    if (seconds < 120)
        return QObject::tr("updated %1 s ago").arg(seconds);
    return QObject::tr("updated %1 min ago").arg(seconds / 60);
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
    for (QLineEdit* field : {reading_.data(), age_.data()}) {
        if (!field)
            continue;
        // Greyed as a disabled field's text, yet still focusable and readable.
        QPalette palette = field->palette();
        const QPalette standard = QApplication::palette(field);
        for (const auto group : {QPalette::Active, QPalette::Inactive})
            palette.setColor(group, QPalette::Text,
                             standard.color(stale ? QPalette::Disabled : group, QPalette::Text));
        field->setPalette(palette);
    }
}

} // namespace qtui
