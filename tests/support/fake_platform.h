// A fake platform for the controller: every call the controller makes is recorded, the links to the
// devices are tracked as a radio would, and a test or the fuzzer delivers the callbacks by hand.
#pragma once

#include "app/view_controller.h"
#include "discovery/scan_table_cell_view.h"

#include <algorithm>
#include <map>
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

// Fires the one timer the controller schedules, on a virtual clock.
class RunLoop : public app::RunLoop {
public:
    void addTimer(std::shared_ptr<app::Timer> added, std::string_view addedMode) override
    {
        timer = std::move(added);
        mode = addedMode;
        due = now + timer->timeInterval().count();
    }
    // Moves the clock forward, firing the timer each time it falls due on the way.
    void advance(double seconds)
    {
        const double end = now + seconds;
        for (; timer && timer->isValid() && due <= end; due += timer->timeInterval().count()) {
            now = due;
            timer->fire();
        }
        now = end;
    }

    std::shared_ptr<app::Timer> timer;
    std::string mode;
    double due = 0.0;
    double now = 0.0;
};

class Characteristic : public ble::Characteristic {
public:
    Characteristic(ble::Uuid uuid, std::uint32_t properties) : id(uuid), bits(properties) {}
    ble::Uuid uuid() const override { return id; }
    std::uint32_t properties() const override { return bits; }
    bool isNotifying() const override { return notifying; }
    std::optional<ble::Bytes> value() const override { return currentValue; }
    std::string description() const override
    {
        return "<Characteristic: UUID = " + id.uuidString() + ", properties = " + std::to_string(bits) + ">";
    }

    const ble::Uuid id;
    const std::uint32_t bits;
    bool notifying = false;
    std::optional<ble::Bytes> currentValue;
};

class Service : public ble::Service {
public:
    explicit Service(ble::Uuid uuid) : id(uuid) {}
    ble::Uuid uuid() const override { return id; }
    std::optional<std::vector<std::shared_ptr<ble::Characteristic>>> characteristics() const override
    {
        return discovered;
    }
    std::string description() const override { return "<Service: UUID = " + id.uuidString() + ">"; }

    const ble::Uuid id;
    std::optional<std::vector<std::shared_ptr<ble::Characteristic>>> discovered;
};

// A call the controller made to the central manager or to a peripheral.
struct Request {
    enum class Kind { scan, stopScan, connect, cancel, services, characteristics, notify, read, write };
    Kind kind;
    std::shared_ptr<ble::Peripheral> peripheral = {};
    std::shared_ptr<ble::Service> service = {};
    std::shared_ptr<ble::Characteristic> characteristic = {};
    // What was written; for a scan, whether duplicates were asked for; for notify, whether enabled.
    ble::Bytes value = {};
    std::optional<ble::WriteType> writeType = {};
};

// Records the requests made to a platform object.
struct Recorder {
    // The requests of one kind, in the order they were made.
    std::vector<Request> of(Request::Kind kind) const
    {
        std::vector<Request> matching;
        std::ranges::copy_if(requests, std::back_inserter(matching),
                             [kind](const auto& request) { return request.kind == kind; });
        return matching;
    }
    std::vector<Request> requests;
};

class Peripheral : public ble::Peripheral, public Recorder {
public:
    using Kind = Request::Kind;

    Peripheral(std::string identifier, std::optional<std::string> name)
        : currentName(std::move(name)), id(std::move(identifier))
    {
    }
    const std::string& identifier() const override { return id; }
    std::optional<std::string> name() const override { return currentName; }
    std::string description() const override
    {
        return "<Peripheral: identifier = " + id + ", name = " + currentName.value_or("(null)") + ">";
    }
    void setDelegate(std::weak_ptr<ble::PeripheralDelegate> newDelegate) override { delegate = newDelegate; }
    void discoverServices() override { requests.push_back({.kind = Kind::services}); }
    std::optional<std::vector<std::shared_ptr<ble::Service>>> services() const override { return discovered; }
    void discoverCharacteristics(const std::shared_ptr<ble::Service>& service) override
    {
        requests.push_back({.kind = Kind::characteristics, .service = service});
    }
    void setNotifyValue(bool enabled, const std::shared_ptr<ble::Characteristic>& characteristic) override
    {
        requests.push_back({.kind = Kind::notify, .characteristic = characteristic, .value = {enabled}});
    }
    void readValue(const std::shared_ptr<ble::Characteristic>& characteristic) override
    {
        requests.push_back({.kind = Kind::read, .characteristic = characteristic});
    }
    void writeValue(const ble::Bytes& value, const std::shared_ptr<ble::Characteristic>& characteristic,
                    ble::WriteType type) override
    {
        requests.push_back(
            {.kind = Kind::write, .characteristic = characteristic, .value = value, .writeType = type});
    }
    std::optional<std::string> currentName;
    std::weak_ptr<ble::PeripheralDelegate> delegate;
    std::optional<std::vector<std::shared_ptr<ble::Service>>> discovered;
    const std::string id;
};

