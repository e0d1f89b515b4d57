// A peripheral over Qt Bluetooth: one QLowEnergyController per connection,
// one QLowEnergyService per discovered service. Every callback reaches the
// delegate through the event loop, never inside the call that asked for it.
#pragma once

#include "app/ble.h"
#include "app/log_sink.h"
#include "qt_bluetooth/qt_gatt.h"
#include "qt_bluetooth/qt_owned.h"

#include <QBluetoothDeviceInfo>
#include <QLowEnergyController>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace qtble {

class QtCentralManager;

class QtPeripheral final : public ble::Peripheral, public std::enable_shared_from_this<QtPeripheral> {
public:
    // Qt has no connect time-out, and a silent device holds an attempt for 25 s.
    static constexpr std::chrono::seconds defaultConnectTimeout{10};

    QtPeripheral(const QBluetoothDeviceInfo& device, std::weak_ptr<QtCentralManager> central,
                 std::shared_ptr<app::LogSink> log,
                 std::chrono::seconds connectTimeout = defaultConnectTimeout);
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

private:
    enum class Link { idle, connecting, connected, closing };

    void makeController();
    // Lets the controller close on its own and forgets it.
    void retireController();
    void onConnected();
    void onControllerError();
    void onDisconnected();
    void onConnectTimeout();
    void onServicesDiscovered();
    void watchService(const std::shared_ptr<QtService>& service);
    void onServiceStateChanged(const std::shared_ptr<QtService>& service,
                               QLowEnergyService::ServiceState state);
    void onServiceError(const std::shared_ptr<QtService>& service, QLowEnergyService::ServiceError error);
    void failConnection(const std::string& text);

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
    std::optional<std::string> lastControllerError_;
    std::optional<std::vector<std::shared_ptr<QtService>>> services_;
    std::chrono::seconds connectTimeout_;
    QTimer connectTimer_;
    // Receives the signals; declared last so that it goes first and no
    // signal reaches a half-destroyed peripheral.
    QObject context_;
};

} // namespace qtble
