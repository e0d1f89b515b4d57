#include "qt_bluetooth/stack_channels.h"

namespace qtble {

StackChannels::StackChannels(ChannelOwner& owner, std::unique_ptr<GattChannels> channels)
    : owner_(owner), channels_(std::move(channels))
{
}

bool StackChannels::subscribe(bool enabled, const std::shared_ptr<QtService>& service,
                              const std::shared_ptr<QtCharacteristic>& characteristic)
{
    if (!channels_ || !(characteristic->qtCharacteristic().properties() & QLowEnergyCharacteristic::Notify))
        return false;
    const auto found = subscriptions_.find(characteristic.get());
    if (!enabled) {
        if (found == subscriptions_.end() || found->second.state != State::granted)
            return false;
        // Qt's StopNotify would close the channel under BlueZ's hands.
        channels_->release(characteristic->qtCharacteristic().uuid());
        subscriptions_.erase(found);
        characteristic->notifyThroughStack(false);
        owner_.subscribed(characteristic);
        return true;
    }
    if (found != subscriptions_.end()) {
        switch (found->second.state) {
        case State::asking:
            ++found->second.waiting;
            return true;
        case State::granted:
            owner_.subscribed(characteristic);
            return true;
        case State::refused:
            return false;
        case State::unanswered:
            owner_.subscriptionUnanswered(characteristic);
            return true;
        }
    }
    subscriptions_[characteristic.get()] = Subscription{State::asking, 1};
    ++asking_;
    const std::weak_ptr<QtCharacteristic> weak = characteristic;
    channels_->acquireNotify(
        service->qtService().serviceUuid(), characteristic->qtCharacteristic().uuid(),
        [this, weak](const QByteArray& value) {
            if (const auto notifying = weak.lock())
                owner_.notified(notifying, value);
        },
        [this, service, weak] {
            if (const auto closed = weak.lock())
                onClosed(service, closed);
        },
        [this, service, characteristic](GattChannels::Grant grant) {
            onSubscription(grant, service, characteristic);
        });
    return true;
}

StackChannels::State StackChannels::stateOf(GattChannels::Grant grant)
{
    switch (grant) {
    case GattChannels::Grant::granted:
        return State::granted;
    case GattChannels::Grant::refused:
        return State::refused;
    case GattChannels::Grant::unanswered:
        break;
    }
    return State::unanswered;
}

void StackChannels::onSubscription(GattChannels::Grant grant, const std::shared_ptr<QtService>& service,
                                   const std::shared_ptr<QtCharacteristic>& characteristic)
{
    --asking_;
    Subscription& subscription = subscriptions_[characteristic.get()];
    subscription.state = stateOf(grant);
    characteristic->notifyThroughStack(grant == GattChannels::Grant::granted);
    qtWay_ = qtWay_ || grant == GattChannels::Grant::refused;
    for (; subscription.waiting > 0; --subscription.waiting)
        switch (grant) {
        case GattChannels::Grant::granted:
            owner_.subscribed(characteristic);
            break;
        case GattChannels::Grant::refused:
            owner_.subscribeThroughQt(service, characteristic);
            break;
        case GattChannels::Grant::unanswered:
            owner_.subscriptionUnanswered(characteristic);
            break;
        }
    releaseHeld();
}

void StackChannels::onClosed(const std::shared_ptr<QtService>& service,
                             const std::shared_ptr<QtCharacteristic>& characteristic)
{
    subscriptions_[characteristic.get()] = Subscription{State::refused, 0};
    characteristic->notifyThroughStack(false);
    qtWay_ = true;
    owner_.channelClosed(service, characteristic);
}

void StackChannels::write(const std::shared_ptr<QtService>& service,
                          const std::shared_ptr<QtCharacteristic>& characteristic, const QByteArray& value)
{
    if (asking_ > 0) {
        held_.push_back({service, characteristic, value});
        return;
    }
    const auto properties = characteristic->qtCharacteristic().properties();
    const auto [found, added] = writeChannels_.try_emplace(
        characteristic.get(), channels_ && !qtWay_ && (properties & QLowEnergyCharacteristic::WriteNoResponse)
                                  ? State::asking
                                  : State::refused);
    State& grant = found->second;
    if (grant == State::granted && qtWay_) {
        channels_->release(characteristic->qtCharacteristic().uuid());
        grant = State::refused;
    }
    if (added && grant == State::asking) {
        ++asking_;
        held_.push_back({service, characteristic, value});
        channels_->acquireWrite(
            service->qtService().serviceUuid(), characteristic->qtCharacteristic().uuid(),
            [this, characteristic](GattChannels::Grant grant) { onWriteChannel(grant, *characteristic); });
        return;
    }
    if (grant == State::granted) {
        if (channels_->write(characteristic->qtCharacteristic().uuid(), value))
            return;
        grant = State::refused;
    }
    owner_.writeThroughQt(service, characteristic, value);
}

void StackChannels::onWriteChannel(GattChannels::Grant grant, const QtCharacteristic& characteristic)
{
    --asking_;
    // A write channel is answered at once, or never had.
    writeChannels_[&characteristic] = grant == GattChannels::Grant::granted ? State::granted : State::refused;
    releaseHeld();
}

void StackChannels::releaseHeld()
{
    while (asking_ == 0 && !held_.empty()) {
        HeldWrite next = std::move(held_.front());
        held_.pop_front();
        write(next.service, next.characteristic, next.value);
    }
}

void StackChannels::reset()
{
    if (channels_)
        channels_->releaseAll();
    subscriptions_.clear();
    writeChannels_.clear();
    held_.clear();
    asking_ = 0;
    qtWay_ = false;
}

} // namespace qtble
