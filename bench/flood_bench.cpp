// flood_bench [count]: one scan that hears `count` (10,000 by default)
// distinct named peripherals within five seconds, twice:
//  1. the controller alone on virtual time, timing every radio callback;
//  2. the real window (offscreen) on the Qt event loop in real time, with a
//     1 ms heartbeat timer whose longest gap is the longest time the event
//     loop could not react to the user.
#include "qt_ui/file_log_sink.h"
#include "qt_ui/main_window.h"
#include "simulated_radio/qt_scheduler.h"
#include "simulated_radio/simulated_central_manager.h"
#include "simulated_session.h"
#include "timed_scheduler.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QPushButton>
#include <QTimer>

#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>

namespace {

// The window's log as the program writes it, a write(2) a line, to /dev/null; counted.
class NullLog : public app::LogSink {
public:
    NullLog() : fd_(::open("/dev/null", O_WRONLY | O_CLOEXEC)), file_(fd_) {}
    ~NullLog() override { ::close(fd_); }
    NullLog(const NullLog&) = delete;
    NullLog& operator=(const NullLog&) = delete;

    void writeLine(std::string_view line) override
    {
        ++lines;
        file_.writeLine(line);
    }
    std::size_t lines = 0;

private:
    int fd_;
    qtui::FileLogSink file_;
};

double milliseconds(std::chrono::nanoseconds duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

void controllerAlone(int count)
{
    auto clock = std::make_shared<simradio::VirtualClock>();
    auto scheduler = std::make_shared<TimedScheduler>(clock);
    reliability::SimulatedSession session(reliability::floodWorld(count), clock, scheduler);
    session.toggleScan(true);
    const auto started = std::chrono::steady_clock::now();
    clock->advanceBy(simradio::Duration{10'000});
    const auto wall = std::chrono::steady_clock::now() - started;
    const auto& timing = *scheduler;
    std::printf(
        "controller alone: %zu listed of %d, %zu callbacks in %.0f ms wall, longest callback %.3f ms, "
        "mean %.3f ms\n",
        session.controller->peripherals->size(), count, timing.callbacks, milliseconds(wall),
        milliseconds(timing.longest), milliseconds(timing.total) / static_cast<double>(timing.callbacks));
}

int windowOnTheEventLoop(int count, QApplication& app)
{
    auto scheduler = std::make_shared<TimedScheduler>(std::make_shared<simradio::QtScheduler>());
    auto log = std::make_shared<NullLog>();
    qtui::MainWindow window({simradio::centralManagerFactory(scheduler, reliability::floodWorld(count)), log,
                             std::make_shared<ProgramWideValues>()});
    window.show();

    QElapsedTimer clock;
    qint64 lastBeat = 0;
    qint64 longestGap = 0;
    QTimer heartbeat;
    heartbeat.setInterval(1);
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        const qint64 now = clock.nsecsElapsed();
        longestGap = std::max(longestGap, now - lastBeat);
        lastBeat = now;
    });
    qint64 allListedAt = -1;
    QTimer watch;
    watch.setInterval(20);
    QObject::connect(&watch, &QTimer::timeout, [&] {
        const auto listed = window.controller()->peripherals->size();
        if (listed >= static_cast<std::size_t>(count) && allListedAt < 0)
            allListedAt = clock.nsecsElapsed();
        // Some time after the last report for the view to settle, or a limit.
        if ((allListedAt >= 0 && clock.nsecsElapsed() - allListedAt > 1'000'000'000LL) ||
            clock.nsecsElapsed() > 600'000'000'000LL)
            app.quit();
    });

    clock.start();
    heartbeat.start();
    watch.start();
    window.scanButton()->click();
    app.exec();

    const auto listed = window.controller()->peripherals->size();
    std::printf(
        "window on the Qt event loop: %zu listed of %d, all listed after %.0f ms (the reports span 5000 "
        "ms), longest event-loop block %.1f ms, longest radio callback %.3f ms, %zu log lines\n",
        listed, count, allListedAt / 1e6, longestGap / 1e6, milliseconds(scheduler->longest), log->lines);
    return listed == static_cast<std::size_t>(count) ? 0 : 1;
}

} // namespace

int main(int argc, char** argv)
{
    const int count = argc > 1 ? std::atoi(argv[1]) : 10'000;
    if (qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    controllerAlone(count);
    return windowOnTheEventLoop(count, app);
}
