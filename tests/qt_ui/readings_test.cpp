// What the window works out from the readings on its own: dew point and absolute humidity, the CSV of
// Copy readings, and the trend's lines, scale and time axis.
#include "qt_ui/moist_air.h"
#include "qt_ui/session_readings.h"
#include "qt_ui/trend_chart.h"

#include <QScreen>
#include <QTest>
#include <QTimeZone>

#include <gtest/gtest.h>

#include <cmath>
#include <functional>
#include <limits>

namespace qtui {
namespace {

using namespace std::chrono_literals;

TEST(MoistAir, MatchesPublishedValuesAndGivesNothingOutsideItsRange)
{
    struct Row {
        double celsius, relativeHumidity;
        std::optional<double> dewPoint, absoluteHumidity;
    };
    const double nan = std::numeric_limits<double>::quiet_NaN();
    const Row rows[] = {{20, 50, 9.3, 8.6},     {0, 50, -9.2, 2.4},    {-10, 80, -12.8, 1.9},
                        {35, 90, 33.1, 35.5},   {25, 100, 25.0, 23.0}, {-45, 50, -51.2, 0.1},
                        {60, 100, 60.0, 130.0}, {-45.1, 50, {}, {}},   {60.1, 50, {}, {}},
                        {20, 0, {}, {}},        {20, 100.1, {}, {}},   {20, -5, {}, {}},
                        {nan, 50, {}, {}},      {20, nan, {}, {}},     {INFINITY, 50, {}, {}}};
    for (const auto& row : rows) {
        SCOPED_TRACE(testing::Message() << row.celsius << " °C, " << row.relativeHumidity << " %RH");
        const auto dewPoint = moistair::dewPoint(row.celsius, row.relativeHumidity);
        const auto absolute = moistair::absoluteHumidity(row.celsius, row.relativeHumidity);
        ASSERT_EQ(dewPoint.has_value(), row.dewPoint.has_value());
        ASSERT_EQ(absolute.has_value(), row.absoluteHumidity.has_value());
        if (dewPoint) {
            EXPECT_NEAR(*dewPoint, *row.dewPoint, 0.05);
            EXPECT_NEAR(*absolute, *row.absoluteHumidity, 0.05);
        }
    }
}

TEST(SessionReadings, CopiesCsvThatASpreadsheetReadsAsTextNeverAsAFormula)
{
    const std::pair<QString, QString> fields[] = {
        {"23.5", "23.5"},
        {" 9.8", "\" 9.8\""},
        {"-5.2", "\"'-5.2\""},
        {"=HYPERLINK(\"x\")", "\"'=HYPERLINK(\"\"x\"\")\""},
        {"+1", "\"'+1\""},
        {"@SUM(A1)", "\"'@SUM(A1)\""},
        {"\tx", "\"'\tx\""},
        {"a,b", "\"a,b\""},
        {"a\nb", "\"a\nb\""},
        {"a\rb", "\"a\rb\""},
        {QString::fromUtf8("1\0002", 3), QString::fromUtf8("1\uFFFD2")},
        {"", ""},
    };
    for (const auto& [text, field] : fields)
        EXPECT_EQ(csvField(text), field) << text.toStdString();

    const QDateTime at(QDate(2026, 5, 4), QTime(13, 2, 10, 250), QTimeZone(2 * 3600));
    EXPECT_EQ(isoLocalTime(at), "2026-05-04T13:02:10.250+02:00");
    EXPECT_EQ(isoLocalTime(at.toOffsetFromUtc(-(3 * 3600 + 30 * 60))), "2026-05-04T07:32:10.250-03:30");
    EXPECT_EQ(isoLocalTime(at.toOffsetFromUtc(0)), "2026-05-04T11:02:10.250+00:00");

    SessionReadings readings;
    readings.add(at, protocol::ReadingKind::temperature, "23.5", 23.5);
    readings.add(at.toOffsetFromUtc(0).addSecs(1), protocol::ReadingKind::humidity, "error", std::nullopt);
    EXPECT_EQ(readings.csv(), "time,kind,text,value\r\n"
                              "2026-05-04T13:02:10.250+02:00,temperature,23.5,23.5\r\n"
                              "2026-05-04T11:02:11.250+00:00,humidity,error,\r\n");
    for (std::size_t more = 0; more < SessionReadings::capacity; ++more)
        readings.add(at, protocol::ReadingKind::humidity, "1", 1.0);
    EXPECT_FALSE(readings.csv().contains("23.5")) << "the oldest reading gives way";
    EXPECT_EQ(readings.csv().count("\r\n"), static_cast<qsizetype>(SessionReadings::capacity) + 1);
}

TEST(TrendChart, TracksEachLinesMinimumAndMaximumKeepsTheNewestPointsAndScalesToWhatItShows)
{
    const std::pair<std::vector<double>, std::pair<double, double>> ranges[] = {
        {{1, 2, 3}, {1, 3}},
        {{21.0, 21.1, 99.9, 21.2, 21.1}, {21.0, 21.2}}, // one odd reading
        {{21.0, 21.0, 25.0, 25.0}, {21.0, 25.0}},       // a change that lasts
        {{21.0, 21.1, 30.0}, {21.0, 30.0}},             // the newest, not yet known odd
        {{30.0, 21.0, 21.1}, {21.1, 30.0}},             // the oldest, with one neighbour
        {{4}, {4, 4}}};
    for (const auto& [values, range] : ranges) {
        ShownRange shown;
        for (const double value : values)
            shown.add(value);
        EXPECT_EQ(shown.range(), range) << values.size();
    }

    TrendChart chart;
    const auto start = std::chrono::steady_clock::now();
    const auto add = [&](TrendLine line, double value, std::chrono::seconds after) {
        return [&chart, line, value, at = start + after] {
            chart.addPoints(std::array{TrendPoint{line, value}}, at);
        };
    };
    const auto fill = [&] {
        for (const double lasting : {60.0, 60.0})
            chart.addPoints(std::array{TrendPoint{TrendLine::humidity, lasting}}, start + 8s);
        for (std::size_t point = 0; point < TrendChart::capacity; ++point)
            chart.addPoints(std::array{TrendPoint{TrendLine::humidity, 50.0}}, start + 10s);
        chart.addPoints(std::array{TrendPoint{TrendLine::humidity, 51.0}}, start + 12s);
    };
    // Each step, a line of the summary, and the end of the time axis: "now", or seconds after its start.
    const std::tuple<std::function<void()>, QString, std::optional<int>> steps[] = {
        {add(TrendLine::temperature, 21.5, 0s),
         "Temperature: latest 21.5 \u02DAC, minimum 21.5 \u02DAC, maximum 21.5 \u02DAC",
         {}},
        {add(TrendLine::temperature, 19.5, 2s),
         "Temperature: latest 19.5 \u02DAC, minimum 19.5 \u02DAC, maximum 21.5 \u02DAC",
         {}},
        {add(TrendLine::temperature, 20.5, 4s),
         "Temperature: latest 20.5 \u02DAC, minimum 19.5 \u02DAC, maximum 21.5 \u02DAC",
         {}},
        {add(TrendLine::dewPoint, 9.3, 4s),
         "Dew point: latest 9.3 \u02DAC, minimum 9.3 \u02DAC, maximum 9.3 \u02DAC",
         {}},
        {[&] { chart.setLive(false); }, "Absolute humidity: no readings yet", 4},
        {fill, "Humidity: latest 51 %RH, minimum 50 %RH, maximum 60 %RH", {}},
    };
    for (const auto& [step, line, end] : steps) {
        step();
        EXPECT_TRUE(chart.summary().split("; ").contains(line)) << chart.summary().toStdString();
        const auto [first, last] = chart.axisTexts();
        EXPECT_EQ(last, end ? QTime::fromString(first).addSecs(*end).toString("HH:mm:ss") : "now")
            << line.toStdString();
    }
    EXPECT_LE(chart.pointCount(TrendLine::humidity), TrendChart::capacity) << "the oldest gone";
    EXPECT_GE(chart.pointCount(TrendLine::humidity), TrendChart::capacity * 7 / 8) << "the newest kept";
    EXPECT_EQ(chart.scale(TrendLine::humidity), std::pair(50.0, 51.0)) << "of the points kept";
}

// What a trend was given, to give it again to a new one.
struct TrendSession {
    std::vector<std::pair<std::vector<TrendPoint>, std::chrono::steady_clock::time_point>> points;
    QSize size{300, 260};
    QPalette palette;
    bool live = true;

