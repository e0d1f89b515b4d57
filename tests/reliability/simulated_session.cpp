#include "simulated_session.h"

#include "simulated_radio/scheduler_run_loop.h"
#include "simulated_radio/simulated_central_manager.h"
#include "text_checks.h"

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
    if (const auto fault = lineFault(line); firstFault.empty() && !fault.empty())
        firstFault = fault + ": " + std::string(line);
}

SimulatedSession::SimulatedSession(simradio::SimulatedWorld world,
                                   std::shared_ptr<simradio::VirtualClock> clock,
                                   std::shared_ptr<simradio::Scheduler> scheduler)
    : clock(clock)
{
    if (!scheduler)
        scheduler = clock;
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
    const auto& listed = *controller->peripherals;
    const auto row = [&] {
        return std::find_if(listed.begin(), listed.end(),
                            [&](const auto& entry) { return entry->name() == name; }) -
               listed.begin();
    };
    if (!clock->advanceUntil([&] { return row() < static_cast<long>(listed.size()); },
                             simradio::Duration{60'000}))
        return false;
    table->selection = {row()};
    controller->tableViewSelectionDidChange(ui::Notification{table});
    return true;
}

std::shared_ptr<simradio::SimulatedPeripheral>
SimulatedSession::peripheral(const std::string& identifier) const
{
    return std::static_pointer_cast<simradio::SimulatedCentralManager>(controller->centralManager)
        ->peripheral(identifier);
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

} // namespace reliability
