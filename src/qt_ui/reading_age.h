// How old the latest reading of one kind is, shown beside it as "updated
// N s ago". Once no reading of the kind came for three poll periods the
// reading looks stale: greyed, its value and age still readable.
#pragma once

#include "app/view_controller.h"

#include <QLineEdit>
#include <QPointer>
#include <QString>

#include <chrono>
#include <optional>

namespace qtui {

using Clock = std::chrono::steady_clock;

// "5 s", in minutes from two minutes on.
QString elapsedText(Clock::duration elapsed);
// "updated 5 s ago".
QString ageText(Clock::duration age);
// Greyed as a disabled field's text, yet still focusable and readable.
void showGreyed(QLineEdit& field, bool greyed);

class ReadingAge {
public:
    static constexpr auto staleAfter = std::chrono::duration_cast<Clock::duration>(
        std::chrono::duration<double>(3 * ViewController::pollInterval));

    ReadingAge() = default;
    ReadingAge(QLineEdit* reading, QLineEdit* age) : reading_(reading), age_(age) {}

    void readingArrived(Clock::time_point at) { arrival_ = at; }
    // Shows the age at that moment; nothing before the first reading.
    void show(Clock::time_point now);
    bool isStale() const { return stale_; }
    bool hasReading() const { return arrival_.has_value(); }

private:
    void setStale(bool stale);

    QPointer<QLineEdit> reading_;
    QPointer<QLineEdit> age_;
    std::optional<Clock::time_point> arrival_;
    bool stale_ = false;
};

} // namespace qtui
