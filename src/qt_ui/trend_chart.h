// A small chart of this session's temperature, humidity, dew point and
// absolute humidity, each line with its latest value, minimum and maximum,
// over a time axis from its first shown point to now. Kept in memory only:
// at most the last `capacity` points of each line, the minimum and maximum
// over the session. Each line is scaled to the points it shows, an isolated odd one
// left out. Its accessible description says the same in words.
#pragma once

#include "protocol/frame.h"

#include <QColor>
#include <QDateTime>
#include <QImage>
#include <QPointF>
#include <QRect>
#include <QRegion>
#include <QStaticText>
#include <QString>
#include <QWidget>

#include <array>
#include <chrono>
#include <deque>
#include <limits>
#include <optional>
#include <span>
#include <string_view>
#include <utility>
#include <vector>

namespace qtui {

// The number a reading field shows before its unit suffix; none when the
// text is not a finite decimal number.
std::optional<double> readingValue(std::string_view displayText, std::string_view suffix);

// Walks the points of a line in widget coordinates and keeps at most four a
// pixel column (its first, highest, lowest and last, without repeats): the
// line looks the same, and drawing it costs no more after hours of readings
// than after minutes. A column's first point is final once it is taken, the
// other three once a point comes in a later column.
class ColumnWalk {
public:
    // Takes the next point and appends to `kept` the points that became final.
    void add(const QPointF& point, std::vector<QPointF>& kept);
    // The open column's points that are not final yet.
    std::vector<QPointF> pending() const;
    const std::optional<QPointF>& lastKept() const { return lastKept_; }

private:
    void keep(const QPointF& point, std::vector<QPointF>& kept);

    std::array<QPointF, 4> column_{};
    bool open_ = false;
    std::optional<QPointF> lastKept_;
};

// All the points a ColumnWalk keeps of a line.
std::vector<QPointF> thinnedToColumns(const std::vector<QPointF>& points);

// The lowest and highest value a line is scaled to: those of its points
// once each inner point is replaced by the median of it and its two
// neighbours, so that one odd reading among its neighbours does not flatten
// the rest, while a change that lasts two readings or more is kept. Kept up
// to date value by value, as a point's median is known once its next comes.
class ShownRange {
public:
    void add(double value);
    // Infinite, the lowest above the highest, before the first value.
    std::pair<double, double> range() const;

private:
    std::size_t count_ = 0;
    double before_ = 0.0;
    double newest_ = 0.0;
    // Over the values whose median is known.
    double low_ = std::numeric_limits<double>::infinity();
    double high_ = -std::numeric_limits<double>::infinity();
};

enum class TrendLine { temperature, humidity, dewPoint, absoluteHumidity };

struct TrendPoint {
    TrendLine line;
    double value;
};

class TrendChart : public QWidget {
    Q_OBJECT

public:
    // Four hours at one reading of a kind per poll period of 2 s. A full line
    // gives up its oldest eighth at once, so that its picture is drawn anew
    // once an eighth, not at every reading.
    static constexpr std::size_t capacity = 7200;

    explicit TrendChart(QWidget* parent = nullptr);

    // Points that came at the same moment, kept until showNewPoints(): a poll's
    // readings come a few milliseconds apart, and the trend is drawn and worded
    // once for them all.
    void addPoints(std::span<const TrendPoint> points, std::chrono::steady_clock::time_point at);
    // Draws the points added since the last call and words the summary anew.
    void showNewPoints();
    // The right end of the time axis is now while readings come, else the latest point's time.
    void setLive(bool live);
    // Latest, minimum and maximum of each line, for screen readers.
    QString summary() const;
    // The time axis's texts at its start and its end.
    std::pair<QString, QString> axisTexts() const;
    std::size_t pointCount(TrendLine line) const { return traces_[index(line)].points.size(); }
    // The lowest and highest value a line is drawn between.
    std::pair<double, double> scale(TrendLine line) const { return traces_[index(line)].range.range(); }

    QSize sizeHint() const override { return {280, 240}; }

protected:
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;

private:
    struct Trace {
        QString title;
        QString unit;
        QColor colour;
        // Seconds since the session's first point, and the value.
        std::deque<QPointF> points{};
        double minimum = 0.0;
        double maximum = 0.0;
        // Laid out once per change of its words, not at every paint.
        QStaticText caption{};
        ShownRange range{};
        // Points came that the picture and the words do not show yet.
        bool unshown = false;
    };

    // What the whole picture depends on besides the captions and the newest points.
    struct Layout {
        QSize size;
        qreal pixelRatio = 1.0;
        int lineHeight = 0;
        double axisStart = 0.0;
        double axisLength = 1.0;
        bool live = true;
        std::array<std::pair<double, double>, 4> ranges{};
        bool operator==(const Layout&) const = default;
    };
    // Where a line and its caption go, and its scale.
    struct Band {
        QRect caption;
        QRectF plot;
        double bottom;
        double top;
        QPointF place(const QPointF& point, const Layout& layout) const;
    };
    // What the cached picture holds of a line.
    struct DrawnLine {
        std::size_t taken = 0;
        ColumnWalk walk{};
        QString caption{};
    };
    // The picture as last drawn, the open columns left out; the newest points
    // are added to it, and it is drawn anew only when its layout changes.
    struct Picture {
        Layout layout;
        QImage image;
        std::array<DrawnLine, 4> lines{};
    };

    static std::size_t index(TrendLine line) { return static_cast<std::size_t>(line); }
    QString traceSummary(const Trace& trace) const;
    static void updateCaption(Trace& trace);
    std::pair<double, double> timeSpan() const;
    Layout currentLayout() const;
    Band band(const Layout& layout, std::size_t at) const;
    // Brings the picture up to the points and captions; returns what changed, in widget coordinates.
    QRegion catchUp(const Layout& layout);
    void drawPicture(const Layout& layout);
    QRect drawCaption(QPainter& painter, std::size_t at, const Band& band);
    QRect takeNewPoints(QPainter& painter, std::size_t at, const Band& band);
    std::vector<QPointF> pendingLine(std::size_t at) const;

    std::array<Trace, 4> traces_;
    std::optional<Picture> picture_;
    std::optional<std::chrono::steady_clock::time_point> start_;
    QDateTime startClock_;
    bool live_ = true;
};

} // namespace qtui
