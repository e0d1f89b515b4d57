#include "simulated_radio/virtual_clock.h"

#include <utility>

namespace simradio {

void VirtualClock::post(Duration delay, std::function<void()> callback)
{
    pending_.push(Entry{now_ + std::max(delay, Duration{0}), nextSequence_++, std::move(callback)});
}

bool VirtualClock::runNextDueBy(Duration deadline)
{
    if (pending_.empty() || pending_.top().due > deadline)
        return false;
    // The callback may post more entries: take it off the queue before running it.
    auto entry = std::move(const_cast<Entry&>(pending_.top()));
    pending_.pop();
    now_ = entry.due;
    entry.callback();
    return true;
}

void VirtualClock::advanceBy(Duration span)
{
    const auto deadline = now_ + span;
    while (runNextDueBy(deadline)) {
    }
    now_ = deadline;
}

bool VirtualClock::advanceUntil(const std::function<bool()>& condition, Duration limit)
{
    const auto deadline = now_ + limit;
    while (!condition()) {
        if (!runNextDueBy(deadline)) {
            now_ = deadline;
            return condition();
        }
    }
    return true;
}

} // namespace simradio
