// This session's readings, for Copy readings: CSV with a header line, a line
// a reading with its local time and offset (ISO 8601), its kind, the meter's
// text and its number, or nothing when the text is not a number. The meter's
// text is quoted where CSV needs it and cannot pass for a spreadsheet formula.
#pragma once

#include "protocol/frame.h"

#include <QDateTime>
#include <QString>

#include <deque>
#include <optional>

namespace qtui {

class SessionReadings {
public:
    // The trend's four hours of each kind.
    static constexpr std::size_t capacity = 2 * 7200;

    void add(const QDateTime& at, protocol::ReadingKind kind, const QString& text,
             std::optional<double> value);
    QString csv() const;

private:
    struct Reading {
        QDateTime at;
        protocol::ReadingKind kind;
        QString text;
        std::optional<double> value;
    };
    std::deque<Reading> readings_;
};

// One CSV field: quoted when it holds a quote, a comma, a line break or
// blanks at either end; a leading =, +, -, @, tab or carriage return gets an
// apostrophe before it, so that a spreadsheet reads text, not a formula.
QString csvField(QString text);
// "2026-05-04T13:02:10.250+02:00": local time with its offset from UTC.
QString isoLocalTime(const QDateTime& at);

} // namespace qtui
