// What the window tells the user about the radio and the meter, in one line.
// It stands between the central manager and the controller: every callback
// goes on to the controller unchanged, and afterwards the status is worked
// out again from what the controller holds, the radio's last reported state
// the last connection that was lost, and what the meter watch learnt of the
// connected meter.
#pragma once

#include "app/ble.h"
#include "app/view_controller.h"
#include "qt_ui/meter_watch.h"

#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace qtui {

class ConnectionStatus : public ble::CentralManagerDelegate {
public:
    // Called after every change the status may show.
    explicit ConnectionStatus(std::function<void()> changed);

    // The controller that receives the callbacks and whose state is shown.
    void watch(std::weak_ptr<ViewController> controller);
    MeterWatch& meter() const { return *meter_; }
    // The user acted on the window (scan, selection, reconnect).
    void userActed() { settle(); }
    // A line of the Bluetooth backend's own; shown until the status changes.
    void showDiagnostic(std::string_view line);

    std::string text() const;
    // More than the line says: the requests the meter left unanswered.
    std::string details() const;
    // The connected meter's battery level in percent, when it has told it.
    std::optional<int> battery() const;
    // A drop or a failed connection left the meter that is still the selected
    // row, or that meter is connected but silent or offers no measurement.
    bool canReconnect() const;
    // Before Reconnect selects the meter's row again: closes its link when
    // it is connected, so that the selection opens a new one.
    void closeLinkToReconnect();

    void centralManagerDidUpdateState(ble::CentralManager& central) override;
    void centralManagerDidDiscoverPeripheral(ble::CentralManager& central,
                                             const std::shared_ptr<ble::Peripheral>& peripheral,
                                             const ble::AdvertisementData& advertisementData,
                                             int rssi) override;
    void centralManagerDidConnectPeripheral(ble::CentralManager& central,
                                            const std::shared_ptr<ble::Peripheral>& peripheral) override;
    void centralManagerDidFailToConnectPeripheral(ble::CentralManager& central,
                                                  const std::shared_ptr<ble::Peripheral>& peripheral,
                                                  const std::optional<ble::Error>& error) override;
    void centralManagerDidDisconnectPeripheral(ble::CentralManager& central,
                                               const std::shared_ptr<ble::Peripheral>& peripheral,
                                               const std::optional<ble::Error>& error) override;

private:
    struct Loss {
        std::shared_ptr<ble::Peripheral> peripheral;
        std::optional<std::string> reason;
        bool failedToConnect;
    };
    struct Diagnostic {
        std::string line;
        // The state it was shown in; it goes once the state is another.
        std::string shownIn;
    };

    // The text the controller's and the radio's state give, without diagnostics.
    // silence: whether a connected meter's silence is told. A diagnostic
    // stays news while the state without it is the same: the meter falling
    // silent does not end it, as the diagnostic most likely says why.
    std::string stateText(bool silence = true) const;
    std::string lossText(const Loss& loss) const;
    bool isConnection(const ble::Peripheral& peripheral) const;
    bool isSelectedRow(const ble::Peripheral& peripheral) const;
    // The meter is connected and Reconnect would give it a new link.
    bool needsNewLink() const;
    bool isScanning() const;
    // The radio is on, or has not said yet.
    bool radioUsable() const;
    // A loss is over once the user scans or connects again.
    void settle();

    std::function<void()> changed_;
    std::weak_ptr<ViewController> controller_;
    std::shared_ptr<MeterWatch> meter_;
    int radioState_ = ble::managerState::unknown;
    std::optional<Loss> loss_;
    // Scan was on while the radio could not scan.
    bool scanLostRadio_ = false;
    std::optional<Diagnostic> diagnostic_;
};

} // namespace qtui
