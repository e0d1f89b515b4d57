#include "qt_ui/trend_chart.h"

#include <QByteArray>
#include <QPainter>
#include <QPainterPath>

#include <algorithm>
#include <cmath>
#include <limits>

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

TrendChart::TrendChart(QWidget* parent) : QWidget(parent)
{
    traces_[0] = {.title = tr("Temperature"),
                  .unit = QString::fromUtf8(protocol::temperatureSuffix).trimmed(),
                  .colour = QColor(200, 70, 40)};
    traces_[1] = {.title = tr("Humidity"),
                  .unit = QString::fromUtf8(protocol::humiditySuffix).trimmed(),
                  .colour = QColor(40, 110, 200)};
    for (auto& trace : traces_) {
        trace.caption.setTextFormat(Qt::PlainText);
        updateCaption(trace);
    }
    setAccessibleName(tr("Trend"));
    setAccessibleDescription(summary());
    // Reached with Tab, so that a screen reader announces the summary.
    setFocusPolicy(Qt::TabFocus);
    setMinimumHeight(120);
    // It paints every pixel of itself: nothing behind it needs painting first.
    setAttribute(Qt::WA_OpaquePaintEvent);
}

void TrendChart::addReading(protocol::ReadingKind kind, double value,
                            std::chrono::steady_clock::time_point at)
{
    if (!start_)
        start_ = at;
    auto& trace = traces_[kind == protocol::ReadingKind::temperature ? 0 : 1];
    if (trace.points.empty()) {
        trace.minimum = trace.maximum = value;
    } else {
        trace.minimum = std::min(trace.minimum, value);
        trace.maximum = std::max(trace.maximum, value);
    }
    trace.points.emplace_back(std::chrono::duration<double>(at - *start_).count(), value);
    if (trace.points.size() > capacity)
        trace.points.pop_front();
    updateCaption(trace);
    // A screen reader hears of a new description only when the words changed.
    if (const auto text = summary(); text != accessibleDescription()) {
        setAccessibleDescription(text);
        setToolTip(text);
    }
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
    return traceSummary(traces_[0]) + QStringLiteral("; ") + traceSummary(traces_[1]);
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
    painter.setRenderHint(QPainter::Antialiasing);

    // The time axis spans the kept readings of both kinds.
    double first = std::numeric_limits<double>::infinity();
    double last = 0.0;
    for (const auto& trace : traces_)
        if (!trace.points.empty()) {
            first = std::min(first, trace.points.front().x());
            last = std::max(last, trace.points.back().x());
        }
    const QRectF inner = QRectF(rect()).adjusted(6, 4, -6, -4);
    const double half = inner.height() / 2;
    paintTrace(painter, traces_[0], QRectF(inner.left(), inner.top(), inner.width(), half), first, last);
    paintTrace(painter, traces_[1], QRectF(inner.left(), inner.top() + half, inner.width(), half), first,
               last);
}

void TrendChart::paintTrace(QPainter& painter, const Trace& trace, const QRectF& area, double firstSecond,
                            double lastSecond) const
{
    painter.setPen(palette().text().color());
    const int lineHeight = painter.fontMetrics().height();
    painter.drawStaticText(area.topLeft(), trace.caption);
    if (trace.points.size() < 2)
        return;

    const QRectF plot = area.adjusted(0, lineHeight + 6, 0, -6);
    // A flat trace is drawn through the middle.
    const double low = trace.minimum == trace.maximum ? trace.minimum - 0.5 : trace.minimum;
    const double high = trace.minimum == trace.maximum ? trace.maximum + 0.5 : trace.maximum;
    const double span = std::max(lastSecond - firstSecond, 1.0);
    std::vector<QPointF> line;
    line.reserve(trace.points.size());
    for (const auto& point : trace.points)
        line.emplace_back(plot.left() + (point.x() - firstSecond) / span * plot.width(),
                          plot.bottom() - (point.y() - low) / (high - low) * plot.height());
    line = thinnedToColumns(line);
    QPainterPath path(line.front());
    for (auto at = std::next(line.begin()); at != line.end(); ++at)
        path.lineTo(*at);
    // A thin pen: the raster engine draws it straight, where a wider one is
    // outlined and filled anew at every reading.
    painter.setPen(QPen(trace.colour, 1.0));
    painter.drawPath(path);
}

} // namespace qtui
