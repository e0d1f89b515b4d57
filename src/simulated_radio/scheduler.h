// The one thing the simulated radio needs of time: run a callback later, on
// the thread that runs the controller. The application posts through its
// event loop; tests drive a virtual clock.
#pragma once

#include <chrono>
#include <functional>

namespace simradio {

using Duration = std::chrono::milliseconds;

class Scheduler {
public:
    virtual ~Scheduler() = default;
    // Runs the callback once, after the delay, never from inside this call.
    virtual void post(Duration delay, std::function<void()> callback) = 0;
};

} // namespace simradio
