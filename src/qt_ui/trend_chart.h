// A small chart of this session's temperature and humidity, each with its
// latest value, minimum and maximum. Kept in memory only: the last
// `capacity` readings of each kind, the minimum and maximum over the session.
// Its accessible description says the same in words.
#pragma once

#include "protocol/frame.h"

#include <QColor>
#include <QPointF>
#include <QStaticText>
#include <QString>
#include <QWidget>

#include <array>
#include <chrono>
#include <deque>
#include <optional>
#include <string_view>
#include <vector>

namespace qtui {

// The number a reading field shows before its unit suffix; none when the
// text is not a finite decimal number.
std::optional<double> readingValue(std::string_view displayText, std::string_view suffix);

// The points of a line in widget coordinates, at most four a pixel column
// (its first, highest, lowest and last, without repeats): the line looks the
// same, and a paint costs no more after hours of readings than after minutes.
std::vector<QPointF> thinnedToColumns(const std::vector<QPointF>& points);

class TrendChart : public QWidget {
    Q_OBJECT

public:
    // Four hours at one reading of a kind per poll period of 2 s.
    static constexpr std::size_t capacity = 7200;

    explicit TrendChart(QWidget* parent = nullptr);

    void addReading(protocol::ReadingKind kind, double value, std::chrono::steady_clock::time_point at);
    // Latest, minimum and maximum of each kind, for screen readers.
    QString summary() const;

    QSize sizeHint() const override { return {280, 150}; }

protected:
    void paintEvent(QPaintEvent* event) override;

private:
    struct Trace {
        QString title;
        QString unit;
        QColor colour;
        // Seconds since the session's first reading, and the value.
        std::deque<QPointF> points{};
        double minimum = 0.0;
        double maximum = 0.0;
        // Laid out once per change of its words, not at every paint.
        QStaticText caption{};
    };

    QString traceSummary(const Trace& trace) const;
    static void updateCaption(Trace& trace);
    void paintTrace(QPainter& painter, const Trace& trace, const QRectF& area, double firstSecond,
                    double lastSecond) const;

    std::array<Trace, 2> traces_;
    std::optional<std::chrono::steady_clock::time_point> start_;
};

} // namespace qtui
