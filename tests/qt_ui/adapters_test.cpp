// The adapters below the window: the poll's run loop on Qt timers, the log
// on a file descriptor, and the button that the program sets.
#include "qt_ui/controls.h"
#include "qt_ui/file_log_sink.h"
#include "qt_ui/qt_run_loop.h"

#include <QPushButton>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

#include <fcntl.h>
#include <string>
#include <unistd.h>

namespace qtui {
namespace {

TEST(QtRunLoop, FiresARepeatingTimerOnAPreciseQtTimerUntilItIsInvalidated)
{
    QtRunLoop runLoop;
    int fired = 0;
    auto timer = std::make_shared<app::Timer>(
        std::chrono::duration<double>(0.02),
        [&](app::Timer& firing) {
            if (++fired == 3)
                firing.invalidate();
        },
        true);
    runLoop.addTimer(timer, app::RunLoop::defaultMode);
    EXPECT_EQ(fired, 0) << "fired from inside addTimer";
    ASSERT_TRUE(QTest::qWaitFor([&] { return fired == 3; }, 20'000));
    QTest::qWait(200);
    EXPECT_EQ(fired, 3);
}

class Pipe {
public:
    Pipe()
    {
        EXPECT_EQ(::pipe(ends_), 0);
        ::fcntl(ends_[0], F_SETFL, O_NONBLOCK);
    }
    ~Pipe()
    {
        ::close(ends_[0]);
        ::close(ends_[1]);
    }
    int writer() const { return ends_[1]; }
    std::string readAvailable() const
    {
        char buffer[4096];
        const auto got = ::read(ends_[0], buffer, sizeof buffer);
        return got > 0 ? std::string(buffer, static_cast<std::size_t>(got)) : std::string();
    }

private:
    int ends_[2] = {-1, -1};
};

TEST(FileLogSink, EachLineReachesTheReaderAtOnceWithItsNewline)
{
    Pipe pipe;
    FileLogSink sink(pipe.writer());
    sink.writeLine("Now Scanning...");
    EXPECT_EQ(pipe.readAvailable(), "Now Scanning...\n") << "held back in a buffer";
    sink.writeLine("");
    sink.writeLine("data = 94");
    EXPECT_EQ(pipe.readAvailable(), "\ndata = 94\n");
}

TEST(CheckableButton, StateTheProgramSetsDoesNotRunTheButtonsAction)
{
    QPushButton widget;
    widget.setCheckable(true);
    QSignalSpy toggled(&widget, &QPushButton::toggled);
    CheckableButton button(&widget);

    button.setState(ui::controlState::on);
    EXPECT_TRUE(widget.isChecked());
    EXPECT_EQ(button.state(), ui::controlState::on);
    button.setState(ui::controlState::off);
    EXPECT_EQ(button.state(), ui::controlState::off);
    EXPECT_EQ(toggled.count(), 0);

    widget.click();
    EXPECT_EQ(toggled.count(), 1);
    EXPECT_EQ(button.state(), ui::controlState::on);
}

} // namespace
} // namespace qtui
