// Posts the simulated radio's callbacks through the Qt event loop of the
// thread that made the scheduler (the GUI thread), as a real stack delivers
// its events. Callbacks still pending when the scheduler goes away are dropped.
#pragma once

#include "simulated_radio/scheduler.h"

#include <QObject>

namespace simradio {

class QtScheduler : public Scheduler {
public:
    void post(Duration delay, std::function<void()> callback) override;

private:
    // The context of every pending single-shot timer.
    QObject context_;
};

} // namespace simradio
