// A fake platform for the controller: every call the controller makes is
// recorded, and a test delivers the platform's callbacks by hand.
#pragma once

#include "app/ble.h"
#include "app/log_sink.h"
#include "app/timer.h"
#include "app/ui.h"
#include "app/view_controller.h"
#include "discovery/scan_table_cell_view.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace fake {

class Log : public app::LogSink {
public:
    void writeLine(std::string_view line) override { lines.emplace_back(line); }
    std::vector<std::string> lines;
};

// Fires scheduled timers on a virtual clock.
class RunLoop : public app::RunLoop {
public:
    void addTimer(std::shared_ptr<app::Timer> timer, std::string_view mode) override;
    // Moves the clock forward, firing every timer that falls due on the way.
    void advance(double seconds);

    struct Scheduled {
        std::shared_ptr<app::Timer> timer;
        std::string mode;
        double due;
    };
    std::vector<Scheduled> scheduled;
    double now = 0.0;
};

class Characteristic : public ble::Characteristic {
public:
    Characteristic(ble::Uuid uuid, std::uint32_t properties) : uuid_(uuid), properties_(properties) {}
    ble::Uuid uuid() const override { return uuid_; }
    std::uint32_t properties() const override { return properties_; }
    bool isNotifying() const override { return notifying; }
    std::optional<ble::Bytes> value() const override { return currentValue; }
    std::string description() const override;

    bool notifying = false;
    std::optional<ble::Bytes> currentValue;

private:
    ble::Uuid uuid_;
    std::uint32_t properties_;
};

class Service : public ble::Service {
public:
    explicit Service(ble::Uuid uuid) : uuid_(uuid) {}
    ble::Uuid uuid() const override { return uuid_; }
    std::optional<std::vector<std::shared_ptr<ble::Characteristic>>> characteristics() const override
    {
        return discovered;
    }
    std::string description() const override;

    std::optional<std::vector<std::shared_ptr<ble::Characteristic>>> discovered;

private:
    ble::Uuid uuid_;
};

// A request the controller sent to a peripheral.
struct Request {
    enum class Kind { discoverServices, discoverCharacteristics, setNotify, read, write };
    Kind kind;
    std::shared_ptr<ble::Service> service;
    std::shared_ptr<ble::Characteristic> characteristic;
    ble::Bytes value;
    std::optional<ble::WriteType> writeType;
};

class Peripheral : public ble::Peripheral, public std::enable_shared_from_this<Peripheral> {
public:
    Peripheral(std::string identifier, std::optional<std::string> name)
        : currentName(std::move(name)), identifier_(std::move(identifier))
    {
    }
    std::string identifier() const override { return identifier_; }
    std::optional<std::string> name() const override { return currentName; }
    std::string description() const override;
    void setDelegate(std::weak_ptr<ble::PeripheralDelegate> newDelegate) override
    {
        delegate = std::move(newDelegate);
    }
    void discoverServices() override;
    std::optional<std::vector<std::shared_ptr<ble::Service>>> services() const override { return discovered; }
    void discoverCharacteristics(const std::shared_ptr<ble::Service>& service) override;
    void setNotifyValue(bool enabled, const std::shared_ptr<ble::Characteristic>& characteristic) override;
    void readValue(const std::shared_ptr<ble::Characteristic>& characteristic) override;
    void writeValue(const ble::Bytes& value, const std::shared_ptr<ble::Characteristic>& characteristic,
                    ble::WriteType type) override;

    std::vector<Request> requestsOf(Request::Kind kind) const;

    std::optional<std::string> currentName;
    std::weak_ptr<ble::PeripheralDelegate> delegate;
    std::optional<std::vector<std::shared_ptr<ble::Service>>> discovered;
    std::vector<Request> requests;

private:
    std::string identifier_;
};

// A request the controller sent to the central manager.
struct CentralCall {
    enum class Kind { scan, stopScan, connect, cancel };
    Kind kind;
    std::shared_ptr<ble::Peripheral> peripheral;
    std::optional<ble::ScanOptions> options;
};

