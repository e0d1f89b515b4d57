// A scheduler that posts through another one and measures how long each
// callback runs: the time the event loop is blocked by it.
#pragma once

#include "simulated_radio/scheduler.h"

#include <algorithm>
#include <chrono>
#include <memory>

class TimedScheduler : public simradio::Scheduler {
public:
    explicit TimedScheduler(std::shared_ptr<simradio::Scheduler> inner) : inner_(std::move(inner)) {}

    void post(simradio::Duration delay, std::function<void()> callback) override
    {
        inner_->post(delay, [this, callback = std::move(callback)] {
            const auto started = std::chrono::steady_clock::now();
            callback();
            const auto took = std::chrono::steady_clock::now() - started;
            longest = std::max(longest, std::chrono::duration_cast<std::chrono::nanoseconds>(took));
            total += took;
            ++callbacks;
        });
    }

    std::chrono::nanoseconds longest{0};
    std::chrono::nanoseconds total{0};
    std::size_t callbacks = 0;

private:
    std::shared_ptr<simradio::Scheduler> inner_;
};
