#include "simulated_session.h"

#include "simulated_radio/scheduler_run_loop.h"
#include "simulated_radio/simulated_central_manager.h"
#include "text_checks.h"

#include <malloc.h>

// The sanitizer runtime's count, when there is one: its allocator replaces malloc's.
extern "C" __attribute__((weak)) std::size_t __sanitizer_get_current_allocated_bytes();

namespace reliability {

std::size_t heapInUse()
{
    return __sanitizer_get_current_allocated_bytes ? __sanitizer_get_current_allocated_bytes()
                                                   : mallinfo2().uordblks;
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
    controller = std::make_shared<ViewController>(ViewController::Platform{
        log, simradio::centralManagerFactory(scheduler ? scheduler : clock, std::move(world)),
        std::make_shared<simradio::SchedulerRunLoop>(scheduler ? scheduler : clock),
        std::make_shared<ProgramWideValues>()});
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
    const auto named = [&] { return std::ranges::find(listed, name, [](const auto& entry) { return entry->name(); }); };
    if (!clock->advanceUntil([&] { return named() != listed.end(); }, simradio::Duration{60'000}))
        return false;
    table->selection = {named() - listed.begin()};
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
                                                {{"Flood " + std::to_string(index), -40 - index % 59}});
        device.firstReportAfter = simradio::Duration{1 + index % 5'000};
        world.peripherals.push_back(std::move(device));
    }
    return world;
}

} // namespace reliability
