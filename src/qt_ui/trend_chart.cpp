#include "qt_ui/trend_chart.h"

#include <QByteArray>
#include <QPaintEvent>
#include <QPainter>
#include <QPolygonF>

#include <algorithm>
#include <cmath>
#include <iterator>
#include <limits>
#include <vector>

namespace qtui {
namespace {

// While readings come, the time axis ends a little after the newest point and
// grows by an eighth at a time, so that the picture stays as it is between
// steps and a reading only adds to it.
constexpr double axisGrowth = 1.125;

// A thin pen: the raster engine draws it straight, where a wider one is
// outlined and filled anew. Without caps, a line drawn in pieces has the very
// pixels of the line drawn at once.
QPen linePen(const QColor& colour)
{
    QPen pen(colour, 1.0);
    pen.setCapStyle(Qt::FlatCap);
    return pen;
}

// The pixels a line drawn through these points may touch.
QRect bounds(const std::vector<QPointF>& points)
{
    if (points.empty())
        return {};
    return QPolygonF(QList<QPointF>(points.begin(), points.end()))
        .boundingRect()
        .adjusted(-2, -2, 2, 2)
        .toAlignedRect();
}

} // namespace

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

void ColumnWalk::keep(const QPointF& point, std::vector<QPointF>& kept)
{
    if (lastKept_ != point) {
        kept.push_back(point);
        lastKept_ = point;
    }
}

void ColumnWalk::add(const QPointF& point, std::vector<QPointF>& kept)
{
    if (open_ && std::floor(point.x()) == std::floor(column_[0].x())) {
        if (point.y() < column_[1].y())
            column_[1] = point;
        if (point.y() > column_[2].y())
            column_[2] = point;
        column_[3] = point;
        return;
    }
    if (open_)
        for (std::size_t at = 1; at < column_.size(); ++at)
            keep(column_[at], kept);
    column_.fill(point);
    open_ = true;
    keep(point, kept);
}

std::vector<QPointF> ColumnWalk::pending() const
{
    std::vector<QPointF> points;
    if (!open_)
        return points;
    std::optional<QPointF> previous = lastKept_;
    for (std::size_t at = 1; at < column_.size(); ++at)
        if (previous != column_[at])
            previous = points.emplace_back(column_[at]);
    return points;
}

std::vector<QPointF> thinnedToColumns(const std::vector<QPointF>& points)
{
    ColumnWalk walk;
    std::vector<QPointF> kept;
    for (const auto& point : points)
        walk.add(point, kept);
    std::ranges::copy(walk.pending(), std::back_inserter(kept));
    return kept;
}

void ShownRange::add(double value)
{
    if (count_ > 0) {
        // The newest so far gets its median, the first point its own value.
        const double settled =
            count_ == 1 ? newest_
                        : std::max(std::min(before_, newest_), std::min(std::max(before_, newest_), value));
        low_ = std::min(low_, settled);
        high_ = std::max(high_, settled);
    }
    before_ = std::exchange(newest_, value);
    ++count_;
}

std::pair<double, double> ShownRange::range() const
{
    if (count_ == 0)
        return {low_, high_};
    return {std::min(low_, newest_), std::max(high_, newest_)};
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
        if (trace.points.size() > capacity) {
            trace.points.erase(trace.points.begin(), trace.points.begin() + capacity / 8);
            trace.range = {};
            for (const auto& kept : trace.points)
                trace.range.add(kept.y());
            picture_.reset();
        } else {
            trace.range.add(value);
        }
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
    // Only what changed, mostly the newest segments; a picture to be drawn
    // anew is drawn at the paint, out of the way of the reading that came.
    const Layout layout = currentLayout();
    update(picture_ && picture_->layout == layout ? catchUp(layout) : rect());
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

TrendChart::Layout TrendChart::currentLayout() const
{
    Layout layout{.size = size(), .pixelRatio = devicePixelRatioF(), .lineHeight = fontMetrics().height()};
    const auto [first, last] = timeSpan();
    layout.axisStart = first;
    layout.live = live_;
    layout.axisLength = std::max(last - first, 1.0);
    if (live_)
        layout.axisLength =
            std::pow(axisGrowth, std::ceil(std::log(layout.axisLength) / std::log(axisGrowth)));
    for (std::size_t at = 0; at < traces_.size(); ++at)
        if (!traces_[at].points.empty())
            layout.ranges[at] = traces_[at].range.range();
    return layout;
}

TrendChart::Band TrendChart::band(const Layout& layout, std::size_t at) const
{
    const QRect inner = QRect(QPoint(), layout.size).adjusted(6, 4, -6, -4);
    const double height = (inner.height() - layout.lineHeight) / static_cast<double>(traces_.size());
    const int top = inner.top() + static_cast<int>(std::lround(height * static_cast<double>(at)));
    const auto [low, high] = layout.ranges[at];
    // A flat line is drawn through the middle.
    return {.caption = QRect(inner.left(), top, inner.width(), layout.lineHeight),
            .plot = QRectF(inner.left(), top + layout.lineHeight + 3, inner.width(),
                           height - layout.lineHeight - 6),
            .bottom = low == high ? low - 0.5 : low,
            .top = low == high ? high + 0.5 : high};
}

QPointF TrendChart::Band::place(const QPointF& point, const Layout& layout) const
{
    return {plot.left() + (point.x() - layout.axisStart) / layout.axisLength * plot.width(),
            plot.bottom() - (point.y() - bottom) / (top - bottom) * plot.height()};
}

QRegion TrendChart::catchUp(const Layout& layout)
{
    if (!picture_ || picture_->layout != layout) {
        drawPicture(layout);
        return rect();
    }
    QPainter painter(&picture_->image);
    QRegion changed;
    for (std::size_t at = 0; at < traces_.size(); ++at) {
        const Band where = band(layout, at);
        if (traces_[at].caption.text() != picture_->lines[at].caption)
            changed += drawCaption(painter, at, where);
        changed += takeNewPoints(painter, at, where);
    }
    return changed;
}

void TrendChart::drawPicture(const Layout& layout)
{
    picture_.emplace(Picture{.layout = layout,
                             .image = QImage((QSizeF(layout.size) * layout.pixelRatio).toSize(),
                                             QImage::Format_ARGB32_Premultiplied)});
    QImage& image = picture_->image;
    image.setDevicePixelRatio(layout.pixelRatio);
    QPainter painter(&image);
    painter.setFont(font());
    // The one-pixel frame as four filled edges: filling is the raster engine's
    // fast path, where an outline is stroked.
    const QRect all(QPoint(), layout.size);
    painter.fillRect(all.adjusted(1, 1, -1, -1), palette().base());
    const QBrush frame = palette().mid();
    for (const QRect& edge :
         {QRect(all.left(), all.top(), all.width(), 1), QRect(all.left(), all.bottom(), all.width(), 1),
          QRect(all.left(), all.top() + 1, 1, all.height() - 2),
          QRect(all.right(), all.top() + 1, 1, all.height() - 2)})
        painter.fillRect(edge, frame);

    painter.setPen(palette().text().color());
    const QRectF inner = QRectF(all).adjusted(6, 4, -6, -4);
    const QRectF axis(inner.left(), inner.bottom() - layout.lineHeight, inner.width(), layout.lineHeight);
    const auto [startText, endText] = axisTexts();
    painter.drawText(axis, Qt::AlignLeft | Qt::AlignVCenter, startText);
    painter.drawText(axis, Qt::AlignRight | Qt::AlignVCenter, endText);
    for (std::size_t at = 0; at < traces_.size(); ++at) {
        const Band where = band(layout, at);
        drawCaption(painter, at, where);
        takeNewPoints(painter, at, where);
    }
}

QRect TrendChart::drawCaption(QPainter& painter, std::size_t at, const Band& band)
{
    // Within its own strip, so that a new caption is drawn over the old one alone.
    painter.save();
    painter.setClipRect(band.caption);
    painter.fillRect(band.caption, palette().base());
    painter.setPen(palette().text().color());
    painter.drawStaticText(band.caption.topLeft(), traces_[at].caption);
    painter.restore();
    picture_->lines[at].caption = traces_[at].caption.text();
    return band.caption;
}

QRect TrendChart::takeNewPoints(QPainter& painter, std::size_t at, const Band& band)
{
    const auto& points = traces_[at].points;
    auto& drawn = picture_->lines[at];
    std::vector<QPointF> line;
    if (const auto& last = drawn.walk.lastKept())
        line.push_back(*last);
    const std::size_t joined = line.size();
    const std::size_t taken = drawn.taken;
    for (; drawn.taken < points.size(); ++drawn.taken)
        // What lies outside the scale, the odd reading, is left out.
        if (const auto& point = points[drawn.taken]; point.y() >= band.bottom && point.y() <= band.top)
            drawn.walk.add(band.place(point, picture_->layout), line);
    if (drawn.taken == taken)
        return {};
    QRect changed;
    if (line.size() > joined) {
        if (line.size() > 1) {
            painter.setRenderHint(QPainter::Antialiasing);
            painter.setPen(linePen(traces_[at].colour));
            painter.drawPolyline(line.data(), static_cast<int>(line.size()));
        }
        changed = bounds(line);
    }
    // The open column's points are drawn over the picture at each paint; those
    // drawn before lie within the new ones or the line just added.
    return changed | bounds(pendingLine(at));
}

std::vector<QPointF> TrendChart::pendingLine(std::size_t at) const
{
    const auto& walk = picture_->lines[at].walk;
    auto pending = walk.pending();
    if (pending.empty() || !walk.lastKept())
        return {};
    pending.insert(pending.begin(), *walk.lastKept());
    return pending;
}

void TrendChart::paintEvent(QPaintEvent* event)
{
    // What changed outside this paint's region is painted with the next one.
    if (const QRegion rest = catchUp(currentLayout()) - event->region(); !rest.isEmpty())
        update(rest);
    QPainter painter(this);
    painter.drawImage(QPoint(), picture_->image);
    painter.setRenderHint(QPainter::Antialiasing);
    for (std::size_t at = 0; at < traces_.size(); ++at)
        if (const auto pending = pendingLine(at); !pending.empty()) {
            painter.setPen(linePen(traces_[at].colour));
            painter.drawPolyline(pending.data(), static_cast<int>(pending.size()));
        }
}

void TrendChart::changeEvent(QEvent* event)
{
    if (event->type() == QEvent::PaletteChange || event->type() == QEvent::FontChange ||
        event->type() == QEvent::StyleChange)
        picture_.reset();
    QWidget::changeEvent(event);
}

} // namespace qtui
