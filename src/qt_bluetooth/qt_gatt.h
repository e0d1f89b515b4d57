// Services and characteristics of a connected peripheral over Qt's
// QLowEnergyService. They describe what Qt discovered and keep what Qt does
// not: the last value a characteristic received and the requests that still
// wait for their answer.
#pragma once

#include "app/ble.h"
#include "qt_bluetooth/qt_owned.h"

#include <QLowEnergyCharacteristic>
#include <QLowEnergyDescriptor>
#include <QLowEnergyService>

#include <deque>
#include <memory>
#include <optional>
#include <vector>

namespace qtble {

class QtCharacteristic final : public ble::Characteristic {
public:
    explicit QtCharacteristic(const QLowEnergyCharacteristic& characteristic);

    ble::Uuid uuid() const override { return uuid_; }
    std::uint32_t properties() const override { return properties_; }
    bool isNotifying() const override;
    // The last value read or notified: Qt keeps no value for a characteristic
    // that only notifies.
    std::optional<ble::Bytes> value() const override { return value_; }
    std::string description() const override;

    const QLowEnergyCharacteristic& qtCharacteristic() const { return characteristic_; }
    void receive(const QByteArray& value);
    // Notifications come through the stack's own channel, which Qt's client
    // characteristic configuration does not show.
    void notifyThroughStack(bool on) { throughStack_ = on; }

private:
    QLowEnergyCharacteristic characteristic_;
    ble::Uuid uuid_;
    std::uint32_t properties_;
    std::optional<ble::Bytes> value_;
    bool throughStack_ = false;
};

class QtService final : public ble::Service {
public:
    explicit QtService(QtOwned<QLowEnergyService> service);

    ble::Uuid uuid() const override { return uuid_; }
    std::optional<std::vector<std::shared_ptr<ble::Characteristic>>> characteristics() const override;
    std::string description() const override;

    QLowEnergyService& qtService() const { return *service_; }
    // Takes over the characteristics that Qt discovered.
    void adoptDiscoveredCharacteristics();
    std::shared_ptr<QtCharacteristic> find(const ble::Characteristic& characteristic) const;
    std::shared_ptr<QtCharacteristic> find(const QLowEnergyCharacteristic& characteristic) const;
    // The characteristic whose client characteristic configuration this is.
    std::shared_ptr<QtCharacteristic> configuredBy(const QLowEnergyDescriptor& descriptor) const;

    // Requests waiting for their answer, in call order: Qt answers in that
    // order, but drops a request whose characteristic it cannot find without
    // a word.
    std::deque<std::shared_ptr<QtCharacteristic>> pendingReads;
    std::deque<std::shared_ptr<QtCharacteristic>> pendingNotificationChanges;

private:
    QtOwned<QLowEnergyService> service_;
    ble::Uuid uuid_;
    std::optional<std::vector<std::shared_ptr<QtCharacteristic>>> characteristics_;
};

} // namespace qtble
