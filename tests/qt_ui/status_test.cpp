// What the window tells the user, driven by the simulated radio: the status
// line through scan, connection, drop, reconnection, failure and radio
// trouble; the readings' age and staleness; the trend; the log pane; and the
// backend's own lines kept off standard output.
#include "qt_ui/connection_status.h"
#include "qt_ui/file_log_sink.h"
#include "qt_ui/log_pane.h"
#include "qt_ui/main_window.h"
#include "qt_ui/trend_chart.h"
#include "simulated_radio/meter_model.h"
#include "simulated_radio/qt_scheduler.h"
#include "simulated_radio/simulated_central_manager.h"

#include <QAccessible>
#include <QApplication>
#include <QClipboard>
#include <QGuiApplication>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QStatusBar>
#include <QTableView>
#include <QTest>
#include <QTextBlock>

#include <gtest/gtest.h>

#include <unistd.h>

#include <algorithm>
#include <array>

namespace qtui {
namespace {

using namespace std::chrono_literals;

const QString meterName = QStringLiteral("SIM Thermo-Hygrometer");
const std::string meterId = "02:00:5E:10:00:01";
constexpr int waitLimitMs = 20'000;

struct Lines : app::LogSink {
    void writeLine(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

// The meter, a device that refuses connections, and one whose readable
// characteristics hold measurement frames: one that parses, one that does not.
simradio::SimulatedWorld world()
{
    auto world = simradio::defaultWorld();
    auto locked = simradio::plainPeripheral("02:00:5E:10:00:07", {{"SIM Locked Meter", -60}});
    locked.connectable = false;
    auto frames = simradio::plainPeripheral("02:00:5E:10:00:08", {{"SIM Frame Tag", -61}});
    frames.services = {
        {ble::Uuid::fromShort(0xFFF0),
         {{ble::Uuid::fromShort(0xFFF1), ble::property::read, false, simradio::measurementFrame('0', "--.-")},
          {ble::Uuid::fromShort(0xFFF2), ble::property::read, false,
           simradio::measurementFrame('4', "45.5")}}}};
    world.peripherals.push_back(std::move(locked));
    world.peripherals.push_back(std::move(frames));
    return world;
}

struct StatusTest : ::testing::Test {
    void SetUp() override
    {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        ASSERT_TRUE(QTest::qWaitFor([&] { return status().startsWith("Idle."); }, waitLimitMs));
    }

    QString status() const { return window.statusLine()->text(); }
    bool waitForStatus(const QString& text) const
    {
        const bool shown = QTest::qWaitFor([&] { return status() == text; }, waitLimitMs);
        EXPECT_TRUE(shown) << "expected: " << text.toStdString() << "\nshown: " << status().toStdString();
        return shown;
    }
    simradio::SimulatedCentralManager& central() const
    {
        return dynamic_cast<simradio::SimulatedCentralManager&>(*window.controller()->centralManager);
    }
    int rowOf(const QString& name) const
    {
        const auto* model = window.deviceTable()->model();
        for (int row = 0; row < model->rowCount(); ++row)
            if (model->index(row, 0).data().toString() == name)
                return row;
        return -1;
    }
    void scanAndSelect(const QString& name)
    {
        window.scanButton()->click();
        ASSERT_TRUE(QTest::qWaitFor([&] { return rowOf(name) >= 0; }, waitLimitMs));
        window.deviceTable()->selectRow(rowOf(name));
    }
    std::size_t count(std::string_view line) const
    {
        return static_cast<std::size_t>(std::count(log->lines.begin(), log->lines.end(), line));
    }

    std::shared_ptr<Lines> log = std::make_shared<Lines>();
    MainWindow window{{simradio::centralManagerFactory(std::make_shared<simradio::QtScheduler>(), world()),
                       log, std::make_shared<ProgramWideValues>()}};
};

TEST_F(StatusTest, ScanConnectDropAndReconnectAreShownAndReconnectLogsLikeTheSelection)
{
    window.scanButton()->click();
    ASSERT_TRUE(QTest::qWaitFor([&] { return rowOf(meterName) >= 0; }, waitLimitMs));
    const auto listed = window.deviceTable()->model()->rowCount();
    EXPECT_EQ(status(), QStringLiteral("Scanning: %1 devices listed").arg(listed));

    const auto selectionStart = log->lines.size();
    window.deviceTable()->selectRow(rowOf(meterName));
    EXPECT_EQ(status(), "Connecting to " + meterName + "…");
    EXPECT_FALSE(window.reconnectButton()->isEnabled());
    const std::vector selectionLines(log->lines.begin() + static_cast<long>(selectionStart),
                                     log->lines.end());
    ASSERT_TRUE(waitForStatus("Connected to " + meterName));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.humidityField()->text().isEmpty(); }, waitLimitMs));

