// The application entry as thermohygro-demo runs it: the titled window over
// the simulated radio on the Qt event loop, until the user quits.
#include "qt_ui/application.h"
#include "qt_ui/main_window.h"
#include "simulated_radio/qt_scheduler.h"
#include "simulated_radio/simulated_central_manager.h"

#include <QPushButton>
#include <QTableView>
#include <QTest>
#include <QTimer>

#include <gtest/gtest.h>

namespace qtui {
namespace {

MainWindow* shownMainWindow()
{
    for (auto* widget : QApplication::topLevelWidgets())
        if (auto* window = qobject_cast<MainWindow*>(widget); window && window->isVisible())
            return window;
    return nullptr;
}

TEST(ApplicationEntry, ShowsTheTitledWindowThatScansTheSimulatedRadioUntilTheUserQuits)
{
    QString title;
    bool listed = false;
    QTimer::singleShot(0, [&] {
        if (auto* window = shownMainWindow()) {
            title = window->windowTitle();
            window->scanButton()->click();
            listed = QTest::qWaitFor([&] { return window->deviceTable()->model()->rowCount() > 0; }, 10'000);
        }
        QApplication::quit();
    });
    EXPECT_EQ(runApplication(*qApp,
                             simradio::centralManagerFactory(std::make_shared<simradio::QtScheduler>(),
                                                             simradio::defaultWorld()),
                             QStringLiteral("Demo")),
              0);
    EXPECT_EQ(title, QStringLiteral("Demo"));
    EXPECT_TRUE(listed);
    EXPECT_EQ(shownMainWindow(), nullptr) << "the window lives as long as the event loop runs";
}

} // namespace
} // namespace qtui
