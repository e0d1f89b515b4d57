// The pace of one connection's GATT requests. Qt sends them one at a time,
// and on BlueZ each waits up to D-Bus's 25 s for its answer: while BlueZ
// holds one back (a meter that asks for pairing), every later request queues
// behind it, and the writes of a 2 s poll would come out together once it is
// answered. The pace keeps write commands back while an answer is awaited,
// one of each alike, and says once a connection when an answer is long in
// coming.
#pragma once

#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <string>
#include <utility>
#include <vector>

namespace qtble {

class RequestPace {
public:
    // awaited: whether a request handed to Qt waits for its answer. longWait:
    // an answer has been awaited for the notice time. givenUp: Qt has had
    // time enough to answer or time the request out, and has not: it dropped
    // it without a word.
    RequestPace(std::chrono::milliseconds notice, std::function<bool()> awaited,
                std::function<void()> longWait, std::function<void()> givenUp);

    std::chrono::milliseconds notice() const { return notice_; }
    // The link closed, or a new one starts: nothing is awaited or held, and
    // a long wait may be said again.
    void reset();
    void requestSent();
    void requestAnswered();
    // Sends the write now, or once no answer is awaited; a write held
    // already under the same key gives way to it.
    void write(const std::string& key, std::function<void()> send);

private:
    void onTimeout();
    void releaseHeld();

    std::chrono::milliseconds notice_;
    std::function<bool()> awaited_;
    std::function<void()> longWait_;
    std::function<void()> givenUp_;
    std::vector<std::pair<std::string, std::function<void()>>> held_;
    bool longWaitSaid_ = false;
    // The notice time runs, then the rest of the time Qt may take.
    bool overdue_ = false;
    QTimer timer_;
    // Receives the timer's signal; declared last so that it goes first.
    QObject context_;
};

} // namespace qtble