class CentralManager : public ble::CentralManager, public Recorder {
public:
    enum class Link { none, pending, connected };

    int state() const override { return currentState; }
    void scanForPeripherals(const ble::ScanOptions& options) override
    {
        requests.push_back({.kind = Request::Kind::scan, .value = {options.allowDuplicates}});
    }
    void stopScan() override { requests.push_back({.kind = Request::Kind::stopScan}); }
    void connectPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral) override
    {
        requests.push_back({.kind = Request::Kind::connect, .peripheral = peripheral});
        if (linkTo(*peripheral) == Link::none)
            links[peripheral->identifier()] = {Link::pending, peripheral};
    }
    void cancelPeripheralConnection(const std::shared_ptr<ble::Peripheral>& peripheral) override
    {
        requests.push_back({.kind = Request::Kind::cancel, .peripheral = peripheral});
        if (links.erase(peripheral->identifier()) > 0)
            owedDisconnections.push_back(peripheral);
    }
    Link linkTo(const ble::Peripheral& peripheral) const
    {
        const auto link = links.find(peripheral.identifier());
        return link == links.end() ? Link::none : link->second.first;
    }
    std::size_t connectedLinks() const
    {
        return std::count_if(links.begin(), links.end(),
                             [](const auto& link) { return link.second.first == Link::connected; });
    }

    int currentState = ble::managerState::poweredOn;
    std::weak_ptr<ble::CentralManagerDelegate> delegate;
    // The radio's view of each device's link, by identifier, with the object it was made for.
    std::map<std::string, std::pair<Link, std::shared_ptr<ble::Peripheral>>> links;
    // A cancelled link is answered later by a disconnection without error.
    std::vector<std::shared_ptr<ble::Peripheral>> owedDisconnections;
};

class TextField : public ui::TextField {
public:
    explicit TextField(std::string initial = {}) : text(std::move(initial)) {}
    void setStringValue(const std::string& newText) override
    {
        text = newText;
        ++writes;
    }
    std::string stringValue() const override { return text; }
    std::string text;
    int writes = 0;
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
    std::shared_ptr<TextField> name = std::make_shared<TextField>("Name"),
                               id = std::make_shared<TextField>("ID"),
                               rssi = std::make_shared<TextField>("RSSI");
};

class TableView : public ui::TableView {
public:
    void setDelegate(std::weak_ptr<ui::TableViewDelegate> newDelegate) override { delegate = newDelegate; }
    void setDataSource(std::weak_ptr<ui::TableViewDataSource> source) override { dataSource = source; }
    void reloadData() override { ++reloads; }
    long selectedRow() const override { return selection.empty() ? -1 : selection.front(); }
    std::vector<long> selectedRowIndexes() const override { return selection; }
    // Only the "defaultRow" prototype is registered: any other identifier gives no cell.
    std::shared_ptr<ui::TableCellView> makeViewWithIdentifier(std::string_view identifier) override
    {
        if (identifier != "defaultRow")
            return nullptr;
        const auto& cell = cells.emplace_back();
        cell.view->deviceNameTextField = cell.name;
        cell.view->deviceID_TextField = cell.id;
        cell.view->deviceRSSI_TextField = cell.rssi;
        return cell.view;
    }

    int reloads = 0;
    std::vector<long> selection;
    std::vector<Cell> cells;
    std::weak_ptr<ui::TableViewDelegate> delegate;
    std::weak_ptr<ui::TableViewDataSource> dataSource;
};

