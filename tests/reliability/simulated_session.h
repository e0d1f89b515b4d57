// The controller over the simulated radio on a virtual clock, as the soak and flood checks and the
// benchmark programs run it, with a log that counts lines and remembers the first malformed one.
#pragma once

#include "fake_platform.h"
#include "simulated_radio/scheduler_run_loop.h"
#include "simulated_radio/simulated_central_manager.h"
#include "simulated_radio/simulated_peripheral.h"
#include "simulated_radio/virtual_clock.h"
#include "text_checks.h"

#include <optional>

#if defined(__GLIBC__)
#include <malloc.h>
// The sanitizer runtime's count, when there is one: its allocator replaces malloc's.
extern "C" __attribute__((weak)) std::size_t __sanitizer_get_current_allocated_bytes();
#elif defined(__APPLE__)
#include <malloc/malloc.h>
#endif

namespace reliability {

// Bytes the program has allocated and not freed; absent where the C library does not say.
inline std::optional<std::size_t> heapInUse()
{
#if defined(__GLIBC__)
    return __sanitizer_get_current_allocated_bytes ? __sanitizer_get_current_allocated_bytes()
                                                   : mallinfo2().uordblks;
#elif defined(__APPLE__)
    malloc_statistics_t statistics{};
    malloc_zone_statistics(nullptr, &statistics);
    return statistics.size_in_use;
#else
    return std::nullopt;
#endif
}

class CountingLog : public app::LogSink {
public:
    void writeLine(std::string_view line) override
    {
        ++lines;
        if (const auto fault = lineFault(line); firstFault.empty() && !fault.empty())
            firstFault = fault + ": " + std::string(line);
    }
    std::size_t lines = 0;
    std::string firstFault;
};

struct SimulatedSession : fake::Window {
    // The radio's callbacks go through the scheduler given, or straight to the clock.
    explicit SimulatedSession(
        simradio::SimulatedWorld world,
        std::shared_ptr<simradio::VirtualClock> clock = std::make_shared<simradio::VirtualClock>(),
        std::shared_ptr<simradio::Scheduler> scheduler = {})
        : clock(clock)
    {
        load(std::make_shared<ViewController>(ViewController::Platform{
            log, simradio::centralManagerFactory(scheduler ? scheduler : clock, std::move(world)),
            std::make_shared<simradio::SchedulerRunLoop>(scheduler ? scheduler : clock),
            std::make_shared<ProgramWideValues>()}));
    }

    // Runs the clock until a peripheral with that name is listed, then selects its row.
    bool selectByName(const std::string& name)
    {
        const auto& listed = *controller->peripherals;
        const auto named = [&] { return std::ranges::find(listed, name, &ble::Peripheral::name); };
        if (!clock->advanceUntil([&] { return named() != listed.end(); }, simradio::Duration{60'000}))
            return false;
        select({named() - listed.begin()});
        return true;
    }

    std::shared_ptr<simradio::SimulatedPeripheral> peripheral(const std::string& identifier) const
    {
        return std::static_pointer_cast<simradio::SimulatedCentralManager>(controller->centralManager)
            ->peripheral(identifier);
    }

    std::shared_ptr<simradio::VirtualClock> clock;
    std::shared_ptr<CountingLog> log = std::make_shared<CountingLog>();
};

// Distinct named peripherals, FLOOD-0 to FLOOD-<count - 1>, each reported once
// within the first five seconds of a scan at a strength of -40 - index % 59.
inline simradio::SimulatedWorld floodWorld(int count)
{
    simradio::SimulatedWorld world;
    for (int index = 0; index < count; ++index) {
        auto device = simradio::plainPeripheral("FLOOD-" + std::to_string(index),
                                                {{"Flood " + std::to_string(index), -40 - index % 59}});
        device.firstReportAfter = simradio::Duration{1 + index % 5'000};
        world.peripherals.push_back(std::move(device));
    }
    return world;
}

} // namespace reliability