    void add(TrendChart& chart, std::vector<TrendPoint> added, std::chrono::steady_clock::time_point at)
    {
        chart.addPoints(added, at);
        points.emplace_back(std::move(added), at);
        live = true;
    }
    // The picture a new trend draws of it all at once.
    QImage drawnAfresh() const
    {
        TrendChart chart;
        chart.resize(size);
        chart.setPalette(palette);
        for (const auto& [added, at] : points)
            chart.addPoints(added, at);
        chart.showNewPoints();
        chart.setLive(live);
        return chart.grab().toImage().convertToFormat(QImage::Format_RGB32);
    }
};

TEST(TrendChart, WhatItShowsAfterEachChangeIsWhatItWouldDrawAfresh)
{
    TrendChart chart;
    TrendSession session;
    chart.resize(session.size);
    chart.show();
    ASSERT_TRUE(QTest::qWaitForWindowExposed(&chart));
    // Far from a whole second of the clock, so that both trends write the same start time.
    const auto start = std::chrono::steady_clock::now() -
                       std::chrono::milliseconds((QTime::currentTime().msec() + 500) % 1000) - 1h;
    auto at = start;
    const auto poll = [&](double celsius, double humidity) {
        session.add(chart, {{TrendLine::temperature, celsius}, {TrendLine::dewPoint, celsius - 10}}, at);
        session.add(chart, {{TrendLine::humidity, humidity}}, at + 20ms);
        chart.showNewPoints();
        at += 2s;
    };
    const auto polls = [&](int count) {
        return [&, count] {
            for (int at = 0; at < count; ++at) {
                poll(21.0 + at % 3 * 0.1, 50.0 + at % 2);
                QCoreApplication::processEvents();
            }
        };
    };
    QPalette dark;
    dark.setColor(QPalette::Base, QColor(30, 30, 30));
    dark.setColor(QPalette::Text, QColor(230, 230, 230));
    // Each change, after the trend's picture of the earlier ones.
    const std::pair<const char*, std::function<void()>> steps[] = {
        {"polls", polls(40)},
        {"a poll soon after", [&] { at -= 1500ms, poll(21.1, 50.5); }},
        {"more temperatures in the newest pixel column",
         [&] {
             for (const double celsius : {21.2, 21.0, 21.1}) {
                 session.add(chart, {{TrendLine::temperature, celsius}}, at - 2s + 100ms);
                 chart.showNewPoints();
                 QCoreApplication::processEvents();
             }
         }},
        {"a new highest temperature", [&] { poll(30.0, 50.0); }},
        {"the highest temperature again", [&] { poll(30.0, 50.5); }},
        {"a larger window",
         [&] {
             chart.resize(session.size = {340, 300});
         }},
        {"another palette", [&] { chart.setPalette(session.palette = dark); }},
        {"no more readings", [&] { chart.setLive(session.live = false); }},
        {"readings again", polls(3)},
        {"the oldest humidities dropped",
         [&] {
             for (std::size_t more = 0; more < TrendChart::capacity; ++more)
                 session.add(chart, {{TrendLine::humidity, 50.0 + static_cast<double>(more % 2)}}, at);
             chart.showNewPoints();
         }},
    };
    for (const auto& [change, step] : steps) {
        step();
        QImage shown;
        // Painted in the window, as a screen shows it, with only what changed painted anew.
        EXPECT_TRUE(QTest::qWaitFor([&] {
            shown = chart.screen()->grabWindow(chart.winId()).toImage().convertToFormat(QImage::Format_RGB32);
            return shown == session.drawnAfresh();
        })) << change;
    }
}

} // namespace
} // namespace qtui