    central().loseConnection(meterId, "Connection timed out");
    ASSERT_TRUE(waitForStatus("Disconnected from " + meterName +
                              ": Connection timed out. Reconnect connects again."));
    EXPECT_TRUE(window.reconnectButton()->isEnabled());
    EXPECT_FALSE(window.temperatureField()->text().isEmpty()) << "the last reading stays";
    window.deviceTable()->clearSelection();
    EXPECT_EQ(status(),
              "Disconnected from " + meterName + ": Connection timed out. Select it to connect again.");
    EXPECT_FALSE(window.reconnectButton()->isEnabled()) << "Reconnect serves the selected meter only";
    window.deviceTable()->selectRow(rowOf(meterName));
    ASSERT_TRUE(waitForStatus("Connected to " + meterName));
    central().loseConnection(meterId, "Connection timed out");
    ASSERT_TRUE(waitForStatus("Disconnected from " + meterName +
                              ": Connection timed out. Reconnect connects again."));

    const auto framesBefore = count("data update value Optional(19 bytes)");
    const auto reconnectStart = log->lines.size();
    window.reconnectButton()->setFocus();
    QTest::keyClick(window.reconnectButton(), Qt::Key_Space);
    const std::vector reconnectLines(log->lines.begin() + static_cast<long>(reconnectStart),
                                     log->lines.end());
    EXPECT_EQ(reconnectLines, selectionLines) << "the same path as selecting the row";
    EXPECT_EQ(status(), "Connecting to " + meterName + "…");
    EXPECT_FALSE(window.reconnectButton()->isEnabled());
    ASSERT_TRUE(waitForStatus("Connected to " + meterName));
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return count("data update value Optional(19 bytes)") > framesBefore + 1; }, waitLimitMs))
        << "readings resume";
}

TEST_F(StatusTest, FailedConnectionSaysWhatWasTriedWhenThePlatformSaysNothing)
{
    scanAndSelect(QStringLiteral("SIM Locked Meter"));
    ASSERT_TRUE(waitForStatus("Could not connect to SIM Locked Meter: The peripheral did not accept the "
                              "connection. Reconnect tries again."));
    EXPECT_TRUE(window.reconnectButton()->isEnabled());

    struct Case {
        bool failed;
        std::optional<ble::Error> error;
        QString shown;
    };
    const QString unknown =
        "Could not connect to SIM Locked Meter. Is the meter in range and switched on? Is "
        "another program connected to it? Reconnect tries again.";
    const std::array cases{
        Case{true, ble::Error{"Unknown Error"}, unknown},
        Case{true, std::nullopt, unknown},
        Case{false, ble::Error{"Unknown Error"},
             "Disconnected from SIM Locked Meter. Is the meter still in range and switched on? Reconnect "
             "connects again."},
        Case{false, ble::Error{"Link lost"},
             "Disconnected from SIM Locked Meter: Link lost. Reconnect connects again."},
    };
    const auto& locked =
        window.controller()->peripherals->at(static_cast<std::size_t>(rowOf("SIM Locked Meter")));
    for (const auto& c : cases) {
        window.reconnectButton()->click();
        auto& status = window.connectionStatus();
        if (c.failed)
            status.centralManagerDidFailToConnectPeripheral(central(), locked, c.error);
        else
            status.centralManagerDidDisconnectPeripheral(central(), locked, c.error);
        EXPECT_EQ(this->status().toStdString(), c.shown.toStdString());
        // The refusal of that attempt arrives later and changes nothing.
        QTest::qWait(200);
        EXPECT_EQ(this->status().toStdString(), c.shown.toStdString());
    }
}

TEST_F(StatusTest, RadioTroubleIsExplainedAndGoesOnceTheRadioIsBack)
{
    scanAndSelect(meterName);
    ASSERT_TRUE(waitForStatus("Connected to " + meterName));
    central().setRadioState(ble::managerState::poweredOff);
    ASSERT_TRUE(waitForStatus(
        "Bluetooth is off. Switch Bluetooth on (in the system settings, or: bluetoothctl power on)."));
    central().setRadioState(ble::managerState::unsupported);
    ASSERT_TRUE(waitForStatus("No usable Bluetooth adapter. Check that the bluetooth service runs (systemctl "
                              "status bluetooth) and that rfkill does not block the adapter (rfkill list)."));
    EXPECT_FALSE(window.reconnectButton()->isEnabled()) << "nothing to reconnect with";
    central().setRadioState(ble::managerState::poweredOn);
    ASSERT_TRUE(waitForStatus("Disconnected from " + meterName +
                              ": The Bluetooth radio was switched off. Reconnect connects again."));
    EXPECT_TRUE(window.reconnectButton()->isEnabled());
    EXPECT_EQ(count("Bluetooth Disabled- Make sure your Bluetooth is turned on"), 2u);

    // A scan asked for while the radio is off does not start by itself later.
    central().setRadioState(ble::managerState::poweredOff);
    ASSERT_TRUE(QTest::qWaitFor([&] { return status().startsWith("Bluetooth is off."); }, waitLimitMs));
    window.scanButton()->click();
    central().setRadioState(ble::managerState::poweredOn);
    ASSERT_TRUE(waitForStatus("Not scanning: Bluetooth was unavailable. Switch Scan off and on again."));
    window.scanButton()->click();
    window.scanButton()->click();
    EXPECT_TRUE(status().startsWith("Scanning: ")) << status().toStdString();
}

