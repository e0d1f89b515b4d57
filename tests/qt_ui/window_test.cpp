// The window driven as a user drives it: scan, pick the meter, read.
#include "window_fixture.h"

#include "fake_platform.h"
#include "qt_ui/trend_chart.h"

#include <QAccessible>
#include <QDir>
#include <QElapsedTimer>
#include <QFileInfo>
#include <QHeaderView>
#include <QRegularExpression>

#include <iostream>

namespace qtui::testing {
namespace {

const QString meterName = QStringLiteral("SIM Thermo-Hygrometer");

QString accessibleText(QWidget* widget, QAccessible::Text kind)
{
    const auto* accessible = QAccessible::queryAccessibleInterface(widget);
    return accessible ? accessible->text(kind) : QString();
}

TEST_F(WindowTest, ScanAndSelectingTheMeterShowsBothReadingsEveryStepLogged)
{
    QTest::mouseClick(window->scanButton(), Qt::LeftButton);
    EXPECT_TRUE(window->scanButton()->isChecked());
    EXPECT_TRUE(log->contains("Now Scanning..."));
    ASSERT_TRUE(waitForRow(meterName));
    // The last neighbour to be listed: the picture shows the whole list.
    ASSERT_TRUE(waitForRow(QStringLiteral("SIM Late Tag")));

    QElapsedTimer sinceSelection;
    sinceSelection.start();
    clickRow(rowOf(meterName));
    ASSERT_TRUE(QTest::qWaitFor([&] { return readingsShown(); }, waitLimitMs));
    std::cout << "[ benchmark ] both readings shown " << sinceSelection.elapsed()
              << " ms after the selection\n";

    const QRegularExpression temperatureForm(QStringLiteral("^( \\d|\\d\\d|-\\d)\\.\\d \u02DA"
                                                            "C$"));
    const QRegularExpression humidityForm(QStringLiteral("^( \\d|\\d\\d|-\\d)\\.\\d %RH$"));
    const auto temperature = window->temperatureField()->text();
    const auto humidity = window->humidityField()->text();
    EXPECT_TRUE(temperatureForm.match(temperature).hasMatch()) << temperature.toStdString();
    EXPECT_TRUE(humidityForm.match(humidity).hasMatch()) << humidity.toStdString();
    // A screen reader reads the readings as the fields' values.
    EXPECT_EQ(accessibleText(window->temperatureField(), QAccessible::Value), temperature);
    EXPECT_EQ(accessibleText(window->humidityField(), QAccessible::Value), humidity);

    // The selection switched the button off without running its action again.
    EXPECT_FALSE(window->scanButton()->isChecked());
    EXPECT_EQ(log->count("Now Scanning..."), 1);
    EXPECT_EQ(log->count("Number of Peripherals Found: Optional(" + std::to_string(model().rowCount()) + ")"),
              1);

    for (const auto* line :
         {"tableViewSelectionDidChange", "Connection complete", "BLE_Characteristic_uuid_FF02 found",
          "Subscribed. Notification has begun for: FF02", "data update value Optional(19 bytes)",
          "sending data", "data = 94"})
        EXPECT_TRUE(log->contains(line)) << line;
    const auto shownValue = temperature.left(4).toStdString();
    EXPECT_TRUE(log->contains("Optional(\"" + shownValue + "\")")) << "the shown reading's log line";

    const QString screenshot = QStringLiteral(THERMOHYGRO_SCREENSHOT);
    QDir().mkpath(QFileInfo(screenshot).absolutePath());
    EXPECT_TRUE(window->grab().save(screenshot));
}

TEST_F(WindowTest, CellsShowNameAndSignalOfListedPeripheralsOnly)
{
    EXPECT_EQ(model().headerData(0, Qt::Horizontal).toString(), QStringLiteral("Name"));
    EXPECT_EQ(model().headerData(1, Qt::Horizontal).toString(), QStringLiteral("Signal (dBm)"));
    window->scanButton()->click();
    ASSERT_TRUE(waitForRow(QStringLiteral("SIM Late Tag")));
    ASSERT_TRUE(waitForRow(QStringLiteral("SIM Edge Sensor")));
    // Every report has come by now; those never listed stay out.
    QTest::qWait(300);

    EXPECT_EQ(model().rowCount(), 4);
    EXPECT_EQ(cell(rowOf(meterName), 1), QStringLiteral("-58"));
    EXPECT_EQ(cell(rowOf(QStringLiteral("SIM Fitness Band")), 1), QStringLiteral("-70"));
    EXPECT_EQ(cell(rowOf(QStringLiteral("SIM Edge Sensor")), 1), QStringLiteral("-99"));
    EXPECT_EQ(cell(rowOf(QStringLiteral("SIM Late Tag")), 1), QStringLiteral("-74"));
    EXPECT_EQ(rowOf(QStringLiteral("SIM Distant Beacon")), -1);
    EXPECT_TRUE(log->contains("myTableViewData.count Optional(4)"));

    // Switching the scan on again empties the list until new reports come.
    window->scanButton()->click();
    window->scanButton()->click();
    EXPECT_EQ(model().rowCount(), 0);
    EXPECT_TRUE(waitForRow(meterName));
}

TEST_F(WindowTest, ACellOfAPeripheralThatLostItsNameShowsNoName)
{
    ASSERT_TRUE(QTest::qWaitFor([&] { return log->contains("Bluetooth Enabled"); }, waitLimitMs));
    const auto fading = std::make_shared<fake::Peripheral>("FADING-1", "Fading Tag");
    const auto& controller = window->controller();
    controller->centralManagerDidDiscoverPeripheral(*controller->centralManager, fading, {}, -61);
    ASSERT_EQ(model().rowCount(), 1);
    EXPECT_EQ(cell(0, 0), QStringLiteral("Fading Tag"));
    EXPECT_EQ(cell(0, 1), QStringLiteral("-61"));

    fading->currentName.reset();
    controller->tableView.lock()->reloadData();
    EXPECT_EQ(cell(0, 0), QStringLiteral("no name"));
    EXPECT_EQ(cell(0, 1), QString()) << "the signal field keeps the prototype's empty text";
    EXPECT_TRUE(log->contains("no name"));
}

TEST_F(WindowTest, ControlsCarryAccessibleNamesAndTabReachesThemInOrder)
{
    EXPECT_EQ(accessibleText(window->scanButton(), QAccessible::Name), QStringLiteral("Scan"));
    EXPECT_EQ(accessibleText(window->deviceTable(), QAccessible::Name), QStringLiteral("Devices"));
    EXPECT_EQ(accessibleText(window->temperatureField(), QAccessible::Name), QStringLiteral("Temperature"));
    EXPECT_EQ(accessibleText(window->humidityField(), QAccessible::Name), QStringLiteral("Humidity"));
    EXPECT_TRUE(window->temperatureField()->isReadOnly());

    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->scanButton()->setFocus(Qt::TabFocusReason);
    const std::vector<QWidget*> order{
        window->deviceTable(),   window->temperatureField(), window->temperatureAge(),
        window->humidityField(), window->humidityAge(),      window->trendChart(),
        window->logButton(),     window->statusLine(),       window->scanButton()};
    for (auto* expected : order) {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        EXPECT_EQ(QApplication::focusWidget(), expected) << expected->accessibleName().toStdString();
    }
}

TEST_F(WindowTest, SpaceTogglesTheScanAndArrowKeysSelectRows)
{
    window->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(window.get()));
    window->scanButton()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(window->scanButton(), Qt::Key_Space);
    EXPECT_TRUE(window->scanButton()->isChecked());
    EXPECT_EQ(log->count("Now Scanning..."), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return model().rowCount() >= 2; }, waitLimitMs));

    window->deviceTable()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(window->deviceTable(), Qt::Key_Down);
    QTest::keyClick(window->deviceTable(), Qt::Key_Down);
    const auto selected = window->deviceTable()->selectionModel()->selectedRows();
    ASSERT_EQ(selected.size(), 1);
    EXPECT_TRUE(log->contains("tableViewSelectionDidChange"));
    EXPECT_TRUE(log->contains(std::to_string(selected.front().row())));
    EXPECT_FALSE(window->scanButton()->isChecked()) << "choosing a device ends the scan";
}

TEST_F(WindowTest, HidingAndShowingTheWindowIsTheViewDisappearingAndAppearing)
{
    EXPECT_EQ(log->count("View Cleared"), 1);
    window->scanButton()->click();
    const auto central =
        std::dynamic_pointer_cast<simradio::SimulatedCentralManager>(window->controller()->centralManager);
    ASSERT_TRUE(central);
    EXPECT_TRUE(central->isScanning());

    window->hide();
    EXPECT_EQ(log->count("Stop Scanning"), 1);
    EXPECT_FALSE(central->isScanning());
    window->show();
    EXPECT_EQ(log->count("View Cleared"), 2);
}

} // namespace
} // namespace qtui::testing
