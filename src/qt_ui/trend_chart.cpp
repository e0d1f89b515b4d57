#include "qt_ui/trend_chart.h"

#include <QByteArray>
#include <QPainter>

#include <algorithm>
#include <cmath>
#include <limits>
#include <vector>

namespace qtui {

std::optional<double> readingValue(std::string_view displayText, std::string_view suffix)
{
    if (!displayText.ends_with(suffix))
        return std::nullopt;
    auto number = displayText.substr(0, displayText.size() - suffix.size());
    while (!number.empty() && number.front() == ' ')
        number.remove_prefix(1);
    // Only digits and a point after an optional minus: no exponent, no plus,
    // no words. QByteArray reads them in the C locale, whatever the user's
    // decimal separator, and refuses a lone point or a second one
    // (std::from_chars for double is missing from libc++ before LLVM 20).
    const auto digits = number.substr(number.starts_with('-') ? 1 : 0);
    if (!std::ranges::all_of(digits, [](char c) { return (c >= '0' && c <= '9') || c == '.'; }))
        return std::nullopt;
    bool converted = false;
    const double value =
        QByteArray(number.data(), static_cast<qsizetype>(number.size())).toDouble(&converted);
    if (!converted || !std::isfinite(value))
        return std::nullopt;
    return value;
}

std::vector<QPointF> thinnedToColumns(const std::vector<QPointF>& points)
{
    std::vector<QPointF> kept;
    const auto keep = [&kept](const QPointF& point) {
        if (kept.empty() || kept.back() != point)
            kept.push_back(point);
    };
    // Of the pixel column being walked: its first, highest, lowest and last point.
    std::array<QPointF, 4> column;
    for (std::size_t at = 0; at < points.size(); ++at) {
        const QPointF& point = points[at];
        if (at > 0 && std::floor(point.x()) == std::floor(column[0].x())) {
            if (point.y() < column[1].y())
                column[1] = point;
            if (point.y() > column[2].y())
                column[2] = point;
            column[3] = point;
            continue;
        }
        if (at > 0)
            std::for_each(column.begin(), column.end(), keep);
        column.fill(point);
    }
    if (!points.empty())
        std::for_each(column.begin(), column.end(), keep);
    return kept;
}

std::pair<double, double> shownRange(const std::deque<QPointF>& points)
{
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    for (std::size_t at = 0; at < points.size(); ++at) {
        double value = points[at].y();
        if (at > 0 && at + 1 < points.size()) {
            // The median of the three.
            const double before = points[at - 1].y();
            const double after = points[at + 1].y();
            value = std::max(std::min(before, value), std::min(std::max(before, value), after));
        }
        low = std::min(low, value);
        high = std::max(high, value);
    }
    return {low, high};
}

TrendChart::TrendChart(QWidget* parent) : QWidget(parent)
{
    const QString celsius = QString::fromUtf8(protocol::temperatureSuffix).trimmed();
    traces_[index(TrendLine::temperature)] = {
        .title = tr("Temperature"), .unit = celsius, .colour = QColor(200, 70, 40)};
    traces_[index(TrendLine::humidity)] = {.title = tr("Humidity"),
                                           .unit = QString::fromUtf8(protocol::humiditySuffix).trimmed(),
                                           .colour = QColor(40, 110, 200)};
    traces_[index(TrendLine::dewPoint)] = {
        .title = tr("Dew point"), .unit = celsius, .colour = QColor(130, 60, 160)};
    traces_[index(TrendLine::absoluteHumidity)] = {
        .title = tr("Absolute humidity"), .unit = QStringLiteral("g/m\u00B3"), .colour = QColor(30, 140, 90)};
    for (auto& trace : traces_) {
        trace.caption.setTextFormat(Qt::PlainText);
        updateCaption(trace);
    }
    setAccessibleName(tr("Trend"));
    setAccessibleDescription(summary());
    // Reached with Tab, so that a screen reader announces the summary.
    setFocusPolicy(Qt::TabFocus);
    setMinimumHeight(200);
    // It paints every pixel of itself: nothing behind it needs painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TrendChart::addPoints(std::span<const TrendPoint> points, std::chrono::steady_clock::time_point at)
{
    if (points.empty())
        return;
    if (!start_) {
        start_ = at;
        startClock_ = QDateTime::currentDateTime().addMSecs(
            -std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now() - at)
                 .count());
    }
    const double second = std::chrono::duration<double>(at - *start_).count();
    for (const auto& [line, value] : points) {
        auto& trace = traces_[index(line)];
        if (trace.points.empty()) {
            trace.minimum = trace.maximum = value;
        } else {
            trace.minimum = std::min(trace.minimum, value);
            trace.maximum = std::max(trace.maximum, value);
        }
        trace.points.emplace_back(second, value);
        if (trace.points.size() > capacity)
            trace.points.pop_front();
        trace.range.reset();
        trace.unshown = true;
    }
    live_ = true;
}

void TrendChart::showNewPoints()
{
    if (std::ranges::none_of(traces_, &Trace::unshown))
        return;
    for (auto& trace : traces_)
        if (std::exchange(trace.unshown, false))
            updateCaption(trace);
    // A screen reader hears of a new description only when the words changed.
    if (const auto text = summary(); text != accessibleDescription()) {
        setAccessibleDescription(text);
        setToolTip(text);
    }
    update();
}

void TrendChart::setLive(bool live)
{
    if (std::exchange(live_, live) != live)
        update();
}

QString TrendChart::traceSummary(const Trace& trace) const
{
    if (trace.points.empty())
        return tr("%1: no readings yet").arg(trace.title);
    return tr("%1: latest %2 %5, minimum %3 %5, maximum %4 %5")
        .arg(trace.title, QString::number(trace.points.back().y()), QString::number(trace.minimum),
             QString::number(trace.maximum), trace.unit);
}

void TrendChart::updateCaption(Trace& trace)
{
    const QString caption = trace.points.empty()
                                ? trace.title
                                : tr("%1 %2 %3  (min %4, max %5)")
                                      .arg(trace.title, QString::number(trace.points.back().y()), trace.unit,
                                           QString::number(trace.minimum), QString::number(trace.maximum));
    if (caption != trace.caption.text())
        trace.caption.setText(caption);
}

QString TrendChart::summary() const
{
    QStringList lines;
    for (const auto& trace : traces_)
        lines << traceSummary(trace);
    return lines.join(QStringLiteral("; "));
}

std::pair<double, double> TrendChart::timeSpan() const
{
    double first = std::numeric_limits<double>::infinity();
    double last = 0.0;
    for (const auto& trace : traces_)
        if (!trace.points.empty()) {
            first = std::min(first, trace.points.front().x());
            last = std::max(last, trace.points.back().x());
        }
    return {std::isfinite(first) ? first : 0.0, last};
}

std::pair<QString, QString> TrendChart::axisTexts() const
{
    if (!start_)
        return {};
    const auto clock = [this](double second) {
        return startClock_.addMSecs(std::llround(second * 1000)).toString(QStringLiteral("HH:mm:ss"));
    };
    const auto [first, last] = timeSpan();
    return {clock(first), live_ ? tr("now") : clock(last)};
}

void TrendChart::paintEvent(QPaintEvent*)
{
    QPainter painter(this);
    // The one-pixel frame as four filled edges: filling is the raster engine's
    // fast path, where an outline is stroked.
    const QRect all = rect();
    painter.fillRect(all.adjusted(1, 1, -1, -1), palette().base());
    const QBrush frame = palette().mid();
    for (const QRect& edge :
         {QRect(all.left(), all.top(), all.width(), 1), QRect(all.left(), all.bottom(), all.width(), 1),
          QRect(all.left(), all.top() + 1, 1, all.height() - 2),
          QRect(all.right(), all.top() + 1, 1, all.height() - 2)})
        painter.fillRect(edge, frame);

    painter.setPen(palette().text().color());
    const int lineHeight = painter.fontMetrics().height();
    const QRectF inner = QRectF(rect()).adjusted(6, 4, -6, -4);
    const QRectF axis(inner.left(), inner.bottom() - lineHeight, inner.width(), lineHeight);
    const auto [startText, endText] = axisTexts();
    painter.drawText(axis, Qt::AlignLeft | Qt::AlignVCenter, startText);
    painter.drawText(axis, Qt::AlignRight | Qt::AlignVCenter, endText);

    painter.setRenderHint(QPainter::Antialiasing);
    const double band = (inner.height() - lineHeight) / static_cast<double>(traces_.size());
    const auto span = timeSpan();
    for (std::size_t at = 0; at < traces_.size(); ++at)
        paintTrace(painter, traces_[at],
                   QRectF(inner.left(), inner.top() + band * static_cast<double>(at), inner.width(), band),
                   span);
}

void TrendChart::paintTrace(QPainter& painter, Trace& trace, const QRectF& area,
                            std::pair<double, double> span) const
{
    painter.setPen(palette().text().color());
    const int lineHeight = painter.fontMetrics().height();
    painter.drawStaticText(area.topLeft(), trace.caption);
    if (trace.points.size() < 2)
        return;
    if (!trace.range)
        trace.range = shownRange(trace.points);
    const auto [low, high] = *trace.range;
    // A flat line is drawn through the middle.
    const double bottom = low == high ? low - 0.5 : low;
    const double top = low == high ? high + 0.5 : high;

    const QRectF plot = area.adjusted(0, lineHeight + 3, 0, -3);
    const double seconds = std::max(span.second - span.first, 1.0);
    std::vector<QPointF> line;
    line.reserve(trace.points.size());
    for (const auto& point : trace.points)
        // What lies outside the scale, the odd reading, is left out.
        if (point.y() >= bottom && point.y() <= top)
            line.emplace_back(plot.left() + (point.x() - span.first) / seconds * plot.width(),
                              plot.bottom() - (point.y() - bottom) / (top - bottom) * plot.height());
    if (line.size() < 2)
        return;
    line = thinnedToColumns(line);
    // A thin pen: the raster engine draws it straight, where a wider one is
    // outlined and filled anew at every reading. A polyline is stroked as the
    // same path would be, without building one.
    painter.setPen(QPen(trace.colour, 1.0));
    painter.drawPolyline(line.data(), static_cast<int>(line.size()));
}

} // namespace qtui
