// app_bench_demo SECONDS, app_bench_bluez SECONDS: the application's window as
// thermohygro-demo (simulated radio) or thermohygro (Qt Bluetooth) builds it;
// app_bench_plain SECONDS: a plain Qt Widgets reader over Qt Bluetooth
// (bench/plain_reader.cpp). Each is driven like a
// user: once the window is shown and the radio is on, Scan is switched on;
// the meter's row is selected as soon as it is listed; then the poll runs
// for SECONDS and the program quits. The log goes to standard output as in
// the program. The figures go to standard error, one "bench NAME VALUE" line
// each, times in milliseconds on the monotonic clock. BENCH_SPAWNED_AT, the
// monotonic time in seconds at which the parent started this process, dates
// the process start. bench/app_bench.py runs it and makes the table.
#include "app/program_wide.h"
#include "bench_radio.h"
#include "bench_window.h"
#include "qt_ui/file_log_sink.h"

#include <QAbstractItemModel>
#include <QAccessible>
#include <QApplication>
#include <QMetaEnum>
#include <QPushButton>
#include <QTableView>
#include <QTimer>

#include <sys/resource.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

namespace {

using Clock = std::chrono::steady_clock;

double milliseconds(Clock::duration duration)
{
    return std::chrono::duration<double, std::milli>(duration).count();
}

void figure(const std::string& name, double value)
{
    std::fprintf(stderr, "bench %s %.3f\n", name.c_str(), value);
    std::fflush(stderr);
}

long residentKilobytes()
{
    std::ifstream status("/proc/self/status");
    for (std::string line; std::getline(status, line);)
        if (line.starts_with("VmRSS:"))
            return std::strtol(line.c_str() + 6, nullptr, 10);
    return -1;
}

// CPU time and voluntary context switches (the times a thread went to sleep
// and was woken) of the whole process and of its GUI thread.
struct Usage {
    static Usage now()
    {
        rusage process{};
        rusage thread{};
        getrusage(RUSAGE_SELF, &process);
        getrusage(RUSAGE_THREAD, &thread);
        const auto cpu = [](const rusage& usage) {
            return std::chrono::seconds(usage.ru_utime.tv_sec + usage.ru_stime.tv_sec) +
                   std::chrono::microseconds(usage.ru_utime.tv_usec + usage.ru_stime.tv_usec);
        };
        return {cpu(process), process.ru_nvcsw, thread.ru_nvcsw};
    }

    std::chrono::microseconds cpu;
    long wakeUps;
    long guiThreadWakeUps;
};

// The program's log, each line stamped as the controller writes it.
class TimedLog : public app::LogSink {
public:
    using Watch = std::function<void(std::string_view line, Clock::time_point at)>;

    TimedLog(std::shared_ptr<app::LogSink> sink, Watch watch)
        : sink_(std::move(sink)), watch_(std::move(watch))
    {
    }

    void writeLine(std::string_view line) override
    {
        watch_(line, Clock::now());
        sink_->writeLine(line);
    }

private:
    std::shared_ptr<app::LogSink> sink_;
    Watch watch_;
};

// Stands between the controller and a reading field's adapter: notes when
// setting the text, with all the window does about it, has returned.
class TimedField : public ui::TextField {
public:
    TimedField(std::shared_ptr<ui::TextField> field, std::function<void()> done)
        : field_(std::move(field)), done_(std::move(done))
    {
    }

    void setStringValue(const std::string& text) override
    {
        field_->setStringValue(text);
        done_();
    }
    std::string stringValue() const override { return field_->stringValue(); }

private:
    std::shared_ptr<ui::TextField> field_;
    std::function<void()> done_;
};

// Sees every event of the GUI thread: tells of the first paint, and counts
// the events that wake the thread while the poll runs, by kind and receiver.
// A timer event is due when it is the poll's (2 s), the age refresh's (1 s)
// or, over the simulated radio, the radio's own (single-shot timers).
class EventCounter : public QObject {
public:
    explicit EventCounter(bool simulatedRadio) : simulatedRadio_(simulatedRadio) {}

    bool counting = false;
    long undueTimers = 0;
    // By event type, receiver class and timer interval or widget; named once the counting is over.
    using Key = std::tuple<QEvent::Type, const QMetaObject*, int, QWidget*>;
    std::map<Key, long> counts;
    std::function<void()> firstPaint;

