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
        if (found == subscriptions_.end() || found->second.grant != Grant::granted)
            return false;
        // Qt's StopNotify would close the channel under BlueZ's hands.
        channels_->release(characteristic->qtCharacteristic().uuid());
        subscriptions_.erase(found);
        characteristic->notifyThroughStack(false);
        owner_.subscribed(characteristic);
        return true;
    }
    if (found != subscriptions_.end()) {
        switch (found->second.grant) {
        case Grant::asking:
            ++found->second.waiting;
            return true;
        case Grant::granted:
            owner_.subscribed(characteristic);
            return true;
        case Grant::refused:
            return false;
        }
    }
    subscriptions_[characteristic.get()] = Subscription{Grant::asking, 1};
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
        [this, service, characteristic](bool granted) { onSubscription(granted, service, characteristic); });
    return true;
}

void StackChannels::onSubscription(bool granted, const std::shared_ptr<QtService>& service,
                                   const std::shared_ptr<QtCharacteristic>& characteristic)
{
    --asking_;
    Subscription& subscription = subscriptions_[characteristic.get()];
    subscription.grant = granted ? Grant::granted : Grant::refused;
    characteristic->notifyThroughStack(granted);
    qtWay_ = qtWay_ || !granted;
    for (; subscription.waiting > 0; --subscription.waiting)
        if (granted)
            owner_.subscribed(characteristic);
        else
            owner_.subscribeThroughQt(service, characteristic);
    releaseHeld();
}

void StackChannels::onClosed(const std::shared_ptr<QtService>& service,
                             const std::shared_ptr<QtCharacteristic>& characteristic)
{
    subscriptions_[characteristic.get()] = Subscription{Grant::refused, 0};
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
                                  ? Grant::asking
                                  : Grant::refused);
    Grant& grant = found->second;
    if (grant == Grant::granted && qtWay_) {
        channels_->release(characteristic->qtCharacteristic().uuid());
        grant = Grant::refused;
    }
    if (added && grant == Grant::asking) {
        ++asking_;
        held_.push_back({service, characteristic, value});
        channels_->acquireWrite(
            service->qtService().serviceUuid(), characteristic->qtCharacteristic().uuid(),
            [this, characteristic](bool granted) { onWriteChannel(granted, *characteristic); });
        return;
    }
    if (grant == Grant::granted) {
        if (channels_->write(characteristic->qtCharacteristic().uuid(), value))
            return;
        grant = Grant::refused;
    }
    owner_.writeThroughQt(service, characteristic, value);
}

void StackChannels::onWriteChannel(bool granted, const QtCharacteristic& characteristic)
{
    --asking_;
    writeChannels_[&characteristic] = granted ? Grant::granted : Grant::refused;
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
