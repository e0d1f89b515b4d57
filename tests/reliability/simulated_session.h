// The controller over the simulated radio on a virtual clock, as the soak and
// flood tests and the benchmark programs run it: a log that keeps nothing,
// a scheduler that times every callback, and the heap in use.
#pragma once

#include "app/view_controller.h"
#include "fake_platform.h"
#include "simulated_radio/scheduler.h"
#include "simulated_radio/simulated_central_manager.h"
#include "simulated_radio/simulated_world.h"
#include "simulated_radio/virtual_clock.h"

#include <chrono>
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

namespace reliability {

// Bytes the program has allocated and not freed.
std::size_t heapInUse();

// A log that keeps nothing: it counts lines and remembers the first one that
// is not a printable line of UTF-8.
class CountingLog : public app::LogSink {
public:
    void writeLine(std::string_view line) override;
    std::size_t lines = 0;
    std::size_t bytes = 0;
    std::string firstFault;
};

// Posts through another scheduler and measures how long each callback runs:
// the time the event loop is blocked by it.
class TimedScheduler : public simradio::Scheduler {
public:
    explicit TimedScheduler(std::shared_ptr<simradio::Scheduler> inner) : inner_(std::move(inner)) {}
    void post(simradio::Duration delay, std::function<void()> callback) override;

    std::chrono::nanoseconds longest{0};
    std::chrono::nanoseconds total{0};
    std::size_t callbacks = 0;

private:
    std::shared_ptr<simradio::Scheduler> inner_;
};

struct SimulatedSession {
    explicit SimulatedSession(simradio::SimulatedWorld world);

    void scanOn();
    // Runs the clock until a peripheral with that name is listed, then selects its row.
    bool selectByName(const std::string& name);
    std::shared_ptr<simradio::SimulatedPeripheral> peripheral(const std::string& identifier) const;

    std::shared_ptr<simradio::VirtualClock> clock = std::make_shared<simradio::VirtualClock>();
    std::shared_ptr<TimedScheduler> scheduler = std::make_shared<TimedScheduler>(clock);
    std::shared_ptr<CountingLog> log = std::make_shared<CountingLog>();
    std::shared_ptr<fake::TableView> table = std::make_shared<fake::TableView>();
    std::shared_ptr<fake::TextField> temperature = std::make_shared<fake::TextField>();
    std::shared_ptr<fake::TextField> humidity = std::make_shared<fake::TextField>();
    std::shared_ptr<fake::Button> button = std::make_shared<fake::Button>();
    std::shared_ptr<ViewController> controller;
};

// What a soak of the default world's meter measured.
struct SoakFigures {
    // The heap in use at the end of each hour, from the first on.
    std::vector<std::size_t> heapAtHour;
    std::size_t requests = 0;
    std::size_t framesShown = 0;
    std::size_t logLines = 0;
    std::chrono::nanoseconds longestCallback{0};
    std::string logFault;
};

// Distinct named peripherals, FLOOD-0 to FLOOD-<count - 1>, each reported once
// within the first five seconds of a scan at -40 to -98 dBm.
simradio::SimulatedWorld floodWorld(int count);

// The strength at which floodWorld's peripheral of that index reports.
int floodRssi(int index);

// Scans, selects the meter and polls it for the given hours of virtual time.
SoakFigures runSoak(int hours);

} // namespace reliability
