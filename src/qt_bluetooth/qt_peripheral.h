// A peripheral over Qt Bluetooth: one QLowEnergyController per connection,
// one QLowEnergyService per discovered service. Every callback reaches the
// delegate through the event loop, never inside the call that asked for it.
#pragma once

#include "app/ble.h"
#include "app/log_sink.h"
#include "qt_bluetooth/qt_gatt.h"
#include "qt_bluetooth/qt_owned.h"

#include <QBluetoothDeviceInfo>
#include <QDBusError>
#include <QLowEnergyController>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qtble {

class QtCentralManager;

// How long a connection may take. A real adapter aborts first attempts,
// forgets devices it no longer hears, and resolves the services of a meter
// it has not cached slowly.
struct LinkBudgets {
    // From the request to the link: the wait for a closing link to go down,
    // for a device BlueZ forgot to be heard again, and every attempt.
    std::chrono::milliseconds connection{std::chrono::seconds(30)};
    // From the link to its resolved services.
    std::chrono::milliseconds resolution{std::chrono::seconds(30)};
    // Attempts within the connection budget, when BlueZ aborts one.
    int attempts = 3;
    // At quit, the wait for BlueZ to confirm that the links are closed.
    std::chrono::milliseconds closingAtQuit{1000};
};

class QtPeripheral final : public ble::Peripheral, public std::enable_shared_from_this<QtPeripheral> {
public:
    QtPeripheral(const QBluetoothDeviceInfo& device, std::weak_ptr<QtCentralManager> central,
                 std::shared_ptr<app::LogSink> log, LinkBudgets budgets = {});
    ~QtPeripheral() override;

    const std::string& identifier() const override { return identifier_; }
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

    // A newer report of the device; a name once known is kept.
    void update(const QBluetoothDeviceInfo& device, const std::optional<std::string>& name);
    // The central manager's connect and cancel requests.
    void connect();
    void cancelConnection();
    // A device BlueZ had forgotten advertises again.
    void onHeardAgain();
    // The link ended without a word from Qt (bluetoothd stopped): an open
    // link is reported dropped, an attempt (or a connection waiting for the
    // old link to close) failed, with the reason given.
    void linkLost(const ble::Error& reason);

private:
    enum class Link { idle, connecting, connected, closing };

    void startConnecting();
    // Looks the device up in BlueZ, then asks BlueZ itself for the link: Qt
    // words every failure "Unknown Error".
    void attempt();
    void onLocated(const std::optional<QString>& path);
    void onLinkAnswer(const QDBusError& error);
    // Hands the link to Qt, which reports it connected once the services are resolved.
    void onLinkUp();
    void startBudget(std::chrono::milliseconds budget);
    void onBudgetExpired();
    // Ends the attempt under way, whatever stage it reached.
    void withdraw();
    void makeController();
    // Lets the controller close on its own and forgets it.
    void retireController();
    void onRetiredLinkClosed();
    void onConnected();
    void onControllerError();
    void onDisconnected();
    void onServicesDiscovered();
    // Says so when the discovered services, once all are known, carry neither FF01 nor FF02.
    void reportMissingMeasurementService() const;
    void watchService(const std::shared_ptr<QtService>& service);
    void onServiceStateChanged(const std::shared_ptr<QtService>& service,
                               QLowEnergyService::ServiceState state);
    void onServiceError(const std::shared_ptr<QtService>& service, QLowEnergyService::ServiceError error);
    void failConnection(const std::string& text);
    void reportFailure(const std::string& text);

    std::shared_ptr<QtService> ownService(const ble::Service& service) const;
    // The characteristic and its service, when it belongs to this connection.
    std::pair<std::shared_ptr<QtService>, std::shared_ptr<QtCharacteristic>>
    ownCharacteristic(const ble::Characteristic& characteristic) const;
    bool isConnected() const { return link_ == Link::connected; }
    // Why a GATT request cannot go out: the object is from another
    // connection, or there is no connection.
    std::optional<ble::Error> unusable(bool belongsToConnection, const ble::Error& strangerError) const;

    // Posts a delegate call through the event loop.
    void deliver(std::function<void(ble::PeripheralDelegate&, const std::shared_ptr<QtPeripheral>&)> call);
    // Answers the request for this characteristic, and with an error those
    // that Qt dropped before it.
    void settle(std::deque<std::shared_ptr<QtCharacteristic>>& pending, const QtCharacteristic& answered,
                void (QtPeripheral::*deliver)(const std::shared_ptr<ble::Characteristic>&,
                                              std::optional<ble::Error>));
    void deliverValue(const std::shared_ptr<ble::Characteristic>& characteristic,
                      std::optional<ble::Error> error);
    void deliverNotificationState(const std::shared_ptr<ble::Characteristic>& characteristic,
                                  std::optional<ble::Error> error);
    void log(const std::string& line) const;

    QBluetoothDeviceInfo device_;
    std::string identifier_;
    std::optional<std::string> name_;
    std::weak_ptr<QtCentralManager> central_;
    std::shared_ptr<app::LogSink> log_;
    std::weak_ptr<ble::PeripheralDelegate> delegate_;

    QtOwned<QLowEnergyController> controller_;
    Link link_ = Link::idle;
    bool cancelRequested_ = false;
    bool servicesRequested_ = false;
    // A link given up while connecting closes as slowly as any other.
    bool retiredLinkClosing_ = false;
    bool reconnectAfterClose_ = false;
    int attemptsMade_ = 0;
    // Answers to a withdrawn attempt carry an older number and are ignored.
    unsigned attemptNumber_ = 0;
    std::optional<QString> devicePath_;
    std::optional<std::string> lastControllerError_;
    std::optional<std::vector<std::shared_ptr<QtService>>> services_;
    LinkBudgets budgets_;
    // The connection budget, then the resolution budget.
    QTimer budgetTimer_;
    QTimer retryTimer_;
    // Receives the signals; declared last so that it goes first and no
    // signal reaches a half-destroyed peripheral.
    QObject context_;
};

} // namespace qtble
