// The run loop on the Qt event loop: each added timer fires on a precise Qt
// timer of the timer's interval until it is invalidated; after each firing it
// tells its observer, if it has one.
#pragma once

#include "app/timer.h"

#include <QObject>

#include <functional>

namespace qtui {

class QtRunLoop : public app::RunLoop {
public:
    explicit QtRunLoop(std::function<void()> fired = {}) : fired_(std::move(fired)) {}

    // The event loop has one mode: every timer fires whatever mode it was added in.
    void addTimer(std::shared_ptr<app::Timer> timer, std::string_view mode) override;

private:
    // Parent of the Qt timers: they stop when the run loop goes away.
    QObject timers_;
    std::function<void()> fired_;
};

} // namespace qtui
