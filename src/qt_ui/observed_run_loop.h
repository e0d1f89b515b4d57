// A run loop that hands each timer to another run loop and tells its observer
// after every firing: the window learns of each poll tick, whichever run loop
// (the Qt event loop's, or a simulated clock's) runs the poll.
#pragma once

#include "app/timer.h"

#include <functional>
#include <memory>

namespace qtui {

class ObservedRunLoop final : public app::RunLoop {
public:
    ObservedRunLoop(std::shared_ptr<app::RunLoop> runLoop, std::function<void()> fired)
        : runLoop_(std::move(runLoop)), fired_(std::move(fired))
    {
    }

    void addTimer(std::shared_ptr<app::Timer> timer, std::string_view mode) override
    {
        auto relay = std::make_shared<app::Timer>(
            timer->timeInterval(),
            [timer, fired = fired_](app::Timer& self) {
                timer->fire();
                // Invalidating the timer invalidates its relay, so the run loop lets both go.
                if (!timer->isValid())
                    self.invalidate();
                fired();
            },
            timer->repeats());
        runLoop_->addTimer(std::move(relay), mode);
    }

private:
    std::shared_ptr<app::RunLoop> runLoop_;
    std::function<void()> fired_;
};

} // namespace qtui
