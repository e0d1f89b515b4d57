#include "qt_bluetooth/request_pace.h"

#include <algorithm>

namespace qtble {
namespace {

// D-Bus's 25 s for Qt's call and a margin: by then Qt has answered or timed
// the request out, unless it dropped it (a characteristic it no longer finds).
constexpr std::chrono::milliseconds qtAnswerLimit{std::chrono::seconds(30)};

} // namespace

RequestPace::RequestPace(std::chrono::milliseconds notice, std::function<bool()> awaited,
                         std::function<void()> longWait, std::function<void()> givenUp)
    : notice_(notice), awaited_(std::move(awaited)), longWait_(std::move(longWait)),
      givenUp_(std::move(givenUp))
{
    timer_.setSingleShot(true);
    QObject::connect(&timer_, &QTimer::timeout, &context_, [this] { onTimeout(); });
}

void RequestPace::reset()
{
    timer_.stop();
    held_.clear();
    longWaitSaid_ = false;
}

void RequestPace::requestSent()
{
    if (timer_.isActive())
        return;
    overdue_ = false;
    timer_.start(notice_);
}

void RequestPace::requestAnswered()
{
    timer_.stop();
    if (awaited_()) {
        // Qt answers in order: the wait for the next answer starts now.
        requestSent();
        return;
    }
    releaseHeld();
}

void RequestPace::write(const std::string& key, std::function<void()> send)
{
    if (!awaited_()) {
        send();
        return;
    }
    std::erase_if(held_, [&key](const auto& held) { return held.first == key; });
    held_.emplace_back(key, std::move(send));
}

void RequestPace::onTimeout()
{
    if (!std::exchange(overdue_, true)) {
        if (!std::exchange(longWaitSaid_, true))
            longWait_();
        timer_.start(std::max(qtAnswerLimit - notice_, std::chrono::milliseconds::zero()));
        return;
    }
    givenUp_();
    requestAnswered();
}

void RequestPace::releaseHeld()
{
    for (auto& [key, send] : std::exchange(held_, {}))
        send();
}

} // namespace qtble