class CentralManager : public ble::CentralManager {
public:
    int state() const override { return currentState; }
    void scanForPeripherals(const ble::ScanOptions& options) override;
    void stopScan() override;
    void connectPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral) override;
    void cancelPeripheralConnection(const std::shared_ptr<ble::Peripheral>& peripheral) override;

    std::vector<CentralCall> callsOf(CentralCall::Kind kind) const;

    int currentState = ble::managerState::poweredOn;
    std::weak_ptr<ble::CentralManagerDelegate> delegate;
    std::vector<CentralCall> calls;
};

class TextField : public ui::TextField {
public:
    explicit TextField(std::string text = {}) : text_(std::move(text)) {}
    void setStringValue(const std::string& text) override
    {
        text_ = text;
        ++writes;
    }
    std::string stringValue() const override { return text_; }
    int writes = 0;

private:
    std::string text_;
};

class Button : public ui::Button {
public:
    int state() const override { return currentState; }
    void setState(int state) override { currentState = state; }
    int currentState = ui::controlState::off;
};

// A cell made from the "defaultRow" prototype, owning its text fields.
struct Cell {
    std::shared_ptr<ScanTableCellView> view = std::make_shared<ScanTableCellView>();
    std::shared_ptr<TextField> name = std::make_shared<TextField>("Name");
    std::shared_ptr<TextField> id = std::make_shared<TextField>("ID");
    std::shared_ptr<TextField> rssi = std::make_shared<TextField>("RSSI");
};

class TableView : public ui::TableView {
public:
    void setDelegate(std::weak_ptr<ui::TableViewDelegate> newDelegate) override
    {
        delegate = std::move(newDelegate);
    }
    void setDataSource(std::weak_ptr<ui::TableViewDataSource> newDataSource) override
    {
        dataSource = std::move(newDataSource);
    }
    void reloadData() override { ++reloads; }
    long selectedRow() const override { return selection.empty() ? -1 : selection.front(); }
    std::vector<long> selectedRowIndexes() const override { return selection; }
    std::shared_ptr<ui::TableCellView> makeViewWithIdentifier(std::string_view identifier) override;

    int reloads = 0;
    std::vector<long> selection;
    std::vector<std::string> requestedIdentifiers;
    std::vector<Cell> cells;
    std::weak_ptr<ui::TableViewDelegate> delegate;
    std::weak_ptr<ui::TableViewDataSource> dataSource;
};

std::shared_ptr<Characteristic> makeCharacteristic(std::string_view uuid, std::uint32_t properties);
// A service whose characteristics were discovered.
std::shared_ptr<Service> makeService(std::string_view uuid,
                                     std::vector<std::shared_ptr<ble::Characteristic>> characteristics);

// A whole platform around one controller, with its view loaded.
struct Platform {
    Platform();

    std::shared_ptr<Log> log = std::make_shared<Log>();
    std::shared_ptr<RunLoop> runLoop = std::make_shared<RunLoop>();
    std::shared_ptr<ProgramWideValues> programWide = std::make_shared<ProgramWideValues>();
    std::shared_ptr<CentralManager> central = std::make_shared<CentralManager>();
    std::shared_ptr<TableView> table = std::make_shared<TableView>();
    std::shared_ptr<TextField> temperature = std::make_shared<TextField>();
    std::shared_ptr<TextField> humidity = std::make_shared<TextField>();
    std::shared_ptr<Button> scanButton = std::make_shared<Button>();
    std::shared_ptr<ViewController> controller;

    // The user switches the scan button on or off.
    void toggleScan(bool on);
    void report(const std::shared_ptr<Peripheral>& peripheral, int rssi,
                ble::AdvertisementData advertisement = {});
    // The user selects rows; the table tells its delegate.
    void select(std::vector<long> rows);
    void connect(const std::shared_ptr<Peripheral>& peripheral);
    void disconnect(const std::shared_ptr<Peripheral>& peripheral,
                    std::optional<ble::Error> error = std::nullopt);
    // The peripheral reports its services, then each service its characteristics.
    void discoverGatt(const std::shared_ptr<Peripheral>& peripheral,
                      std::vector<std::shared_ptr<Service>> services);
    void deliverValue(const std::shared_ptr<Peripheral>& peripheral,
                      const std::shared_ptr<Characteristic>& characteristic, ble::Bytes value);

    // Log lines written from the given index on.
    std::vector<std::string> linesSince(std::size_t first) const;
};

} // namespace fake