TEST_F(StatusTest, ReadingsAgeOnceASecondAndLookStaleAfterThreeSilentPollPeriods)
{
    EXPECT_FALSE(window.agesRefreshing()) << "nothing to age yet";
    scanAndSelect(meterName);
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.humidityField()->text().isEmpty(); }, waitLimitMs));
    EXPECT_TRUE(window.agesRefreshing());
    central().loseConnection(meterId, "Out of range");
    ASSERT_TRUE(QTest::qWaitFor([&] { return window.reconnectButton()->isEnabled(); }, waitLimitMs));

    // The meter is silent from here on.
    const auto shown = window.temperatureField()->text();
    const auto silentSince = Clock::now();
    auto* age = window.temperatureAge();
    const auto& temperature = window.readingAge(protocol::ReadingKind::temperature);
    window.showReadingAges(silentSince + 7s);
    EXPECT_TRUE(temperature.isStale());
    EXPECT_TRUE(age->text().endsWith(" s ago (stale)")) << age->text().toStdString();
    EXPECT_EQ(window.temperatureField()->palette().color(QPalette::Active, QPalette::Text),
              QApplication::palette(window.temperatureField()).color(QPalette::Disabled, QPalette::Text));
    EXPECT_EQ(window.temperatureField()->text(), shown) << "the value stays readable";

    // A reading of the kind makes it fresh again.
    window.controller()->temperatureTxtFld.lock()->setStringValue(shown.toStdString());
    const auto arrival = Clock::now();
    const std::array<std::pair<Clock::duration, QString>, 4> ages{{{1s, "updated 1 s ago"},
                                                                   {5900ms, "updated 5 s ago"},
                                                                   {6500ms, "updated 6 s ago (stale)"},
                                                                   {130s, "updated 2 min ago (stale)"}}};
    for (const auto& [after, text] : ages) {
        window.showReadingAges(arrival + after);
        EXPECT_EQ(age->text(), text);
        EXPECT_EQ(temperature.isStale(), text.endsWith("(stale)")) << text.toStdString();
    }
}

TEST_F(StatusTest, TrendSkipsReadingsThatAreNoNumbersWhileTheFieldShowsThem)
{
    scanAndSelect(QStringLiteral("SIM Frame Tag"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.humidityField()->text().isEmpty(); }, waitLimitMs));
    ASSERT_TRUE(QTest::qWaitFor([&] { return !window.temperatureField()->text().isEmpty(); }, waitLimitMs));
    EXPECT_EQ(window.temperatureField()->text(), QStringLiteral("--.- \u02DA"
                                                                "C"));
    EXPECT_EQ(window.trendChart()->summary(),
              "Temperature: no readings yet; Humidity: latest 45.5 %RH, minimum 45.5 %RH, maximum 45.5 %RH");
    EXPECT_EQ(window.trendChart()->accessibleDescription(), window.trendChart()->summary());

    struct Case {
        std::string_view text;
        std::optional<double> value;
    };
    for (const auto& c : {Case{"21.5 %RH", 21.5}, Case{" 9.8 %RH", 9.8}, Case{"-5.2 %RH", -5.2},
                          Case{"  41 %RH", 41.0}, Case{"error %RH", {}}, Case{"2a.5 %RH", {}},
                          Case{"nan %RH", {}}, Case{"1e99 %RH", {}}, Case{" %RH", {}},
                          Case{"21.5 \u02DA"
                               "C",
                               {}}})
        EXPECT_EQ(readingValue(c.text, protocol::humiditySuffix), c.value) << c.text;
}

