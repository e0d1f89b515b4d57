// The real window over the simulated radio on the Qt event loop, with its
// log captured, and what a user does with it.
#pragma once

#include "qt_ui/main_window.h"
#include "simulated_radio/qt_scheduler.h"
#include "simulated_radio/simulated_central_manager.h"

#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>
#include <string>
#include <vector>

namespace qtui::testing {

// Generous: a slow machine must not fail a test that would pass.
inline constexpr int waitLimitMs = 20'000;

class RecordingLog : public app::LogSink {
public:
    void writeLine(std::string_view line) override { lines.emplace_back(line); }

    long count(std::string_view line) const { return std::count(lines.begin(), lines.end(), line); }
    bool contains(std::string_view line) const { return count(line) > 0; }

    std::vector<std::string> lines;
};

// What a user does with the window and sees in it.
class WindowDriver {
public:
    void drive(MainWindow* window) { driven_ = window; }

    QAbstractItemModel& model() const { return *driven_->deviceTable()->model(); }
    QString cell(int row, int column) const { return model().index(row, column).data().toString(); }

    // The row showing that name, or -1.
    int rowOf(const QString& name) const
    {
        for (int row = 0; row < model().rowCount(); ++row)
            if (cell(row, 0) == name)
                return row;
        return -1;
    }

    bool waitForRow(const QString& name) const
    {
        return QTest::qWaitFor([&] { return rowOf(name) >= 0; }, waitLimitMs);
    }

    void clickRow(int row) const
    {
        const auto area = driven_->deviceTable()->visualRect(model().index(row, 0));
        QTest::mouseClick(driven_->deviceTable()->viewport(), Qt::LeftButton, {}, area.center());
    }

    bool readingsShown() const
    {
        return !driven_->temperatureField()->text().isEmpty() && !driven_->humidityField()->text().isEmpty();
    }

private:
    MainWindow* driven_ = nullptr;
};

class WindowTest : public ::testing::Test, protected WindowDriver {
protected:
    void SetUp() override
    {
        window = std::make_unique<MainWindow>(
            MainWindow::Backend{simradio::centralManagerFactory(scheduler, simradio::defaultWorld()), log,
                                std::make_shared<ProgramWideValues>()});
        drive(window.get());
        window->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(window.get()));
    }

    std::shared_ptr<simradio::QtScheduler> scheduler = std::make_shared<simradio::QtScheduler>();
    std::shared_ptr<RecordingLog> log = std::make_shared<RecordingLog>();
    std::unique_ptr<MainWindow> window;
};

} // namespace qtui::testing
