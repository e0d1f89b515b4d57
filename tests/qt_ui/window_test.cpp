// The real window over the simulated radio on a virtual clock, driven as a
// user drives it: scan, pick the meter, read. The poll runs on real Qt timers.
// And the application entry as thermohygro-demo runs it.
#include "qt_ui/application.h"
#include "qt_ui/main_window.h"
#include "simulated_radio/qt_scheduler.h"
#include "simulated_radio/simulated_central_manager.h"
#include "simulated_radio/virtual_clock.h"

#include "fake_platform.h"

#include <QAccessible>
#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QRegularExpression>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

#include <algorithm>

namespace qtui {
namespace {

const QString meterName = QStringLiteral("SIM Thermo-Hygrometer");

QString accessibleText(QWidget* widget, QAccessible::Text kind)
{
    return QAccessible::queryAccessibleInterface(widget)->text(kind);
}

class WindowTest : public ::testing::Test {
protected:
    void SetUp() override
    {
        window.show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(&window));
        clock->advanceBy(simradio::Duration{100});
    }
    long count(const std::string& line) const
    {
        return std::count(log->lines.begin(), log->lines.end(), line);
    }
    QAbstractItemModel& model() const { return *window.deviceTable()->model(); }
    QString cell(int row, int column) const { return model().index(row, column).data().toString(); }
    int rowOf(const QString& name) const
    {
        const auto found = model().match(model().index(0, 0), Qt::DisplayRole, name, 1, Qt::MatchExactly);
        return found.isEmpty() ? -1 : found.front().row();
    }

