// A peripheral over Qt Bluetooth: the GATT side of a connection, one
// QLowEnergyService per discovered service, over the controller of its link
// (qt_link.h). Every callback reaches the delegate through the event loop,
// never inside the call that asked for it.
#pragma once

#include "app/ble.h"
#include "app/log_sink.h"
#include "qt_bluetooth/qt_gatt.h"
#include "qt_bluetooth/qt_link.h"
#include "qt_bluetooth/request_pace.h"
#include "qt_bluetooth/stack_channels.h"

#include <QBluetoothDeviceInfo>
#include <QLowEnergyController>
#include <QObject>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace qtble {

class QtCentralManager;

class QtPeripheral final : public ble::Peripheral,
                           public std::enable_shared_from_this<QtPeripheral>,
                           private LinkOwner,
                           private ChannelOwner {
public:
    // The opener brings the link up where the stack needs that; null where
    // Qt does. The advisor says what the stack knows of refused or waiting
    // requests; null where it knows no more than Qt. The channels carry
    // writes and notifications where the stack has its own; null where Qt's
    // calls alone do.
    QtPeripheral(const QBluetoothDeviceInfo& device, std::weak_ptr<QtCentralManager> central,
                 std::shared_ptr<app::LogSink> log, std::unique_ptr<LinkOpener> opener,
                 std::unique_ptr<RequestAdvisor> advisor, LinkBudgets budgets = {},
                 std::unique_ptr<GattChannels> channels = nullptr);

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
    void cancelConnection() { link_.cancel(); }
    // A device the stack had forgotten advertises again.
    void onHeardAgain() { link_.onHeardAgain(); }
    // The link ended without a word from Qt (the stack stopped).
    void linkLost(const ble::Error& reason) { link_.lost(reason); }

private:
    // LinkOwner
    void linkStarting() override;
    void controllerMade(QLowEnergyController& controller) override;
    void linkConnected() override;
    void connectionFailed(const ble::Error& error) override;
    void linkClosed(const std::optional<ble::Error>& error) override;
    void linkFaulted(const std::string& text) override;
    void listen(bool wanted) override;

    // ChannelOwner
    void subscribeThroughQt(const std::shared_ptr<QtService>& service,
                            const std::shared_ptr<QtCharacteristic>& characteristic) override;
    void writeThroughQt(const std::shared_ptr<QtService>& service,
                        const std::shared_ptr<QtCharacteristic>& characteristic,
                        const QByteArray& value) override;
    void subscribed(const std::shared_ptr<QtCharacteristic>& characteristic) override;
    void notified(const std::shared_ptr<QtCharacteristic>& characteristic, const QByteArray& value) override;
    void subscriptionUnanswered(const std::shared_ptr<QtCharacteristic>& characteristic) override;
    void channelClosed(const std::shared_ptr<QtService>& service,
                       const std::shared_ptr<QtCharacteristic>& characteristic) override;

    void onServicesDiscovered();
    void watchService(const std::shared_ptr<QtService>& service);
    void onServiceStateChanged(const std::shared_ptr<QtService>& service,
                               QLowEnergyService::ServiceState state);
    void onServiceError(const std::shared_ptr<QtService>& service, QLowEnergyService::ServiceError error);

    std::shared_ptr<QtService> ownService(const ble::Service& service) const;
    // The characteristic and its service, when it belongs to this connection.
    std::pair<std::shared_ptr<QtService>, std::shared_ptr<QtCharacteristic>>
    ownCharacteristic(const ble::Characteristic& characteristic) const;
    bool isConnected() const { return link_.state() == QtLink::State::connected; }
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
    bool awaitsAnswer() const;
    // Said once a connection: what the stack knows of a refused request.
    void explainRefusal(RequestAdvisor::Request request, const QtService& service,
                        const QtCharacteristic& characteristic);
    void sayLongWait();
    // Answers every awaited request as dropped.
    void dropAwaited();
    void log(const std::string& line) const;

    QBluetoothDeviceInfo device_;
    std::string identifier_;
    std::optional<std::string> name_;
    std::weak_ptr<QtCentralManager> central_;
    std::shared_ptr<app::LogSink> log_;
    std::weak_ptr<ble::PeripheralDelegate> delegate_;

    bool servicesRequested_ = false;
    // The characteristics written without response that do not allow it, as said.
    std::set<std::string> uncheckedCommandWrites_;
    std::optional<std::vector<std::shared_ptr<QtService>>> services_;
    std::unique_ptr<RequestAdvisor> advisor_;
    // The refused requests the stack was asked about, and whether its advice was said.
    std::set<std::string> refusalsExplained_;
    bool refusalAdvised_ = false;
    RequestPace pace_;
    // Outlives the link, whose end gives the channels back.
    StackChannels channels_;
    QtLink link_;
    // Receives the signals; declared last so that it goes first and no
    // signal reaches a half-destroyed peripheral.
    QObject context_;
};

} // namespace qtble
