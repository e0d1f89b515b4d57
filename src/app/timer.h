// A timer that the run loop fires, and the run loop that keeps scheduled timers.
#pragma once

#include <chrono>
#include <functional>
#include <memory>
#include <string_view>

namespace app {

class Timer {
public:
    using Action = std::function<void(Timer&)>;

    // A plain timer: no interval, no action, never fires.
    Timer() = default;
    Timer(std::chrono::duration<double> interval, Action action, bool repeats)
        : interval_(interval), action_(std::move(action)), repeats_(repeats)
    {
    }

    std::chrono::duration<double> timeInterval() const { return interval_; }
    bool repeats() const { return repeats_; }
    bool isValid() const { return valid_; }
    void invalidate() { valid_ = false; }

    // Called by the run loop at each expiry; a timer that does not repeat
    // invalidates itself after its one firing.
    void fire()
    {
        if (!valid_ || !action_)
            return;
        action_(*this);
        if (!repeats_)
            valid_ = false;
    }

private:
    std::chrono::duration<double> interval_{0.0};
    Action action_;
    bool repeats_ = false;
    bool valid_ = true;
};

class RunLoop {
public:
    static constexpr std::string_view defaultMode = "NSDefaultRunLoopMode";

    virtual ~RunLoop() = default;
    // The run loop keeps the timer and fires it every interval until it is invalidated.
    virtual void addTimer(std::shared_ptr<Timer> timer, std::string_view mode) = 0;
};

} // namespace app
