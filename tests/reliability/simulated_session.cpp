#include "simulated_session.h"

#include "simulated_radio/scheduler_run_loop.h"
#include "text_checks.h"

#include <algorithm>

#if defined(__SANITIZE_ADDRESS__)
#define THERMOHYGRO_ASAN 1
#elif defined(__has_feature)
#if __has_feature(address_sanitizer)
#define THERMOHYGRO_ASAN 1
#endif
#endif

#ifdef THERMOHYGRO_ASAN
// From the sanitizer runtime (sanitizer/allocator_interface.h, which not every compiler ships).
extern "C" std::size_t __sanitizer_get_current_allocated_bytes();
#else
#include <malloc.h>
#endif

namespace reliability {

std::size_t heapInUse()
{
#ifdef THERMOHYGRO_ASAN
    // AddressSanitizer's allocator replaces malloc's, so ask it.
    return __sanitizer_get_current_allocated_bytes();
#else
    return mallinfo2().uordblks;
#endif
}

void CountingLog::writeLine(std::string_view line)
{
    ++lines;
    bytes += line.size() + 1;
    if (firstFault.empty())
        if (const auto fault = lineFault(line); !fault.empty())
            firstFault = fault + ": " + std::string(line);
}

void TimedScheduler::post(simradio::Duration delay, std::function<void()> callback)
{
    inner_->post(delay, [this, callback = std::move(callback)] {
        const auto started = std::chrono::steady_clock::now();
        callback();
        const auto took = std::chrono::steady_clock::now() - started;
        longest = std::max(longest, std::chrono::duration_cast<std::chrono::nanoseconds>(took));
        total += took;
        ++callbacks;
    });
}

SimulatedSession::SimulatedSession(simradio::SimulatedWorld world)
{
    controller = std::make_shared<ViewController>(ViewController::Platform{
        log, simradio::centralManagerFactory(scheduler, std::move(world)),
        std::make_shared<simradio::SchedulerRunLoop>(scheduler), std::make_shared<ProgramWideValues>()});
    controller->tableView = table;
    controller->temperatureTxtFld = temperature;
    controller->moistureTxtFld = humidity;
    controller->scanButton = button;
    controller->viewDidLoad();
}

void SimulatedSession::scanOn()
{
    button->currentState = ui::controlState::on;
    controller->refreshAction(*button);
}

bool SimulatedSession::selectByName(const std::string& name)
{
    long row = -1;
    const auto listed = [&] {
        const auto& peripherals = *controller->peripherals;
        const auto found = std::find_if(peripherals.begin(), peripherals.end(),
                                        [&](const auto& peripheral) { return peripheral->name() == name; });
        row = found == peripherals.end() ? -1 : static_cast<long>(found - peripherals.begin());
        return row >= 0;
    };
    if (!clock->advanceUntil(listed, simradio::Duration{60'000}))
        return false;
    table->selection = {row};
    controller->tableViewSelectionDidChange(ui::Notification{table});
    return true;
}

std::shared_ptr<simradio::SimulatedPeripheral>
SimulatedSession::peripheral(const std::string& identifier) const
{
    return std::dynamic_pointer_cast<simradio::SimulatedCentralManager>(controller->centralManager)
        ->peripheral(identifier);
}

int floodRssi(int index)
{
    return -40 - index % 59;
}

simradio::SimulatedWorld floodWorld(int count)
{
    simradio::SimulatedWorld world;
    for (int index = 0; index < count; ++index) {
        auto device = simradio::plainPeripheral("FLOOD-" + std::to_string(index),
                                                {{"Flood " + std::to_string(index), floodRssi(index)}});
        device.firstReportAfter = simradio::Duration{1 + index % 5'000};
        world.peripherals.push_back(std::move(device));
    }
    return world;
}

SoakFigures runSoak(int hours)
{
    SoakFigures figures;
    SimulatedSession session(simradio::defaultWorld());
    session.scanOn();
    if (!session.selectByName("SIM Thermo-Hygrometer"))
        return figures;
    constexpr simradio::Duration hour{3'600'000};
    for (int elapsed = 0; elapsed < hours; ++elapsed) {
        session.clock->advanceBy(hour);
        figures.heapAtHour.push_back(heapInUse());
    }
    // The answer to the last tick's request.
    session.clock->advanceBy(simradio::Duration{1'000});
    const auto meter = session.peripheral("02:00:5E:10:00:01");
    figures.requests = meter ? meter->measurementRequestsReceived() : 0;
    figures.framesShown = static_cast<std::size_t>(session.temperature->writes + session.humidity->writes);
    figures.logLines = session.log->lines;
    figures.longestCallback = session.scheduler->longest;
    figures.logFault = session.log->firstFault;
    return figures;
}

} // namespace reliability
