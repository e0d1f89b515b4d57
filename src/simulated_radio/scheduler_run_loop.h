// A run loop over any scheduler: each added timer fires every interval until
// it is invalidated. With a virtual clock it runs the controller's poll on
// simulated time.
#pragma once

#include "app/timer.h"
#include "simulated_radio/scheduler.h"

#include <memory>

namespace simradio {

class SchedulerRunLoop : public app::RunLoop {
public:
    explicit SchedulerRunLoop(std::shared_ptr<Scheduler> scheduler) : scheduler_(std::move(scheduler)) {}

    // There is one mode only: every timer fires whatever mode it was added in.
    void addTimer(std::shared_ptr<app::Timer> timer, std::string_view mode) override;

private:
    std::shared_ptr<Scheduler> scheduler_;
};

} // namespace simradio
