// The controller of the application's one window. It holds all program state
// and is the delegate of the central manager, of every peripheral it talks to,
// and the data source and delegate of the device table. Its handlers are
// spread over the subsystem folders: discovery/ (scan control, device list),
// connection/ (selection, connection, GATT walk, notification state) and
// protocol/ (poll, measurement frames).
#pragma once

#include "app/ble.h"
#include "app/log_sink.h"
#include "app/program_wide.h"
#include "app/timer.h"
#include "app/ui.h"
#include "app/user_defaults.h"

#include <any>
#include <initializer_list>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

class ViewController : public ble::CentralManagerDelegate,
                       public ble::PeripheralDelegate,
                       public ui::TableViewDataSource,
                       public ui::TableViewDelegate,
                       public std::enable_shared_from_this<ViewController> {
public:
    // What the controller needs of its platform.
    struct Platform {
        std::shared_ptr<app::LogSink> log;
        ble::CentralManagerFactory makeCentralManager;
        std::shared_ptr<app::RunLoop> runLoop;
        std::shared_ptr<ProgramWideValues> programWide;
    };

    static constexpr double pollInterval = 2.0;

    explicit ViewController(Platform platform);

    // Outlets, connected by the window before viewDidLoad.
    std::weak_ptr<ui::TableView> tableView;
    std::weak_ptr<ui::TextField> temperatureTxtFld;
    std::weak_ptr<ui::TextField> moistureTxtFld;
    std::weak_ptr<ui::Button> scanButton;

    std::shared_ptr<ble::CentralManager> centralManager;
    // Row i of the device table is entry i of both lists.
    std::optional<std::vector<std::shared_ptr<ble::Peripheral>>> peripherals;
    std::vector<int> RSSIs;
    ble::Bytes data;
    std::string writeData;
    std::map<ble::Uuid, ble::Bytes> characteristicValue;
    std::map<std::string, std::shared_ptr<ble::Characteristic>> characteristics;
    std::string peripheralNameStr;
    std::string peripheralIdStr;
    std::string peripheralRssiStr;
    // Never scheduled: the poll timer is kept by the run loop alone.
    std::shared_ptr<app::Timer> timer;
    // The poll is armed.
    bool counter = false;
    std::shared_ptr<app::UserDefaults> userDefaults;

    // The one connection the application has asked for, until it is
    // cancelled or drops; established once the platform reported it.
    std::shared_ptr<ble::Peripheral> connectionPeripheral;
    bool connectionEstablished = false;

    // Lifecycle.
    void viewDidLoad();
    void viewDidAppear();
    void viewWillDisappear();
    const std::any& representedObject() const { return representedObject_; }
    void setRepresentedObject(std::any object) { representedObject_ = std::move(object); }

    // Scan control.
    void refreshAction(const ui::Button& sender);
    void startScanning();
    void stopScanning();

    // Poll.
    void fTimerFireMethod(app::Timer& timer);

    // Central manager.
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

    // Peripheral.
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

    // Device table.
    long numberOfRowsInTableView(ui::TableView& tableView) override;
    std::shared_ptr<ui::TableCellView>
    tableViewViewForTableColumn(ui::TableView& tableView, const ui::TableColumn& column, long row) override;
    void tableViewSelectionDidChange(const ui::Notification& notification) override;

private:
    // Writes one log line: the items separated by one blank.
    void log(std::initializer_list<std::string_view> items) const;
    ProgramWideValues& programWide() const { return *platform_.programWide; }
    void reloadTable() const;
    // The row has an entry in both device lists.
    bool isListedRow(long row) const;
    // The number of listed peripherals in optional form.
    std::string peripheralCountText() const;
    bool isEstablishedConnection(const ble::Peripheral& peripheral) const;
    // Logs the start of a discovery answer and its error; true when discovery succeeded.
    bool logDiscoveryOutcome(const std::optional<ble::Error>& error) const;
    // Records the meter's request characteristic, sends the first request and arms the poll.
    void armPoll(const std::shared_ptr<ble::Peripheral>& peripheral,
                 const std::shared_ptr<ble::Characteristic>& characteristic);
    // The platform ended or refused the connection to that peripheral.
    void forgetConnectionTo(const ble::Peripheral& peripheral);
    // Cancels the application's connection, and with it the poll when it
    // targeted that peripheral.
    void cancelConnection();
    // Stops the poll when it targets the given peripheral.
    void disarmPollFor(const ble::Peripheral& peripheral);

    Platform platform_;
    std::any representedObject_;
};