    std::shared_ptr<simradio::VirtualClock> clock = std::make_shared<simradio::VirtualClock>();
    std::shared_ptr<fake::Log> log = std::make_shared<fake::Log>();
    MainWindow window{{simradio::centralManagerFactory(clock, simradio::defaultWorld()), log,
                       std::make_shared<ProgramWideValues>()}};
};

TEST_F(WindowTest, ScanListsTheNearbyDevicesAndSelectingTheMeterShowsBothReadings)
{
    QTest::mouseClick(window.scanButton(), Qt::LeftButton);
    clock->advanceBy(simradio::Duration{1'000});
    EXPECT_TRUE(window.scanButton()->isChecked());
    EXPECT_EQ(model().headerData(1, Qt::Horizontal).toString(), QStringLiteral("Signal (dBm)"));
    const std::pair<QString, QString> listed[] = {
        {meterName, "-58"}, {"SIM Fitness Band", "-70"}, {"SIM Edge Sensor", "-99"}, {"SIM Late Tag", "-74"}};
    for (const auto& [name, signal] : listed)
        EXPECT_EQ(cell(rowOf(name), 1), signal) << name.toStdString();
    EXPECT_EQ(model().rowCount(), 4);
    EXPECT_EQ(count("myTableViewData.count Optional(4)"), 1);

    const auto meterCell = window.deviceTable()->visualRect(model().index(rowOf(meterName), 0));
    QTest::mouseClick(window.deviceTable()->viewport(), Qt::LeftButton, {}, meterCell.center());
    // The selection switches the button off without running its action again.
    EXPECT_FALSE(window.scanButton()->isChecked());
    EXPECT_EQ(count("Now Scanning..."), 1);
    EXPECT_EQ(count("Scan Stopped"), 1);
    ASSERT_TRUE(QTest::qWaitFor(
        [&] {
            clock->advanceBy(simradio::Duration{50});
            return !window.temperatureField()->text().isEmpty() && !window.humidityField()->text().isEmpty();
        },
        10'000));

    const QRegularExpression form(QStringLiteral("^( \\d|\\d\\d|-\\d)\\.\\d (\u02DA"
                                                 "C|%RH)$"));
    for (auto* field : {window.temperatureField(), window.humidityField()}) {
        EXPECT_TRUE(form.match(field->text()).hasMatch()) << field->text().toStdString();
        EXPECT_EQ(accessibleText(field, QAccessible::Value), field->text()) << "a screen reader reads it";
    }
    EXPECT_TRUE(window.temperatureField()->text().endsWith(QStringLiteral("C")));
    EXPECT_GE(count("Subscribed. Notification has begun for: FF02"), 1);
    EXPECT_EQ(count("Optional(\"" + window.temperatureField()->text().left(4).toStdString() + "\")"), 1);

    // Scanning again empties the list until new reports come.
    window.scanButton()->click();
    EXPECT_EQ(model().rowCount(), 0);
    clock->advanceBy(simradio::Duration{1'000});
    EXPECT_EQ(model().rowCount(), 4);
}

TEST_F(WindowTest, ACellOfAPeripheralThatLostItsNameShowsNoName)
{
    const auto fading = std::make_shared<fake::Peripheral>("FADING-1", "Fading Tag");
    const auto& controller = window.controller();
    controller->centralManagerDidDiscoverPeripheral(*controller->centralManager, fading, {}, -61);
    ASSERT_EQ(model().rowCount(), 1);
    EXPECT_EQ(cell(0, 0) + cell(0, 1), QStringLiteral("Fading Tag-61"));
    fading->currentName.reset();
    controller->tableView.lock()->reloadData();
    EXPECT_EQ(cell(0, 0) + cell(0, 1), QStringLiteral("no name"));
}

TEST_F(WindowTest, KeyboardReachesEveryNamedControlSpaceScansAndArrowsSelect)
{
    const std::pair<QWidget*, QString> order[] = {{window.deviceTable(), "Devices"},
                                                  {window.temperatureField(), "Temperature"},
                                                  {window.humidityField(), "Humidity"},
                                                  {window.scanButton(), "Scan"}};
    window.activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&window));
    window.scanButton()->setFocus(Qt::TabFocusReason);
    // Tab goes round every control, each with a name, and meets these in this order.
    std::vector<QWidget*> visited;
    do {
        QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
        visited.push_back(QApplication::focusWidget());
        EXPECT_FALSE(visited.back()->accessibleName().isEmpty());
    } while (visited.back() != window.scanButton() && visited.size() < 20);
    auto next = visited.begin();
    for (const auto& [widget, name] : order) {
        next = std::find(next, visited.end(), widget);
        EXPECT_NE(next, visited.end()) << name.toStdString();
        EXPECT_EQ(accessibleText(widget, QAccessible::Name), name);
    }
    EXPECT_TRUE(window.humidityField()->isReadOnly());

    QTest::keyClick(window.scanButton(), Qt::Key_Space);
    clock->advanceBy(simradio::Duration{1'000});
    EXPECT_EQ(count("Now Scanning..."), 1);
    window.deviceTable()->setFocus(Qt::TabFocusReason);
    QTest::keyClick(window.deviceTable(), Qt::Key_Down);
    QTest::keyClick(window.deviceTable(), Qt::Key_Down);
    ASSERT_EQ(window.deviceTable()->selectionModel()->selectedRows().size(), 1);
    EXPECT_GE(count(std::to_string(window.deviceTable()->selectionModel()->selectedRows()[0].row())), 1);
    EXPECT_FALSE(window.scanButton()->isChecked()) << "choosing a device ends the scan";
}

TEST_F(WindowTest, HidingAndShowingTheWindowIsTheViewDisappearingAndAppearing)
{
    // As an assistive technology switches it: toggled, not clicked.
    QAccessible::queryAccessibleInterface(window.scanButton())
        ->actionInterface()
        ->doAction(QAccessibleActionInterface::toggleAction());
    EXPECT_EQ(count("Now Scanning..."), 1);
    window.hide();
    EXPECT_EQ(count("Stop Scanning"), 1);
    EXPECT_FALSE(
        std::dynamic_pointer_cast<simradio::SimulatedCentralManager>(window.controller()->centralManager)
            ->isScanning());
    window.show();
    EXPECT_EQ(count("View Cleared"), 2);
}

TEST(ApplicationEntry, ShowsTheTitledWindowOverTheSimulatedRadioUntilTheUserQuits)
{
    const auto shownWindow = [] {
        const auto widgets = QApplication::topLevelWidgets();
        const auto shown = std::find_if(widgets.begin(), widgets.end(), [](QWidget* widget) {
            return qobject_cast<MainWindow*>(widget) && widget->isVisible();
        });
        return shown == widgets.end() ? nullptr : qobject_cast<MainWindow*>(*shown);
    };
    QString title;
    bool listed = false;
    QTimer::singleShot(0, [&] {
        if (auto* window = shownWindow()) {
            title = window->windowTitle();
            window->scanButton()->click();
            listed = QTest::qWaitFor([&] { return window->deviceTable()->model()->rowCount() > 0; }, 10'000);
        }
        QApplication::quit();
    });
    const auto radio =
        simradio::centralManagerFactory(std::make_shared<simradio::QtScheduler>(), simradio::defaultWorld());
    EXPECT_EQ(runApplication(*qApp, radio, QStringLiteral("Demo")), 0);
    EXPECT_EQ(title, QStringLiteral("Demo"));
    EXPECT_TRUE(listed);
    EXPECT_EQ(shownWindow(), nullptr) << "the window lives as long as the event loop runs";
}

} // namespace
} // namespace qtui
