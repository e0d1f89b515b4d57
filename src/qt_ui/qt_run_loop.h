// The run loop on the Qt event loop: each added timer fires on a precise Qt
// timer of the timer's interval until it is invalidated.
#pragma once

#include "app/timer.h"

#include <QObject>

namespace qtui {

class QtRunLoop : public app::RunLoop {
public:
    // The event loop has one mode: every timer fires whatever mode it was added in.
    void addTimer(std::shared_ptr<app::Timer> timer, std::string_view mode) override;

private:
    // Parent of the Qt timers: they stop when the run loop goes away.
    QObject timers_;
};

} // namespace qtui
