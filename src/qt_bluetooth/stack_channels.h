// A peripheral's writes without response and subscriptions through the
// stack's own channels (stack_extras.h) where the stack grants them, and Qt's
// way for whatever it refuses, in the order they were asked for: a write
// asked for while a channel is being acquired waits for the answer. Once a
// subscription goes Qt's way, the writes follow it.
#pragma once

#include "qt_bluetooth/qt_gatt.h"
#include "qt_bluetooth/stack_extras.h"

#include <QByteArray>

#include <deque>
#include <map>
#include <memory>

namespace qtble {

// What the channels hand back to the peripheral.
class ChannelOwner {
public:
    virtual void subscribeThroughQt(const std::shared_ptr<QtService>& service,
                                    const std::shared_ptr<QtCharacteristic>& characteristic) = 0;
    virtual void writeThroughQt(const std::shared_ptr<QtService>& service,
                                const std::shared_ptr<QtCharacteristic>& characteristic,
                                const QByteArray& value) = 0;
    virtual void subscribed(const std::shared_ptr<QtCharacteristic>& characteristic) = 0;
    virtual void notified(const std::shared_ptr<QtCharacteristic>& characteristic,
                          const QByteArray& value) = 0;
    // The stack left the subscription unanswered and keeps the characteristic
    // from Qt's way too: it has failed.
    virtual void subscriptionUnanswered(const std::shared_ptr<QtCharacteristic>& characteristic) = 0;
    // The stack closed the channel on a live link: notifications go Qt's way again.
    virtual void channelClosed(const std::shared_ptr<QtService>& service,
                               const std::shared_ptr<QtCharacteristic>& characteristic) = 0;

protected:
    ~ChannelOwner() = default;
};

class StackChannels {
public:
    // channels: null where Qt's way is the only one.
    StackChannels(ChannelOwner& owner, std::unique_ptr<GattChannels> channels);
    StackChannels(const StackChannels&) = delete;
    StackChannels& operator=(const StackChannels&) = delete;

    // False: the change goes Qt's way.
    bool subscribe(bool enabled, const std::shared_ptr<QtService>& service,
                   const std::shared_ptr<QtCharacteristic>& characteristic);
    void write(const std::shared_ptr<QtService>& service,
               const std::shared_ptr<QtCharacteristic>& characteristic, const QByteArray& value);
    // The link ended or a new one starts: every channel goes back.
    void reset();

private:
    enum class State { asking, granted, refused, unanswered };
    struct Subscription {
        State state = State::asking;
        // Requests answered once the stack has.
        int waiting = 0;
    };
    struct HeldWrite {
        std::shared_ptr<QtService> service;
        std::shared_ptr<QtCharacteristic> characteristic;
        QByteArray value;
    };

    static State stateOf(GattChannels::Grant grant);
    void onSubscription(GattChannels::Grant grant, const std::shared_ptr<QtService>& service,
                        const std::shared_ptr<QtCharacteristic>& characteristic);
    void onWriteChannel(GattChannels::Grant grant, const QtCharacteristic& characteristic);
    void onClosed(const std::shared_ptr<QtService>& service,
                  const std::shared_ptr<QtCharacteristic>& characteristic);
    void releaseHeld();

    ChannelOwner& owner_;
    std::unique_ptr<GattChannels> channels_;
    std::map<const QtCharacteristic*, Subscription> subscriptions_;
    std::map<const QtCharacteristic*, State> writeChannels_;
    std::deque<HeldWrite> held_;
    int asking_ = 0;
    // A subscription went Qt's way: so do the writes, which Qt sends after
    // its subscriptions, and which BlueZ refuses while a write channel is held.
    bool qtWay_ = false;
};

} // namespace qtble