TEST_F(StatusTest, BackendLinesGoToStandardErrorAndTheStatusLineNeverToTheLog)
{
    std::array<int, 2> pipe{};
    ASSERT_EQ(::pipe(pipe.data()), 0);
    DiagnosticLog diagnostics(pipe[1]);
    diagnostics.setListener([&](std::string_view line) { window.showDiagnostic(line); });
    window.scanButton()->click();
    diagnostics.writeLine("Bluetooth: scan failed: \"org.bluez.Error.NotReady\"");
    EXPECT_EQ(status(), QStringLiteral("scan failed: \"org.bluez.Error.NotReady\""));
    std::array<char, 128> written{};
    const auto size = ::read(pipe[0], written.data(), written.size());
    EXPECT_EQ(std::string(written.data(), size > 0 ? static_cast<std::size_t>(size) : 0),
              "Bluetooth: scan failed: \"org.bluez.Error.NotReady\"\n");
    ::close(pipe[0]);
    ::close(pipe[1]);
    ASSERT_TRUE(QTest::qWaitFor([&] { return rowOf(meterName) >= 0; }, waitLimitMs));
    EXPECT_TRUE(status().startsWith("Scanning: ")) << "a change of state replaces the line";
    window.scanButton()->click();
    window.scanButton()->click();
    EXPECT_EQ(status(), QStringLiteral("Scanning: 0 devices listed")) << "the line does not come back";

    // The log pane holds exactly the lines of standard output.
    const auto pane = window.logPane()->text().split('\n');
    ASSERT_EQ(static_cast<std::size_t>(pane.size()), log->lines.size());
    for (std::size_t i = 0; i < log->lines.size(); ++i) {
        EXPECT_EQ(pane[static_cast<int>(i)].toStdString(), log->lines[i]);
        EXPECT_FALSE(log->lines[i].starts_with("Bluetooth: ")) << log->lines[i];
    }
    window.logButton()->click();
    ASSERT_TRUE(window.logPane()->isVisible());
    EXPECT_TRUE(QTest::qWaitFor(
        [&] { return window.logPane()->lines()->toPlainText() == window.logPane()->text(); }));
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.logButton()->setFocus(Qt::TabFocusReason);
    const std::array<QWidget*, 3> order{window.logPane()->lines(), window.logPane()->copyButton(),
                                        window.statusLine()};
    for (auto* next : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), next) << "Tab reaches the open pane's controls";
    }
    QTest::keyClick(window.logPane()->copyButton(), Qt::Key_Return);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), window.logPane()->text());
}

TEST_F(StatusTest, NewControlsAreNamedAndTheStatusIsReadAsAValue)
{
    const std::vector<std::pair<QWidget*, QString>> named{{window.reconnectButton(), "Reconnect"},
                                                          {window.temperatureAge(), "Temperature age"},
                                                          {window.humidityAge(), "Humidity age"},
                                                          {window.trendChart(), "Trend"},
                                                          {window.logButton(), "Show log"},
                                                          {window.logPane()->lines(), "Log"},
                                                          {window.logPane()->copyButton(), "Copy log"},
                                                          {window.statusLine(), "Status"}};
    for (const auto& [widget, name] : named) {
        const auto* accessible = QAccessible::queryAccessibleInterface(widget);
        ASSERT_NE(accessible, nullptr);
        EXPECT_EQ(accessible->text(QAccessible::Name), name);
    }
    const auto* statusLine = QAccessible::queryAccessibleInterface(window.statusLine());
    EXPECT_EQ(statusLine->text(QAccessible::Value),
              QStringLiteral("Idle. Switch Scan on to look for the meter."));
    EXPECT_TRUE(window.statusLine()->isReadOnly());
    EXPECT_TRUE(window.findChild<QStatusBar*>()->isAncestorOf(window.statusLine()));
}

TEST(LogPane, KeepsTheLastTenThousandLinesWithinItsBoundAndShowsThemOnceOpen)
{
    LogPane pane;
    auto sink = std::make_shared<Lines>();
    TeeLogSink tee(sink, &pane);
    for (int line = 0; line < LogPane::maxLines + 5; ++line)
        tee.writeLine(std::to_string(line));
    EXPECT_EQ(sink->lines.size(), static_cast<std::size_t>(LogPane::maxLines + 5));
    QCoreApplication::processEvents();
    EXPECT_EQ(pane.lines()->blockCount(), 1) << "nothing laid out while closed";
    pane.show();
    EXPECT_EQ(pane.lines()->blockCount(), LogPane::maxLines);
    EXPECT_EQ(pane.lines()->document()->firstBlock().text(), QStringLiteral("5"));
    tee.writeLine("next");
    EXPECT_TRUE(QTest::qWaitFor([&] { return pane.lines()->document()->lastBlock().text() == "next"; }));

    tee.writeLine(std::string(static_cast<std::size_t>(LogPane::maxCharacters) - 4, 'x'));
    tee.writeLine("last");
    EXPECT_EQ(pane.text().count(u'\n'), 1) << "older lines give way to a long one";
}

} // namespace
} // namespace qtui
