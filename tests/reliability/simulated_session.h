// The controller over the simulated radio on a virtual clock, as the soak and
// flood checks and the benchmark programs run it, with a log that keeps
// nothing: it counts lines and remembers the first malformed one.
#pragma once

#include "fake_platform.h"
#include "simulated_radio/simulated_peripheral.h"
#include "simulated_radio/simulated_world.h"
#include "simulated_radio/virtual_clock.h"

namespace reliability {

// Bytes the program has allocated and not freed.
std::size_t heapInUse();

class CountingLog : public app::LogSink {
public:
    void writeLine(std::string_view line) override;
    std::size_t lines = 0;
    std::string firstFault;
};

struct SimulatedSession {
    // The radio's callbacks are posted through the scheduler given, or straight to the clock.
    explicit SimulatedSession(
        simradio::SimulatedWorld world,
        std::shared_ptr<simradio::VirtualClock> clock = std::make_shared<simradio::VirtualClock>(),
        std::shared_ptr<simradio::Scheduler> scheduler = {});
    void scanOn();
    // Runs the clock until a peripheral with that name is listed, then selects its row.
    bool selectByName(const std::string& name);
    std::shared_ptr<simradio::SimulatedPeripheral> peripheral(const std::string& identifier) const;

    std::shared_ptr<simradio::VirtualClock> clock;
    std::shared_ptr<CountingLog> log = std::make_shared<CountingLog>();
    std::shared_ptr<fake::TableView> table = std::make_shared<fake::TableView>();
    std::shared_ptr<fake::TextField> temperature = std::make_shared<fake::TextField>();
    std::shared_ptr<fake::TextField> humidity = std::make_shared<fake::TextField>();
    std::shared_ptr<fake::Button> button = std::make_shared<fake::Button>();
    std::shared_ptr<ViewController> controller;
};

// Distinct named peripherals, FLOOD-0 to FLOOD-<count - 1>, each reported once
// within the first five seconds of a scan at a strength of -40 - index % 59.
simradio::SimulatedWorld floodWorld(int count);

} // namespace reliability
