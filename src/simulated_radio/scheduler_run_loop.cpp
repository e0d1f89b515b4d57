#include "simulated_radio/scheduler_run_loop.h"

#include <algorithm>
#include <chrono>

namespace simradio {
namespace {

// The pending firing holds the scheduler weakly, so a scheduler that goes
// away with timers still posted is not kept alive by them.
void scheduleNextFiring(const std::weak_ptr<Scheduler>& scheduler, std::shared_ptr<app::Timer> timer)
{
    const auto live = scheduler.lock();
    if (!live)
        return;
    // A zero interval would fire forever without time passing.
    const auto interval = std::max(std::chrono::round<Duration>(timer->timeInterval()), Duration{1});
    live->post(interval, [scheduler, timer] {
        timer->fire();
        if (timer->isValid())
            scheduleNextFiring(scheduler, timer);
    });
}

} // namespace

void SchedulerRunLoop::addTimer(std::shared_ptr<app::Timer> timer, std::string_view)
{
    scheduleNextFiring(scheduler_, std::move(timer));
}

} // namespace simradio
