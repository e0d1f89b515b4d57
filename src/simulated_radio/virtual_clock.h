// A scheduler on simulated time: nothing runs until a test advances the clock,
// and then every due callback runs in time order (posting order for equal
// times), so hours of radio traffic take milliseconds.
#pragma once

#include "simulated_radio/scheduler.h"

#include <cstdint>
#include <functional>
#include <queue>
#include <vector>

namespace simradio {

class VirtualClock : public Scheduler {
public:
    void post(Duration delay, std::function<void()> callback) override;

    // Time since the clock was made.
    Duration now() const { return now_; }
    std::size_t pendingCount() const { return pending_.size(); }

    // Runs every callback due within the span, including those they post, and
    // leaves the clock at the span's end.
    void advanceBy(Duration span);
    // Advances from one due callback to the next until the condition holds;
    // false when it still does not hold at the limit.
    bool advanceUntil(const std::function<bool()>& condition, Duration limit);

private:
    struct Entry {
        Duration due;
        std::uint64_t sequence;
        std::function<void()> callback;
    };
    struct RunsLater {
        bool operator()(const Entry& a, const Entry& b) const
        {
            return a.due != b.due ? a.due > b.due : a.sequence > b.sequence;
        }
    };

    // Runs the earliest callback if it is due by the deadline.
    bool runNextDueBy(Duration deadline);

    Duration now_{0};
    std::uint64_t nextSequence_ = 0;
    std::priority_queue<Entry, std::vector<Entry>, RunsLater> pending_;
};

} // namespace simradio
