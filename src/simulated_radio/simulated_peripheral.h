// A peripheral of the simulated world as the central sees it: its GATT table,
// its connection, and, for a meter, the answers to measurement requests.
// Every answer comes later through the scheduler, and only while the
// connection that asked for it still stands.
#pragma once

#include "app/ble.h"
#include "simulated_radio/meter_model.h"
#include "simulated_radio/scheduler.h"
#include "simulated_radio/simulated_world.h"

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace simradio {

class SimulatedCharacteristic : public ble::Characteristic {
public:
    explicit SimulatedCharacteristic(CharacteristicDescription description)
        : description_(std::move(description))
    {
    }

    ble::Uuid uuid() const override { return description_.uuid; }
    std::uint32_t properties() const override { return description_.properties; }
    bool isNotifying() const override { return notifying_; }
    std::optional<ble::Bytes> value() const override { return value_; }
    std::string description() const override;

    bool canNotify() const;
    // What a read returns.
    const std::optional<ble::Bytes>& storedValue() const { return description_.value; }
    void setStoredValue(ble::Bytes value) { description_.value = std::move(value); }
    void setNotifying(bool notifying) { notifying_ = notifying; }
    void setValue(ble::Bytes value) { value_ = std::move(value); }

private:
    CharacteristicDescription description_;
    bool notifying_ = false;
    std::optional<ble::Bytes> value_;
};

class SimulatedService : public ble::Service {
public:
    explicit SimulatedService(const ServiceDescription& description);

    ble::Uuid uuid() const override { return uuid_; }
    std::optional<std::vector<std::shared_ptr<ble::Characteristic>>> characteristics() const override;
    std::string description() const override;

    const std::vector<std::shared_ptr<SimulatedCharacteristic>>& allCharacteristics() const
    {
        return characteristics_;
    }
    void setCharacteristicsDiscovered(bool discovered) { characteristicsDiscovered_ = discovered; }

private:
    ble::Uuid uuid_;
    std::vector<std::shared_ptr<SimulatedCharacteristic>> characteristics_;
    bool characteristicsDiscovered_ = false;
};

class SimulatedPeripheral : public ble::Peripheral, public std::enable_shared_from_this<SimulatedPeripheral> {
public:
    enum class Link { disconnected, connecting, connected };

    SimulatedPeripheral(PeripheralDescription description, std::shared_ptr<Scheduler> scheduler,
                        RadioTiming timing);

    const std::string& identifier() const override { return description_.identifier; }
    std::optional<std::string> name() const override { return name_; }
    std::string description() const override;

    void setDelegate(std::weak_ptr<ble::PeripheralDelegate> delegate) override
    {
        delegate_ = std::move(delegate);
    }
    void discoverServices() override;
    std::optional<std::vector<std::shared_ptr<ble::Service>>> services() const override;
    void discoverCharacteristics(const std::shared_ptr<ble::Service>& service) override;
    void setNotifyValue(bool enabled, const std::shared_ptr<ble::Characteristic>& characteristic) override;
    void readValue(const std::shared_ptr<ble::Characteristic>& characteristic) override;
    void writeValue(const ble::Bytes& value, const std::shared_ptr<ble::Characteristic>& characteristic,
                    ble::WriteType type) override;

    // The radio side, driven by the central manager.
    const PeripheralDescription& world() const { return description_; }
    // A report teaches the central the device's name; a name once known stays.
    void receiveReport(const AdvertisingReport& report);
    Link link() const { return link_; }
    // Returns the attempt's number, which completeConnection must name.
    std::uint64_t beginConnecting();
    // False when the attempt was cancelled or replaced meanwhile.
    bool completeConnection(std::uint64_t attempt);
    // Ends the link: nothing asked on it is answered any more, and the GATT
    // table must be discovered again on the next connection.
    void dropConnection();

    // Measurement requests the meter has received over its lifetime.
    std::size_t measurementRequestsReceived() const { return measurementRequests_; }
    // The meter stops answering measurement requests while its link stays
    // up, or starts again; it answers again once its link has ended.
    void setAnswering(bool answering) { answering_ = answering; }
    // The device changes a characteristic's value: a later read returns it,
    // and a subscribed central is notified.
    void changeValue(const ble::Uuid& uuid, const ble::Bytes& value);

private:
    using Answer = std::function<void(SimulatedPeripheral&, ble::PeripheralDelegate*)>;

    // Runs the answer after the delay if this connection still stands; the
    // delegate is looked up at that moment and may be absent.
    void answerLater(Duration delay, Answer answer);
    // A request the central waits for: the link carries one at a time, in
    // call order, so a write asked after it reaches the device once it is answered.
    void answerRequest(Duration delay, Answer answer);
    std::shared_ptr<SimulatedService> ownService(const ble::Service* service) const;
    std::shared_ptr<SimulatedCharacteristic>
    ownCharacteristic(const ble::Characteristic* characteristic) const;
    std::shared_ptr<SimulatedCharacteristic> ownCharacteristic(const ble::Uuid& uuid) const;
    bool isMeasurementRequest(const ble::Bytes& value, const SimulatedCharacteristic& target) const;
    void answerMeasurementRequest();

    PeripheralDescription description_;
    // Owned by the central manager: a scheduler holds its pending callbacks,
    // and those may hold this peripheral.
    std::weak_ptr<Scheduler> scheduler_;
    RadioTiming timing_;
    std::weak_ptr<ble::PeripheralDelegate> delegate_;
    std::optional<std::string> name_;
    std::vector<std::shared_ptr<SimulatedService>> services_;
    bool servicesDiscovered_ = false;
    Link link_ = Link::disconnected;
    std::uint64_t connection_ = 0;
    std::optional<MeterModel> meter_;
    std::size_t measurementRequests_ = 0;
    bool answering_ = true;
    // Of this connection: requests not yet answered, and the measurement
    // requests written meanwhile, held until those before them are answered.
    std::size_t unansweredRequests_ = 0;
    std::size_t heldMeasurementRequests_ = 0;
};

} // namespace simradio
