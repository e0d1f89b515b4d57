// What the window learns about the connected meter besides its readings:
// whether it offers the measurement characteristics at all, its battery
// level, and whether it still answers the poll. It stands between the
// peripheral and the controller: every peripheral callback goes on to the
// controller unchanged and is looked at afterwards.
#pragma once

#include "app/ble.h"
#include "app/view_controller.h"

#include <functional>
#include <memory>
#include <optional>

namespace qtui {

class MeterWatch : public ble::PeripheralDelegate, public std::enable_shared_from_this<MeterWatch> {
public:
    // A meter that let this many polls in a row go without a frame is silent.
    static constexpr int silentAfterPolls = 3;
    static constexpr int lowBattery = 20;

    // Called after every change the window may show.
    explicit MeterWatch(std::function<void()> changed) : changed_(std::move(changed)) {}

    void watch(std::weak_ptr<ViewController> controller) { controller_ = std::move(controller); }
    // The controller took up a new link to the peripheral: what the last one
    // taught is forgotten, and its callbacks pass here from now on.
    void linkUp(const std::shared_ptr<ble::Peripheral>& peripheral);
    // The poll timer fired, after the controller's tick.
    void pollTicked();
    // The window closes the link to connect again; until the new link is up
    // the meter is neither silent nor answering.
    void relinking();

    bool isRelinking() const { return relinking_; }
    // The walk over the services is complete and found neither FF01 nor FF02.
    bool offersNoMeasurement() const { return offersNoMeasurement_; }
    // Percent, from the Battery Level characteristic; none without one.
    std::optional<int> battery() const { return battery_; }
    bool isSilent() const { return pollsWithoutFrame_ >= silentAfterPolls; }
    // Since the last frame, counted in poll periods.
    int pollsWithoutFrame() const { return pollsWithoutFrame_; }
    // Requests of this session that the next poll found still unanswered.
    long unansweredRequests() const { return unansweredRequests_; }

    void peripheralDidDiscoverServices(const std::shared_ptr<ble::Peripheral>& peripheral,
                                       const std::optional<ble::Error>& error) override;
    void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<ble::Peripheral>& peripheral,
                                                        const std::shared_ptr<ble::Service>& service,
                                                        const std::optional<ble::Error>& error) override;
    void peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<ble::Peripheral>& peripheral,
                                                   const std::shared_ptr<ble::Characteristic>& characteristic,
                                                   const std::optional<ble::Error>& error) override;
    void peripheralDidUpdateNotificationStateForCharacteristic(
        const std::shared_ptr<ble::Peripheral>& peripheral,
        const std::shared_ptr<ble::Characteristic>& characteristic,
        const std::optional<ble::Error>& error) override;

private:
    bool isWatched(const ble::Peripheral& peripheral) const;
    void checkWalk(const ble::Peripheral& peripheral);

    std::function<void()> changed_;
    std::weak_ptr<ViewController> controller_;
    std::shared_ptr<ble::Peripheral> peripheral_;
    bool relinking_ = false;
    bool offersNoMeasurement_ = false;
    std::optional<int> battery_;
    int pollsWithoutFrame_ = 0;
    bool requestOutstanding_ = false;
    long unansweredRequests_ = 0;
};

} // namespace qtui