    bool eventFilter(QObject* receiver, QEvent* event) override
    {
        const auto type = event->type();
        if (type == QEvent::Paint && firstPaint)
            std::exchange(firstPaint, {})();
        if (!counting || (type != QEvent::Timer && type != QEvent::SockAct && type != QEvent::MetaCall &&
                          type != QEvent::UpdateRequest && type != QEvent::Paint))
            return false;
        const auto* timer = qobject_cast<QTimer*>(receiver);
        const int interval = timer ? timer->interval() : -1;
        // Widgets stay for the whole run; timers and other receivers may not.
        ++counts[{type, receiver->metaObject(), interval, qobject_cast<QWidget*>(receiver)}];
        const bool due = interval == 2000 || interval == 1000 ||
                         (simulatedRadio_ && !timer && receiver->metaObject()->className() == singleShot);
        if (type == QEvent::Timer && !due)
            ++undueTimers;
        return false;
    }

    // "Timer QTimer 1000 ms", "Paint QLineEdit Humidity age", ...
    std::map<std::string, long> namedCounts() const
    {
        std::map<std::string, long> named;
        for (const auto& [key, count] : counts) {
            const auto& [type, metaObject, interval, widget] = key;
            std::string name = QMetaEnum::fromType<QEvent::Type>().valueToKey(type);
            name += std::string(" ") + metaObject->className();
            if (interval >= 0)
                name += " " + std::to_string(interval) + " ms";
            if (widget)
                name += " " + widget->accessibleName().toStdString();
            named[name] += count;
        }
        return named;
    }

private:
    static constexpr std::string_view singleShot = "QSingleShotTimer";
    bool simulatedRadio_;
};

class Bench {
public:
    explicit Bench(std::chrono::seconds span)
        : span_(span), diagnostics_(std::make_shared<qtui::DiagnosticLog>()),
          radio_(bench::makeRadio(diagnostics_)), events_(radio_.onTimers)
    {
    }

    int run(QApplication& app)
    {
        auto log = std::make_shared<TimedLog>(
            std::make_shared<qtui::FileLogSink>(),
            [this](std::string_view line, Clock::time_point at) { logged(line, at); });
        const auto window = bench::makeWindow(
            {std::move(radio_.makeCentralManager), log, std::make_shared<ProgramWideValues>()});
        window_ = window.get();
        diagnostics_->setListener([&window](std::string_view line) { window->showDiagnostic(line); });
        timeFields();
        watchRows();
        events_.firstPaint = [this] { QTimer::singleShot(0, [this] { shown(); }); };
        app.installEventFilter(&events_);
        window->show();
        const int exitCode = app.exec();
        diagnostics_->setListener({});
        app.removeEventFilter(&events_);
        return exitCode != 0 ? exitCode : (pollEnd_ ? 0 : 1);
    }

private:
    // Called once the first paint of the window is done: the window is on screen.
    void shown()
    {
        shown_ = Clock::now();
        if (const char* spawned = std::getenv("BENCH_SPAWNED_AT")) {
            const auto start = Clock::time_point(std::chrono::duration_cast<Clock::duration>(
                std::chrono::duration<double>(std::atof(spawned))));
            figure("start_to_shown", milliseconds(*shown_ - start));
        }
        figure("accessibility_active_at_start", QAccessible::isActive());
        scanWhenReady();
    }

    void timeFields()
    {
        auto& controller = window_->controller();
        for (auto* outlet : {&controller.temperatureTxtFld, &controller.moistureTxtFld}) {
            auto timed = std::make_shared<TimedField>(outlet->lock(), [this] { fieldSet(Clock::now()); });
            *outlet = timed;
            timedFields_.push_back(std::move(timed));
        }
    }

    void watchRows()
    {
        auto* model = window_->deviceTable().model();
        const auto look = [this, model] {
            for (int row = 0; row < model->rowCount() && !rowListed_; ++row)
                if (model->index(row, 0).data().toString() == radio_.meterName) {
                    rowListed_ = Clock::now();
                    figure("scan_to_row", milliseconds(*rowListed_ - *scanStarted_));
                    QTimer::singleShot(0, [this, row] { select(row); });
                }
        };
        QObject::connect(model, &QAbstractItemModel::rowsInserted, model, look);
        QObject::connect(model, &QAbstractItemModel::modelReset, model, look);
    }

    void scanWhenReady()
    {
        if (!shown_ || !radioOn_ || scanStarted_)
            return;
        scanStarted_ = Clock::now();
        window_->scanButton().click();
    }