inline std::shared_ptr<Characteristic> makeCharacteristic(std::string_view uuid, std::uint32_t properties)
{
    return std::make_shared<Characteristic>(*ble::Uuid::fromString(uuid), properties);
}

// A service whose characteristics were discovered.
inline std::shared_ptr<Service> makeService(std::string_view uuid,
                                            std::vector<std::shared_ptr<ble::Characteristic>> characteristics)
{
    auto service = std::make_shared<Service>(*ble::Uuid::fromString(uuid));
    service->discovered = std::move(characteristics);
    return service;
}

// The window's outlets and what its user does, around a controller whose view it loads.
struct Window {
    void load(std::shared_ptr<ViewController> loaded)
    {
        controller = std::move(loaded);
        controller->tableView = table;
        controller->temperatureTxtFld = temperature;
        controller->moistureTxtFld = humidity;
        controller->scanButton = scanButton;
        controller->viewDidLoad();
    }
    // The user switches the scan button on or off.
    void toggleScan(bool on)
    {
        scanButton->currentState = on ? ui::controlState::on : ui::controlState::off;
        controller->refreshAction(*scanButton);
    }
    // The user selects rows; the table tells its delegate.
    void select(std::vector<long> rows)
    {
        table->selection = std::move(rows);
        controller->tableViewSelectionDidChange(ui::Notification{table});
    }

    std::shared_ptr<TableView> table = std::make_shared<TableView>();
    std::shared_ptr<TextField> temperature = std::make_shared<TextField>();
    std::shared_ptr<TextField> humidity = std::make_shared<TextField>();
    std::shared_ptr<Button> scanButton = std::make_shared<Button>();
    std::shared_ptr<ViewController> controller;
};

// A whole platform around one controller, with its view loaded.
struct Platform : Window {
    Platform()
    {
        const auto makeCentral = [central = central](std::weak_ptr<ble::CentralManagerDelegate> delegate) {
            central->delegate = delegate;
            return central;
        };
        load(std::make_shared<ViewController>(
            ViewController::Platform{log, makeCentral, runLoop, programWide}));
    }
    void report(const std::shared_ptr<Peripheral>& peripheral, int rssi,
                ble::AdvertisementData advertisement = {})
    {
        controller->centralManagerDidDiscoverPeripheral(*central, peripheral, advertisement, rssi);
    }
    // The radio completes, refuses or ends a link and says so.
    void connect(const std::shared_ptr<ble::Peripheral>& peripheral)
    {
        central->links[peripheral->identifier()] = {CentralManager::Link::connected, peripheral};
        controller->centralManagerDidConnectPeripheral(*central, peripheral);
    }
    void failToConnect(const std::shared_ptr<ble::Peripheral>& peripheral, std::optional<ble::Error> error)
    {
        central->links.erase(peripheral->identifier());
        controller->centralManagerDidFailToConnectPeripheral(*central, peripheral, error);
    }
    void disconnect(const std::shared_ptr<ble::Peripheral>& peripheral, std::optional<ble::Error> error = {})
    {
        central->links.erase(peripheral->identifier());
        controller->centralManagerDidDisconnectPeripheral(*central, peripheral, error);
    }
    // The peripheral reports its services, then each service its characteristics.
    void discoverGatt(const std::shared_ptr<Peripheral>& peripheral,
                      std::vector<std::shared_ptr<Service>> services)
    {
        peripheral->discovered.emplace(services.begin(), services.end());
        controller->peripheralDidDiscoverServices(peripheral, std::nullopt);
        for (const auto& service : services)
            controller->peripheralDidDiscoverCharacteristicsForService(peripheral, service, std::nullopt);
    }
    void deliverValue(const std::shared_ptr<Peripheral>& peripheral,
                      const std::shared_ptr<Characteristic>& characteristic, std::optional<ble::Bytes> value,
                      std::optional<ble::Error> error = std::nullopt)
    {
        characteristic->currentValue = std::move(value);
        controller->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, error);
    }

    std::shared_ptr<Log> log = std::make_shared<Log>();
    std::shared_ptr<RunLoop> runLoop = std::make_shared<RunLoop>();
    std::shared_ptr<ProgramWideValues> programWide = std::make_shared<ProgramWideValues>();
    std::shared_ptr<CentralManager> central = std::make_shared<CentralManager>();
};

} // namespace fake
