// The real window over the simulated radio on a virtual clock (the poll on real Qt timers), driven by
// mouse, keyboard and screen reader: status line, reading ages, trend, log pane; the application entry.
#include "qt_ui/application.h"
#include "qt_ui/file_log_sink.h"
#include "qt_ui/log_pane.h"
#include "qt_ui/main_window.h"
#include "qt_ui/trend_chart.h"
#include "simulated_radio/qt_scheduler.h"
#include "simulated_radio/scheduler_run_loop.h"
#include "simulated_radio/simulated_central_manager.h"
#include "simulated_radio/virtual_clock.h"

#include "fake_platform.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPointer>
#include <QPushButton>
#include <QScrollBar>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTextBlock>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

namespace qtui {
namespace {

using namespace std::chrono_literals;

const QString meter = QStringLiteral("SIM Thermo-Hygrometer");
const std::string meterId = "02:00:5E:10:00:01";

QString accessibleText(QWidget* widget, QAccessible::Text kind)
{
    return QAccessible::queryAccessibleInterface(widget)->text(kind);
}

class WindowTest : public ::testing::Test {
protected:
    enum class Poll { onQtTimers, onRadioClock };
    explicit WindowTest(Poll poll = Poll::onQtTimers) : poll_(poll) {}

    void SetUp() override
    {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        clock->advanceBy(simradio::Duration{100});
    }
    // The radio's time runs on while the real timers (the poll) get their turn.
    bool advanceUntil(const std::function<bool()>& done) const
    {
        return QTest::qWaitFor([&] { return clock->advanceBy(simradio::Duration{200}), done(); }, 10'000);
    }
    bool showsStatus(const QString& text) const
    {
        const bool shown = advanceUntil([&] { return status() == text; });
        EXPECT_TRUE(shown) << "expected: " << text.toStdString() << "\nshown: " << status().toStdString();
        return shown;
    }
    QString status() const { return window.statusLine()->text(); }
    long count(std::string_view line) const { return std::count(log->lines.begin(), log->lines.end(), line); }
    std::vector<std::string> linesSince(std::size_t start) const
    {
        return {log->lines.begin() + static_cast<long>(start), log->lines.end()};
    }
    QAbstractItemModel& model() const { return *window.deviceTable()->model(); }
    int rowOf(const QString& name) const
    {
        const auto found = model().match(model().index(0, 0), Qt::DisplayRole, name, 1, Qt::MatchExactly);
        return found.isEmpty() ? -1 : found.front().row();
    }
    simradio::SimulatedCentralManager& central() const
    {
        return dynamic_cast<simradio::SimulatedCentralManager&>(*window.controller()->centralManager);
    }

    Poll poll_;
    std::shared_ptr<simradio::VirtualClock> clock = std::make_shared<simradio::VirtualClock>();
    std::shared_ptr<fake::Log> log = std::make_shared<fake::Log>();
    MainWindow window{
        {simradio::centralManagerFactory(clock, simradio::defaultWorld()), log,
         std::make_shared<ProgramWideValues>(),
         poll_ == Poll::onRadioClock ? std::make_shared<simradio::SchedulerRunLoop>(clock) : nullptr}};
};

// The poll on the radio's clock too: polls without an answer pass in a fraction of their real time.
class WindowOnRadioTimeTest : public WindowTest {
protected:
    WindowOnRadioTimeTest() : WindowTest(Poll::onRadioClock) {}
};

TEST_F(WindowOnRadioTimeTest, ScanSelectReadLoseAndReconnectTheMeterByMouseAndKeyboard)
{
    QTest::mouseClick(window.scanButton(), Qt::LeftButton);
    clock->advanceBy(simradio::Duration{1'000});
    EXPECT_TRUE(window.scanButton()->isChecked());
    for (const auto& [name, signal] : {std::pair{meter, "-58"}, {"SIM Edge Sensor", "-99"}})
        EXPECT_EQ(model().index(rowOf(name), 1).data().toString(), signal) << name.toStdString();
    // Meters of the same name told apart.
    for (const auto role : {Qt::ToolTipRole, Qt::AccessibleDescriptionRole})
        EXPECT_EQ(model().index(rowOf(meter), 0).data(role).toString().toStdString(), meterId);
    EXPECT_EQ(count("myTableViewData.count Optional(4)"), 1);
    EXPECT_EQ(status(), QStringLiteral("Scanning: 4 devices listed"));

    const auto selectionStart = log->lines.size();
    const auto meterCell = window.deviceTable()->visualRect(model().index(rowOf(meter), 0));
    QTest::mouseClick(window.deviceTable()->viewport(), Qt::LeftButton, {}, meterCell.center());
    const auto selectionLines = linesSince(selectionStart);
    // The selection switches the button off without running its action again.
    EXPECT_FALSE(window.scanButton()->isChecked());
    EXPECT_EQ(count("Now Scanning..."), 1);
    EXPECT_EQ(count("Scan Stopped"), 1);
    EXPECT_EQ(status(), "Connecting to " + meter + "…");
    EXPECT_FALSE(window.reconnectButton()->isEnabled());
    EXPECT_FALSE(window.agesRefreshing()) << "nothing to age yet";
    ASSERT_TRUE(advanceUntil([&] { return !window.humidityField()->text().isEmpty(); }));
    EXPECT_TRUE(window.agesRefreshing());
    EXPECT_EQ(status(), "Connected to " + meter);
    for (auto* field : {window.temperatureField(), window.humidityField()})
        EXPECT_EQ(accessibleText(field, QAccessible::Value), field->text()) << "a screen reader reads it";
    EXPECT_EQ(count("Optional(\"" + window.temperatureField()->text().left(4).toStdString() + "\")"), 1);

    central().loseConnection(meterId, "Connection timed out");
    ASSERT_TRUE(
        showsStatus("Disconnected from " + meter + ": Connection timed out. Reconnect connects again."));

    const auto reconnectStart = log->lines.size();
    window.reconnectButton()->setFocus();
    QTest::keyClick(window.reconnectButton(), Qt::Key_Space);
    EXPECT_EQ(linesSince(reconnectStart), selectionLines) << "the same path as selecting the row";
    EXPECT_EQ(status(), "Connecting to " + meter + "…");
    EXPECT_FALSE(window.reconnectButton()->isEnabled());
    ASSERT_TRUE(showsStatus("Connected to " + meter));
}

TEST_F(WindowTest, TheStatusLineExplainsEachLossAndReconnectServesTheSelectedMeterOnly)
{
    using namespace ble::managerState;
    const QString dropped = "Disconnected from " + meter + ": ";
    const QString off =
        "Bluetooth is off. Switch Bluetooth on (in the system settings, or: bluetoothctl power on).";
    const auto radio = [this](int state) { return [this, state] { central().setRadioState(state); }; };
    const auto selectMeter = [this] { window.deviceTable()->selectRow(rowOf(meter)); };
    const QString band = "SIM Fitness Band";
    // Each step, the status line, whether Reconnect is offered, and the battery shown.
    const std::tuple<std::function<void()>, QString, bool, QString> steps[] = {
        {[this] { window.scanButton()->click(); }, "Scanning: 4 devices listed", false, ""},
        {[&] { window.deviceTable()->selectRow(rowOf(band)); },
         band + " offers no measurement service (no FF01/FF02)", true, ""},
        {selectMeter, "Connected to " + meter, false, "Battery 87 %"},
        {[this] { central().peripheral(meterId)->changeValue(ble::Uuid::fromShort(0x2A19), {19}); },
         "Connected to " + meter, false, "Battery 19 % (low)"},
        {[this] { central().loseConnection(meterId, "Unknown Error"); },
         "Disconnected from " + meter +
             ". Is the meter still in range and switched on? Reconnect connects again.",
         true, ""},
        {[this] { window.reconnectButton()->click(); }, "Connected to " + meter, false, "Battery 19 % (low)"},
        // The Qt backend's words for a loss its stack does not explain give no reason of their own.
        {[this] {
             central().loseConnection(
                 meterId, "The connection was lost; the meter may be out of range or switched off.");
         },
         "Disconnected from " + meter +
             ". Is the meter still in range and switched on? Reconnect connects again.",
         true, ""},
        {[this] { window.reconnectButton()->click(); }, "Connected to " + meter, false, "Battery 19 % (low)"},
        {[this] { central().loseConnection(meterId, "Connection timed out"); },
         dropped + "Connection timed out. Reconnect connects again.", true, ""},
        {[this] { window.deviceTable()->clearSelection(); },
         dropped + "Connection timed out. Select it to connect again.", false, ""},
        {selectMeter, "Connected to " + meter, false, "Battery 19 % (low)"},
        {radio(poweredOff), off, false, ""},
        {radio(unsupported),
         "No usable Bluetooth adapter. Check that the bluetooth service runs (systemctl status bluetooth) "
         "and "
         "that rfkill does not block the adapter (rfkill list).",
         false, ""},
        {radio(poweredOn), dropped + "The Bluetooth radio was switched off. Reconnect connects again.", true,
         ""},
        // A scan asked for while the radio is off does not start by itself later.
        {radio(poweredOff), off, false, ""},
        {[this] { window.scanButton()->click(), central().setRadioState(poweredOn); },
         "Not scanning: Bluetooth was unavailable. Switch Scan off and on again.", false, ""},
        {[this] { window.scanButton()->click(), window.scanButton()->click(); }, "Scanning: 4 devices listed",
         false, ""},
        {selectMeter, "Connected to " + meter, false, "Battery 19 % (low)"},
        // A device without a battery shows none.
        {[&] { window.deviceTable()->selectRow(rowOf(band)); },
         band + " offers no measurement service (no FF01/FF02)", true, ""}};
    for (const auto& [step, shown, canReconnect, battery] : steps) {
        step();
        ASSERT_TRUE(showsStatus(shown));
        EXPECT_EQ(window.reconnectButton()->isEnabled(), canReconnect) << shown.toStdString();
        const auto shownBattery = [this] {
            return window.batteryLine()->isVisible() ? window.batteryLine()->text() : QString();
        };
        EXPECT_TRUE(advanceUntil([&, expected = battery] { return shownBattery() == expected; }))
            << shown.toStdString() << ": " << shownBattery().toStdString();
    }
}

TEST_F(WindowTest, AReadingAgesAndLooksStaleAfterThreeSilentPollPeriodsAndOnlyNumbersJoinTheTrend)
{
    const QString shown = QStringLiteral("--.- \u02DAC");
    window.controller()->temperatureTxtFld.lock()->setStringValue(shown.toStdString());
    window.controller()->moistureTxtFld.lock()->setStringValue("45.5 %RH");
    const auto arrival = Clock::now();
    const auto& temperature = window.readingAge(protocol::ReadingKind::temperature);
    const std::pair<Clock::duration, QString> ages[]{{1s, "updated 1 s ago"},
                                                     {5900ms, "updated 5 s ago"},
                                                     {6500ms, "updated 6 s ago (stale)"},
                                                     {119s, "updated 119 s ago (stale)"},
                                                     {130s, "updated 2 min ago (stale)"},
                                                     {7199s, "updated 119 min ago (stale)"}};
    for (const auto& [after, text] : ages) {
        window.showReadingAges(arrival + after);
        EXPECT_EQ(window.temperatureAge()->text(), text);
        EXPECT_EQ(temperature.isStale(), text.endsWith("(stale)")) << text.toStdString();
    }
    EXPECT_EQ(window.temperatureField()->palette().color(QPalette::Active, QPalette::Text),
              QApplication::palette(window.temperatureField()).color(QPalette::Disabled, QPalette::Text));
    EXPECT_EQ(window.temperatureField()->text(), shown) << "the value stays readable";
    EXPECT_EQ(window.trendChart()->summary(),
              "Temperature: no readings yet; Humidity: latest 45.5 %RH, minimum 45.5 %RH, maximum 45.5 %RH; "
              "Dew point: no readings yet; Absolute humidity: no readings yet");
    EXPECT_EQ(window.trendChart()->accessibleDescription(), window.trendChart()->summary());
    const std::pair<std::string_view, double> numbers[] = {
        {"21.5 %RH", 21.5}, {" 9.8 %RH", 9.8}, {"-5.2 %RH", -5.2}, {"  41 %RH", 41.0}};
    for (const auto& [text, value] : numbers)
        EXPECT_EQ(readingValue(text, protocol::humiditySuffix), value) << text;
    for (std::string_view text : {"error %RH", "2a.5 %RH", "nan %RH", "1e99 %RH", " %RH", "21.5 \u02DAC"})
        EXPECT_EQ(readingValue(text, protocol::humiditySuffix), std::nullopt) << text;
    // Drawn, a pixel column keeps its first, highest, lowest and last point, each once.
    EXPECT_EQ(thinnedToColumns(
                  {{0.2, 5}, {0.4, 6}, {0.5, 1}, {0.7, 9}, {0.8, 7}, {0.9, 4}, {1.1, 4}, {2, 3}, {2, 3}}),
              (std::vector<QPointF>{{0.2, 5}, {0.5, 1}, {0.7, 9}, {0.9, 4}, {1.1, 4}, {2, 3}}));
    window.controller()->moistureTxtFld.lock()->setStringValue("45.6 %RH");
    EXPECT_EQ(window.temperatureAge()->text(), "updated 0 s ago")
        << "a reading that ends a silence shows both ages at once";
}

TEST_F(WindowTest, DewPointAndAbsoluteHumidityComeFromNumbersInRangeGreyWithTheReadingsAndAllAreCopiedAsCsv)
{
    const std::tuple<std::string, std::string, QString, QString> rows[] = {
        {"20.0 \u02DAC", "50.0 %RH", "Dew point 9.3 \u02DAC", "Absolute humidity 8.6 g/m\u00B3"},
        {"-9.9 \u02DAC", "80.0 %RH", "Dew point -12.7 \u02DAC", "Absolute humidity 1.9 g/m\u00B3"},
        {" 0.0 \u02DAC", "99.7 %RH", "Dew point 0.0 \u02DAC", "Absolute humidity 4.8 g/m\u00B3"},
        {"error \u02DAC", "80.0 %RH", "", ""},
        {"61.0 \u02DAC", "80.0 %RH", "", ""},
        {"35.0 \u02DAC", " 0.0 %RH", "", ""},
        {"35.0 \u02DAC", "90.0 %RH", "Dew point 33.1 \u02DAC", "Absolute humidity 35.5 g/m\u00B3"},
    };
    for (const auto& [temperature, humidity, dewPoint, absolute] : rows) {
        window.controller()->temperatureTxtFld.lock()->setStringValue(temperature);
        window.controller()->moistureTxtFld.lock()->setStringValue(humidity);
        EXPECT_EQ(window.dewPointField()->text(), dewPoint) << temperature << humidity;
        EXPECT_EQ(window.absoluteHumidityField()->text(), absolute) << temperature << humidity;
    }
    // Its lowest came from -9.9 ˚C with the 50 %RH before it.
    EXPECT_TRUE(window.trendChart()->summary().contains(
        "Dew point: latest 33.1 \u02DAC, minimum -18.4 \u02DAC, maximum 33.1 \u02DAC"));
    const auto greyed = [this] {
        return window.dewPointField()->palette().color(QPalette::Active, QPalette::Text) ==
               QApplication::palette(window.dewPointField()).color(QPalette::Disabled, QPalette::Text);
    };
    for (const auto& [after, stale] : {std::pair{7s, true}, {0s, false}}) {
        window.showReadingAges(Clock::now() + after);
        EXPECT_EQ(greyed(), stale);
    }

    window.copyReadingsButton()->click();
    const auto lines = QGuiApplication::clipboard()->text().split("\r\n");
    ASSERT_EQ(lines.size(), 2 + 2 * static_cast<qsizetype>(std::size(rows)));
    EXPECT_EQ(lines.front(), "time,kind,text,value");
    EXPECT_EQ(lines.back(), "");
    for (const auto& [line, ending] : {std::pair{1, ",temperature,20.0,20"},
                                       {4, ",humidity,80.0,80"},
                                       {7, ",temperature,error,"},
                                       {12, ",humidity,\" 0.0\",0"}}) {
        EXPECT_TRUE(lines[line].endsWith(ending)) << lines[line].toStdString();
        const auto at = QDateTime::fromString(lines[line].section(u',', 0, 0), Qt::ISODateWithMs);
        EXPECT_LT(std::abs(at.secsTo(QDateTime::currentDateTime())), 60) << lines[line].toStdString();
    }
}

TEST_F(WindowOnRadioTimeTest,
       AMeterThatFallsSilentIsNamedWithinThreePollsAndReconnectOpensANewLinkThroughTheSelection)
{
    window.scanButton()->click();
    ASSERT_TRUE(advanceUntil([&] { return rowOf(meter) >= 0; }));
    const auto selectionStart = log->lines.size();
    window.deviceTable()->selectRow(rowOf(meter));
    const auto selectionLines = linesSince(selectionStart);
    ASSERT_TRUE(advanceUntil([&] { return !window.humidityField()->text().isEmpty(); }));
    const auto silent = "Connected to " + meter + ", but it has not answered for 6 s";
    const auto answers = [this] { return count("data update value Optional(19 bytes)"); };

    central().peripheral(meterId)->setAnswering(false);
    ASSERT_TRUE(showsStatus(silent));
    EXPECT_TRUE(window.reconnectButton()->isEnabled());
    EXPECT_EQ(window.statusLine()->accessibleDescription(),
              "Requests the meter left unanswered this session: 2");
    EXPECT_TRUE(window.statusLine()->toolTip().endsWith(window.statusLine()->accessibleDescription()));
    central().peripheral(meterId)->setAnswering(true);
    ASSERT_TRUE(showsStatus("Connected to " + meter)) << "frames came again";
    EXPECT_FALSE(window.reconnectButton()->isEnabled());

    central().peripheral(meterId)->setAnswering(false);
    ASSERT_TRUE(showsStatus(silent));
    const auto reconnectStart = log->lines.size();
    const auto answered = answers();
    window.reconnectButton()->click();
    EXPECT_EQ(linesSince(reconnectStart), selectionLines) << "the same path as selecting the row";
    EXPECT_EQ(status(), "Connecting to " + meter + "…");
    ASSERT_TRUE(advanceUntil([&] { return answers() > answered; })) << "a new link, and readings again";
    EXPECT_EQ(status(), "Connected to " + meter);
    EXPECT_EQ(count("Connection complete"), 2);
    EXPECT_EQ(count("Disconnected from peripheral: <SimulatedPeripheral: identifier = " + meterId +
                    ", name = Optional(\"SIM Thermo-Hygrometer\"), state = connecting>"),
              1);

    window.showDiagnostic("Bluetooth: the meter refused to notify FF02: Not paired");
    central().peripheral(meterId)->setAnswering(false);
    ASSERT_TRUE(advanceUntil([&] { return window.reconnectButton()->isEnabled(); }));
    EXPECT_EQ(status(), "the meter refused to notify FF02: Not paired") << "the silence it explains hid it";
}

// Notes the text a line edit shows at each of its paints, or counts a widget's paints.
struct PaintedText : QObject {
    QString text;
    int paints = 0;
    bool eventFilter(QObject* watched, QEvent* event) override
    {
        if (event->type() == QEvent::Paint)
            ++paints, text = watched->property("text").toString();
        return false;
    }
};

TEST_F(WindowTest, ChangesFasterThanFramesAreHeldForTheNextFrameNotLostAndAReadingRepaintsItsFieldAlone)
{
    PaintedText painted, behind;
    window.statusLine()->installEventFilter(&painted);
    for (const auto* text : {"one", "two", "three"}) {
        window.statusLine()->setText(text);
        QCoreApplication::processEvents();
    }
    EXPECT_TRUE(QTest::qWaitFor([&] { return painted.text == "three"; }, 1000));
    window.temperatureField()->installEventFilter(&painted);
    window.centralWidget()->installEventFilter(&behind);
    window.controller()->temperatureTxtFld.lock()->setStringValue("21.5 \u02DAC");
    EXPECT_TRUE(QTest::qWaitFor([&] { return painted.text.startsWith("21.5"); }, 1000));
    EXPECT_EQ(behind.paints, 0);
}

TEST_F(WindowTest,
       TheTrendAndTheAgesAreShownOnceAPollWithItsSecondReadingAndAReadingOfOneKindWithTheAgeRefresh)
{
    PaintedText trend;
    window.trendChart()->installEventFilter(&trend);
    const auto temperature = [this](const char* text) {
        return [this, text] { window.controller()->temperatureTxtFld.lock()->setStringValue(text); };
    };
    const auto humidity = [this] { window.controller()->moistureTxtFld.lock()->setStringValue("45.5 %RH"); };
    // Each reading, the temperature the trend then shows (drawn and worded), whether it waits for the
    // age refresh a second later to show it, and the trend's paints.
    const std::tuple<std::function<void()>, QString, bool, int> steps[] = {
        {temperature("21.5 \u02DAC"), "no readings yet", false, 0},
        {humidity, "latest 21.5", false, 1},
        {temperature("21.6 \u02DAC"), "latest 21.5", false, 0},
        {temperature("21.7 \u02DAC"), "latest 21.7", false, 1},
        {temperature("21.8 \u02DAC"), "latest 21.8", true, 1},
    };
    for (const auto& [reading, shown, refresh, paints] : steps) {
        const int before = trend.paints;
        reading();
        const auto shows = [&, expected = "Temperature: " + shown] {
            return window.trendChart()->accessibleDescription().startsWith(expected);
        };
        EXPECT_TRUE(refresh ? !shows() && QTest::qWaitFor(shows, 1500) : (QTest::qWait(40), shows()))
            << shown.toStdString() << ": " << window.trendChart()->accessibleDescription().toStdString();
        QTest::qWait(40);
        EXPECT_EQ(trend.paints - before, paints) << shown.toStdString();
    }
    // The ages too: the refresh showed the last one a second old.
    temperature("21.9 \u02DAC")();
    EXPECT_EQ(window.temperatureAge()->text(), "updated 1 s ago") << "shown with the poll's first reading";
    humidity();
    EXPECT_EQ(window.temperatureAge()->text(), "updated 0 s ago");
}

TEST_F(WindowTest, TheTrendsDescriptionIsSetOnlyWhenItsWordsChange)
{
    // Each setting is an event for a screen reader, the same words again included; the tool tip is
    // set with the description.
    int set = 0;
    struct ToolTipChanges : QObject {
        int* count;
        explicit ToolTipChanges(int* count) : count(count) {}
        bool eventFilter(QObject*, QEvent* event) override
        {
            *count += event->type() == QEvent::ToolTipChange;
            return false;
        }
    } changes(&set);
    window.trendChart()->installEventFilter(&changes);
    const std::tuple<const char*, const char*, int> polls[] = {
        {"21.5 \u02DAC", "45.5 %RH", 1}, {"21.5 \u02DAC", "45.5 %RH", 0}, {"21.6 \u02DAC", "45.5 %RH", 1}};
    for (const auto& [temperature, humidity, sets] : polls) {
        set = 0;
        window.controller()->temperatureTxtFld.lock()->setStringValue(temperature);
        window.controller()->moistureTxtFld.lock()->setStringValue(humidity);
        EXPECT_EQ(set, sets) << temperature;
    }
}

TEST_F(WindowTest, BackendLinesGoToStandardErrorAndTheStatusLineTheLogPaneShowsStandardOutput)
{
    window.scanButton()->click();
    window.showDiagnostic("Bluetooth: scan failed: \"org.bluez.Error.NotReady\"");
    EXPECT_EQ(status(), QStringLiteral("scan failed: \"org.bluez.Error.NotReady\""));
    ASSERT_TRUE(advanceUntil([&] { return rowOf(meter) >= 0; }));
    EXPECT_TRUE(status().startsWith("Scanning: ")) << "a change of state replaces the line";
    window.scanButton()->click();
    window.scanButton()->click();
    EXPECT_EQ(status(), QStringLiteral("Scanning: 0 devices listed")) << "the line does not come back";

    const auto pane = window.logPane()->text().split('\n');
    ASSERT_EQ(static_cast<std::size_t>(pane.size()), log->lines.size());
    for (std::size_t i = 0; i < log->lines.size(); ++i)
        EXPECT_EQ(pane[static_cast<int>(i)].toStdString(), log->lines[i]);
    window.logButton()->click();
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window.logPane()->lines()->toPlainText() == window.logPane()->text(); }));
    window.logPane()->copyButton()->click();
    EXPECT_EQ(QGuiApplication::clipboard()->text(), window.logPane()->text());
}

TEST_F(WindowTest, TabGoesRoundEveryNamedControlAndAScreenReaderReadsTheStatusAndSwitchesTheScan)
{
    window.logButton()->click();
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.scanButton()->setFocus(Qt::TabFocusReason);
    QStringList visited;
    do {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited << accessibleText(QApplication::focusWidget(), QAccessible::Name);
    } while (QApplication::focusWidget() != window.scanButton() && visited.size() < 30);
    EXPECT_EQ(visited, (QStringList{"Devices", "Temperature", "Temperature age", "Humidity", "Humidity age",
                                    "Dew point", "Absolute humidity", "Trend", "Show log", "Log", "Copy log",
                                    "Copy readings", "Status", "Scan"}));
    EXPECT_EQ(accessibleText(window.reconnectButton(), QAccessible::Name), "Reconnect") << "disabled: no Tab";
    EXPECT_TRUE(window.humidityField()->isReadOnly());
    EXPECT_TRUE(window.dewPointField()->isReadOnly() && window.absoluteHumidityField()->isReadOnly());
    EXPECT_EQ(accessibleText(window.batteryLine(), QAccessible::Name), "Battery") << "hidden: no Tab";
    EXPECT_TRUE(window.statusLine()->isReadOnly());
    EXPECT_TRUE(window.findChild<QStatusBar*>()->isAncestorOf(window.statusLine()));
    EXPECT_EQ(accessibleText(window.statusLine(), QAccessible::Value),
              QStringLiteral("Idle. Switch Scan on to look for the meter."));

    // Scan switched as an assistive technology does it: toggled, not clicked. Hiding and showing the
    // window is the view disappearing and appearing.
    QAccessible::queryAccessibleInterface(window.scanButton())
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(count("Now Scanning..."), 1);
    window.hide();
    EXPECT_EQ(count("Stop Scanning"), 1);
    EXPECT_FALSE(central().isScanning());
    window.show();
    EXPECT_EQ(count("View Cleared"), 2);
}

TEST(LogPane, KeepsTheLastTenThousandLinesWithinItsBoundAndShowsThemOnceOpen)
{
    LogPane pane;
    auto sink = std::make_shared<fake::Log>();
    TeeLogSink tee(sink, &pane);
    for (int line = 0; line < LogPane::maxLines + 5; ++line)
        tee.writeLine(std::to_string(line));
    QCoreApplication::processEvents();
    EXPECT_EQ(pane.lines()->blockCount(), 1) << "nothing laid out while closed";
    pane.show();
    EXPECT_EQ(pane.lines()->blockCount(), LogPane::maxLines);
    EXPECT_EQ(pane.lines()->document()->firstBlock().text(), QStringLiteral("5"));
    tee.writeLine("next");
    EXPECT_TRUE(QTest::qWaitFor([&] { return pane.lines()->document()->lastBlock().text() == "next"; }));
    tee.writeLine(std::string(LogPane::maxBytes - 4, 'x'));
    tee.writeLine("last");
    EXPECT_EQ(pane.text().count(u'\n'), 1) << "older lines give way to a long one";
}

TEST(LogPane, FollowsTheNewestLineOnlyWhileItsViewIsAtTheBottom)
{
    LogPane pane;
    TeeLogSink tee(std::make_shared<fake::Log>(), &pane);
    for (int line = 0; line < 100; ++line)
        tee.writeLine(std::to_string(line));
    pane.resize(300, 200);
    pane.show();
    QScrollBar& bar = *pane.lines()->verticalScrollBar();
    // Where the view is before a new line, and whether it then shows the newest.
    const std::pair<std::function<void()>, bool> steps[] = {
        {[] {}, true}, {[&] { bar.setValue(10); }, false}, {[&] { bar.setValue(bar.maximum()); }, true}};
    for (const auto& [scroll, follows] : steps) {
        scroll();
        const int before = bar.value();
        const auto line = "new " + std::to_string(before);
        tee.writeLine(line);
        ASSERT_TRUE(
            QTest::qWaitFor([&] { return pane.lines()->document()->lastBlock().text() == line.c_str(); }));
        EXPECT_EQ(bar.value(), follows ? bar.maximum() : before);
        EXPECT_TRUE(follows || bar.value() < bar.maximum()) << "the newest line stays out of view";
    }
}

TEST(ApplicationEntry, ShowsTheTitledWindowUntilTheUserQuits)
{
    QPointer<MainWindow> shown;
    QString title;
    QTimer::singleShot(0, [&] {
        for (auto* widget : QApplication::topLevelWidgets())
            if (widget->isVisible() && (shown = qobject_cast<MainWindow*>(widget)))
                title = shown->windowTitle();
        QApplication::quit();
    });
    const auto radio =
        simradio::centralManagerFactory(std::make_shared<simradio::QtScheduler>(), simradio::defaultWorld());
    EXPECT_EQ(runApplication(*qApp, radio, QStringLiteral("Demo")), 0);
    EXPECT_EQ(title, QStringLiteral("Demo"));
    EXPECT_TRUE(!shown || !shown->isVisible()) << "the window lives as long as the event loop runs";
}

} // namespace
} // namespace qtui