    void select(int row)
    {
        auto& table = window_->deviceTable();
        selected_ = Clock::now();
        table.selectionModel()->select(table.model()->index(row, 0),
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    }

    // The steps of the road from the selection to the first reading, as the log tells them.
    void logged(std::string_view line, Clock::time_point at)
    {
        if (line == "Bluetooth Enabled" && !radioOn_) {
            radioOn_ = true;
            QTimer::singleShot(0, [this] { scanWhenReady(); });
        }
        if (line.starts_with("didUpdateValueFor characteristic UUID: "))
            frameArrived_ = at;
        if (!selected_)
            return;
        const std::pair<std::string_view, const char*> steps[] = {
            {"Connection complete", "connected"},
            {"Discovered Services: ", "services"},
            {"characteristic FF01 write: ", "characteristics"},
            {"1 bytes", "first_request"},
            {"Subscribed. Notification has begun for: FF02", "subscribed"},
            {"didUpdateValueFor characteristic UUID: FF02", "first_frame"},
        };
        for (const auto& [start, name] : steps)
            if (line.starts_with(start) && !timeline_.contains(name)) {
                timeline_.insert(name);
                figure(std::string("timeline_") + name, milliseconds(at - *selected_));
            }
        if (line == "data = 94" && firstReading_)
            polled(at);
    }

    void fieldSet(Clock::time_point at)
    {
        if (frameArrived_ && !firstReading_ && selected_) {
            firstReading_ = at;
            figure("selection_to_reading", milliseconds(at - *selected_));
            figure("rss_first_reading_kb", static_cast<double>(residentKilobytes()));
            figure("accessibility_active", QAccessible::isActive());
        }
        if (frameArrived_ && pollStart_)
            latencies_.push_back(milliseconds(at - *frameArrived_));
        frameArrived_.reset();
    }

    // A poll tick: the first after the first reading starts the measured span,
    // the first after the span ends it.
    void polled(Clock::time_point at)
    {
        if (!pollStart_) {
            pollStart_ = at;
            pollUsage_ = Usage::now();
            events_.counting = true;
            return;
        }
        ++polls_;
        if (at - *pollStart_ < span_ || pollEnd_)
            return;
        pollEnd_ = at;
        const auto usage = Usage::now();
        events_.counting = false;
        const double per100 = 100.0 / polls_;
        figure("polls", polls_);
        figure("poll_span_s", milliseconds(at - *pollStart_) / 1000);
        figure("cpu_per_100_polls_ms",
               std::chrono::duration<double, std::milli>(usage.cpu - pollUsage_.cpu).count() * per100);
        figure("wakeups_per_100_polls", (usage.wakeUps - pollUsage_.wakeUps) * per100);
        figure("gui_wakeups_per_100_polls", (usage.guiThreadWakeUps - pollUsage_.guiThreadWakeUps) * per100);
        figure("undue_timers_per_100_polls", static_cast<double>(events_.undueTimers) * per100);
        figure("rss_end_kb", static_cast<double>(residentKilobytes()));
        std::sort(latencies_.begin(), latencies_.end());
        figure("frames", static_cast<double>(latencies_.size()));
        if (!latencies_.empty()) {
            const auto at = [this](double share) {
                return latencies_[std::min(latencies_.size() - 1,
                                           static_cast<std::size_t>(share * latencies_.size()))];
            };
            figure("frame_to_field_p50", at(0.5));
            figure("frame_to_field_p99", at(0.99));
        }
        for (const auto& [what, count] : events_.namedCounts())
            std::fprintf(stderr, "bench-events %s %.1f\n", what.c_str(), count * per100);
        figure("accessibility_active_at_end", QAccessible::isActive());
        QTimer::singleShot(0, [] { QApplication::quit(); });
    }

    const Clock::duration span_;
    std::shared_ptr<qtui::DiagnosticLog> diagnostics_;
    bench::Radio radio_;
    bench::Window* window_ = nullptr;
    EventCounter events_;
    std::vector<std::shared_ptr<TimedField>> timedFields_;
    std::set<std::string> timeline_;
    bool radioOn_ = false;
    std::optional<Clock::time_point> shown_, scanStarted_, rowListed_, selected_, firstReading_;
    std::optional<Clock::time_point> frameArrived_, pollStart_, pollEnd_;
    Usage pollUsage_{};
    long polls_ = 0;
    std::vector<double> latencies_;
};

} // namespace

int main(int argc, char** argv)
{
    if (argc != 2) {
        std::fprintf(stderr, "usage: %s SECONDS_OF_POLLING\n", argv[0]);
        return 2;
    }
    QApplication app(argc, argv);
    Bench bench(std::chrono::seconds(std::atoi(argv[1])));
    return bench.run(app);
}
