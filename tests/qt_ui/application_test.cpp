// The application entry as thermohygro-demo runs it.
#include "window_fixture.h"

#include "qt_ui/application.h"

#include <QElapsedTimer>
#include <QTimer>

#include <iostream>

namespace qtui::testing {
namespace {

MainWindow* shownMainWindow()
{
    for (auto* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<MainWindow*>(widget); window && window->isVisible())
            return window;
    return nullptr;
}

TEST(ApplicationEntry, ShowsTheTitledWindowThatReadsTheSimulatedMeterUntilTheUserQuits)
{
    auto scheduler = std::make_shared<simradio::QtScheduler>();
    bool reachedReadings = false;
    QTimer::singleShot(0, [&] {
        WindowDriver user;
        auto* window = shownMainWindow();
        if (window) {
            EXPECT_EQ(window->windowTitle(), QStringLiteral("Thermo-Hygrometer (simulated meter)"));
            user.drive(window);
            window->scanButton()->click();
            if (user.waitForRow(QStringLiteral("SIM Thermo-Hygrometer"))) {
                QElapsedTimer sinceSelection;
                sinceSelection.start();
                user.clickRow(user.rowOf(QStringLiteral("SIM Thermo-Hygrometer")));
                reachedReadings = QTest::qWaitFor([&] { return user.readingsShown(); }, waitLimitMs);
                std::cout << "[ benchmark ] application entry: readings " << sinceSelection.elapsed()
                          << " ms after the selection\n";
            }
        }
        QApplication::quit();
    });

    const int exitCode =
        runApplication(*qApp, simradio::centralManagerFactory(scheduler, simradio::defaultWorld()),
                       QStringLiteral("Thermo-Hygrometer (simulated meter)"));
    EXPECT_EQ(exitCode, 0);
    EXPECT_TRUE(reachedReadings);
    EXPECT_EQ(shownMainWindow(), nullptr) << "the window lives as long as the event loop runs";
}

} // namespace
} // namespace qtui::testing
