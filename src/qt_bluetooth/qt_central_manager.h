// The central manager over Qt Bluetooth: QBluetoothLocalDevice for the radio
// state, QBluetoothDeviceDiscoveryAgent (low energy only, no time-out) for
// scanning, both bound to the adapter the stack's extras choose (stack_extras.h)
// and made again whenever the stack or its adapters change. It translates; the
// controller decides. Every delegate call is posted through the event loop.
#pragma once

#include "app/ble.h"
#include "app/log_sink.h"
#include "qt_bluetooth/qt_owned.h"
#include "qt_bluetooth/qt_peripheral.h"
#include "qt_bluetooth/scan_report_filter.h"
#include "qt_bluetooth/stack_extras.h"

#include <QBluetoothDeviceDiscoveryAgent>
#include <QBluetoothDeviceInfo>
#include <QBluetoothLocalDevice>
#include <QEventLoop>
#include <QObject>

#include <chrono>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>

namespace qtble {

class QtCentralManager final : public ble::CentralManager,
                               public std::enable_shared_from_this<QtCentralManager> {
    struct Passkey {};

public:
    // The radio state follows through the delegate; connections take at most
    // what the budgets allow.
    static std::shared_ptr<QtCentralManager> create(std::weak_ptr<ble::CentralManagerDelegate> delegate,
                                                    std::shared_ptr<app::LogSink> log, LinkBudgets budgets);
    QtCentralManager(Passkey, std::weak_ptr<ble::CentralManagerDelegate> delegate,
                     std::shared_ptr<app::LogSink> log, LinkBudgets budgets);
    ~QtCentralManager() override;

    // Unknown until the first report reached the delegate.
    int state() const override { return state_; }
    void scanForPeripherals(const ble::ScanOptions& options) override;
    void stopScan() override;
    void connectPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral) override;
    void cancelPeripheralConnection(const std::shared_ptr<ble::Peripheral>& peripheral) override;

    // What the peripherals report about their connections.
    void reportConnected(const std::shared_ptr<QtPeripheral>& peripheral);
    void reportConnectionFailure(const std::shared_ptr<QtPeripheral>& peripheral, const ble::Error& error);
    void reportDisconnection(const std::shared_ptr<QtPeripheral>& peripheral,
                             const std::optional<ble::Error>& error);
    // The adapter the peripherals connect through; null for Qt's default one.
    QBluetoothAddress adapterAddress() const { return adapterAddress_; }

    // A connection that waits to hear a device the stack forgot: discovery runs,
    // unseen by the controller, until the device is heard or nobody waits.
    void listenFor(const std::shared_ptr<QtPeripheral>& peripheral);
    void stopListeningFor(const QtPeripheral& peripheral);

private:
    void start();
    // Makes the radio's Qt objects for the adapter the stack now offers.
    void bindAdapter();
    void unbindAdapter();
    void onStackStopped();
    void onAdapterRemoved();
    void onHostModeChanged();
    // Whether the state changed.
    bool updateRadioState();
    // The controller's scan stands, or a connection listens for a device the stack forgot.
    bool wantsDiscovery() const { return scanning_ || !listeners_.empty(); }
    // Starts Qt's discovery afresh; a run that BlueZ ended is stopped first.
    void startDiscovery();
    void stopDiscovery();
    // Drops the peripherals that nobody else holds.
    void forgetUnheldPeripherals();
    void closeLinksOnQuit();
    void onDeviceReport(const QBluetoothDeviceInfo& device);
    void onScanError();
    void hearListener(const QBluetoothDeviceInfo& device);
    std::shared_ptr<QtPeripheral> peripheralFor(const QBluetoothDeviceInfo& device,
                                                const std::optional<std::string>& name);
    std::shared_ptr<QtPeripheral> own(const std::shared_ptr<ble::Peripheral>& peripheral) const;
    void deliver(std::function<void(ble::CentralManagerDelegate&, QtCentralManager&)> call);
    void log(const std::string& line) const;

    std::weak_ptr<ble::CentralManagerDelegate> delegate_;
    std::shared_ptr<app::LogSink> log_;
    LinkBudgets budgets_;
    std::shared_ptr<StackExtras> extras_;
    QBluetoothAddress adapterAddress_;
    QtOwned<QBluetoothLocalDevice> localDevice_;
    QtOwned<QBluetoothDeviceDiscoveryAgent> discoveryAgent_;
    bool stackStopped_ = false;
    int state_ = ble::managerState::unknown;
    std::optional<int> announcedState_;
    // The controller's scan request stands.
    bool scanning_ = false;
    ScanReportFilter reports_;
    std::map<std::string, std::shared_ptr<QtPeripheral>> peripherals_;
    std::set<std::string> listeners_;
    // The identifiers of the connected peripherals.
    std::set<std::string> openLinks_;
    // Runs while the application quits, until the links are closed.
    QEventLoop* closingLinks_ = nullptr;
    // Receives the signals; declared last so that it goes first.
    QObject context_;
};

// Makes the Qt Bluetooth central manager for the controller.
ble::CentralManagerFactory centralManagerFactory(std::shared_ptr<app::LogSink> log, LinkBudgets budgets = {});

} // namespace qtble
