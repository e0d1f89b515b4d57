#include "controller_driver.h"

#include "text_checks.h"

#include <algorithm>
#include <array>

namespace reliability {
namespace {

constexpr std::size_t deviceCount = 6;
// A radio that owes more answers than this has lost the oldest ones.
constexpr std::size_t owedLimit = 512;

ble::Uuid pickUuid(ByteReader& reader)
{
    switch (reader.below(8)) {
    case 0:
        return ble::Uuid::fromShort(0xFF01);
    case 1:
        return ble::Uuid::fromShort(0xFF02);
    case 2:
        return ble::Uuid::fromShort(0xFF00 | reader.byte());
    case 3:
        return ble::Uuid::fromShort(reader.below(0x10000));
    case 4:
        return ble::Uuid::fromShort(static_cast<std::uint32_t>(reader.int32()));
    default: {
        std::array<std::uint8_t, 16> bytes{};
        for (auto& byte : bytes)
            byte = reader.byte();
        return ble::Uuid(bytes);
    }
    }
}

std::optional<ble::Error> maybeError(ByteReader& reader)
{
    if (!reader.flag())
        return std::nullopt;
    return ble::Error{reader.text(96)};
}

// Mostly measurement frames of either kind, or anything else a device might send.
std::optional<ble::Bytes> pickValue(ByteReader& reader)
{
    switch (reader.below(6)) {
    case 0:
        return std::nullopt;
    case 1:
    case 2:
    case 3: {
        ble::Bytes frame(19);
        for (auto& byte : frame)
            byte = reader.byte();
        const auto kind = reader.below(3);
        if (kind < 2)
            frame[4] = kind == 0 ? '0' : '4';
        return frame;
    }
    default:
        return reader.bytes(600);
    }
}

// A discovery answer: an error, no list, or a list of a few entries, now and
// then of many; the list goes into the slot the platform reads it from.
template <typename Entry, typename MakeEntry>
std::optional<ble::Error> decideDiscovery(ByteReader& reader,
                                          std::optional<std::vector<std::shared_ptr<Entry>>>& slot,
                                          std::uint32_t most, MakeEntry makeEntry)
{
    switch (reader.below(8)) {
    case 0:
        return ble::Error{reader.text(96)};
    case 1:
        slot.reset();
        return std::nullopt;
    default: {
        std::vector<std::shared_ptr<Entry>> entries(reader.below(4) == 0 ? reader.below(most)
                                                                         : reader.below(6));
        for (auto& entry : entries)
            entry = makeEntry();
        slot = std::move(entries);
        return std::nullopt;
    }
    }
}

std::vector<long> pickRows(ByteReader& reader, std::size_t listed)
{
    std::vector<long> rows(reader.below(4));
    for (auto& row : rows)
        row = reader.below(4) == 0
                  ? reader.int32()
                  : static_cast<long>(reader.below(static_cast<std::uint32_t>(listed) + 2)) - 1;
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

} // namespace

std::string runActions(std::span<const std::uint8_t> bytes)
{
    ByteReader reader(bytes);
    ActionDriver driver;
    while (!reader.empty()) {
        auto violation = driver.step(reader);
        if (!violation.empty())
            return violation;
    }
    return {};
}

ActionDriver::ActionDriver()
{
    for (std::size_t i = 0; i < deviceCount; ++i) {
        const auto identifier = "DEV-" + std::to_string(i);
        auto object = std::make_shared<fake::Peripheral>(identifier, "Device " + std::to_string(i));
        everyObject_.push_back(object);
        devices_.push_back({identifier, object});
    }
    before_ = snapshot();
}

const char* ActionDriver::nameOf(Action action)
{
    static constexpr std::array<const char*, static_cast<std::size_t>(Action::count)> names = {
        "scan on",         "scan off",         "report",         "rename device",        "new object",
        "select",          "odd notification", "ask for cells",  "connection made",      "connection failed",
        "connection drop", "late connection",  "deliver answer", "deliver answer twice", "unsolicited value",
        "timer tick",      "radio state",      "close outlet",   "view lifecycle"};
    return names[static_cast<std::size_t>(action)];
}

std::string ActionDriver::step(ByteReader& reader)
{
    ++steps_;
    const auto action = static_cast<Action>(reader.below(static_cast<std::uint32_t>(Action::count)));
    run(action, reader);
    auto violation = checkInvariants(action);
    before_ = snapshot();
    if (violation.empty())
        return {};
    return "step " + std::to_string(steps_) + " (" + nameOf(action) + "): " + violation;
}

void ActionDriver::run(Action action, ByteReader& reader)
{
    auto& controller = *platform_.controller;
    switch (action) {
    case Action::scanOn:
    case Action::scanOff:
        toggleScan(action == Action::scanOn);
        break;
    case Action::report:
        report(reader);
        break;
    case Action::renameDevice: {
        auto& device = pickDevice(reader);
        device.current->currentName = reader.flag() ? std::nullopt : std::optional(reader.text(300));
        break;
    }
    case Action::replaceDeviceObject: {
        auto& device = pickDevice(reader);
        device.current = newObject(device.identifier, reader);
        break;
    }
    case Action::select:
        select(reader);
        break;
    case Action::oddSelectionNotification:
        controller.tableViewSelectionDidChange(
            ui::Notification{reader.flag() ? nullptr : std::make_shared<fake::Button>()});
        break;
    case Action::askForCells: {
        controller.numberOfRowsInTableView(*platform_.table);
        const auto rows = pickRows(reader, platform_.controller->peripherals->size());
        for (const long row : rows)
            controller.tableViewViewForTableColumn(*platform_.table, ui::TableColumn{"name"}, row);
        break;
    }
    case Action::completeConnection:
        for (auto& [identifier, link] : links_) {
            if (link.state == Link::State::pending && reader.flag()) {
                link.state = Link::State::connected;
                centralDelegate()->centralManagerDidConnectPeripheral(*platform_.central, link.peripheral);
                break;
            }
        }
        break;
    case Action::failConnection:
        connectionEnds(reader, Link::State::pending, false);
        break;
    case Action::dropConnection:
        connectionEnds(reader, Link::State::connected, true);
        break;
    case Action::lateConnection:
        lateConnection(reader);
        break;
    case Action::deliverEvent:
    case Action::deliverEventTwice:
        if (!owed_.empty()) {
            const auto index = reader.flag() ? 0 : reader.below(static_cast<std::uint32_t>(owed_.size()));
            const auto event = owed_[index];
            if (action == Action::deliverEvent)
                owed_.erase(owed_.begin() + index);
            deliver(event, reader);
        }
        break;
    case Action::unsolicitedValue:
        unsolicitedValue(reader);
        break;
    case Action::timerTick:
        platform_.runLoop->advance(reader.flag() ? ViewController::pollInterval : reader.below(9) * 0.5);
        break;
    case Action::radioState:
        platform_.central->currentState = static_cast<int>(reader.below(8));
        centralDelegate()->centralManagerDidUpdateState(*platform_.central);
        break;
    case Action::closeOutlet:
        switch (reader.below(3)) {
        case 0:
            platform_.temperature.reset();
            break;
        case 1:
            platform_.humidity.reset();
            break;
        default:
            platform_.scanButton.reset();
        }
        break;
    case Action::viewLifecycle:
        if (reader.flag())
            controller.viewDidAppear();
        else
            controller.viewWillDisappear();
        break;
    case Action::count:
        break;
    }
}

void ActionDriver::toggleScan(bool on)
{
    // The window may have lost its button; the action still names a sender.
    const auto sender = platform_.scanButton ? platform_.scanButton : std::make_shared<fake::Button>();
    sender->currentState = on ? ui::controlState::on : ui::controlState::off;
    platform_.controller->refreshAction(*sender);
}

void ActionDriver::report(ByteReader& reader)
{
    auto& device = pickDevice(reader);
    if (reader.below(4) == 0)
        device.current = newObject(device.identifier, reader);
    const auto& peripheral = device.current;
    switch (reader.below(4)) {
    case 0:
        peripheral->currentName.reset();
        break;
    case 1:
        peripheral->currentName = reader.text(300);
        break;
    default:
        break;
    }
    const int rssi = reader.below(8) == 0 ? reader.int32() : static_cast<std::int8_t>(reader.byte());
    ble::AdvertisementData advertisement;
    for (auto entries = reader.below(4); entries > 0; --entries)
        advertisement[reader.text(32)] = reader.text(64);
    lastReport_ = {peripheral, peripheral->name().has_value(), rssi};
    centralDelegate()->centralManagerDidDiscoverPeripheral(*platform_.central, peripheral, advertisement,
                                                           rssi);
}

void ActionDriver::select(ByteReader& reader)
{
    platform_.select(pickRows(reader, platform_.controller->peripherals->size()));
}

void ActionDriver::connectionEnds(ByteReader& reader, Link::State from, bool asDisconnection)
{
    for (auto& [identifier, link] : links_) {
        if (link.state != from || !reader.flag())
            continue;
        link.state = Link::State::none;
        // A drop always says why: a disconnection without error is the
        // platform's answer to the application's own cancel.
        if (asDisconnection)
            centralDelegate()->centralManagerDidDisconnectPeripheral(*platform_.central, link.peripheral,
                                                                     ble::Error{reader.text(96)});
        else
            centralDelegate()->centralManagerDidFailToConnectPeripheral(*platform_.central, link.peripheral,
                                                                        maybeError(reader));
        return;
    }
}

// A connection that completes although nobody asks for it any more: the
// answer was already on its way when the request was cancelled.
void ActionDriver::lateConnection(ByteReader& reader)
{
    auto& device = pickDevice(reader);
    auto& link = links_[device.identifier];
    if (link.state != Link::State::none)
        return;
    link = {Link::State::connected, device.current, link.generation + 1};
    centralDelegate()->centralManagerDidConnectPeripheral(*platform_.central, device.current);
}

void ActionDriver::deliver(const Event& event, ByteReader& reader)
{
    const auto& peripheral = event.peripheral;
    switch (event.kind) {
    case Event::Kind::services:
        answerServiceDiscovery(event, reader);
        break;
    case Event::Kind::characteristics:
        answerCharacteristicDiscovery(event, reader);
        break;
    case Event::Kind::notificationState:
        if (const auto characteristic = std::dynamic_pointer_cast<fake::Characteristic>(event.characteristic))
            characteristic->notifying = reader.flag();
        if (const auto delegate = peripheral->delegate.lock())
            delegate->peripheralDidUpdateNotificationStateForCharacteristic(peripheral, event.characteristic,
                                                                            maybeError(reader));
        break;
    case Event::Kind::read:
        answerValue(peripheral, event.characteristic, reader);
        break;
    case Event::Kind::disconnected:
        centralDelegate()->centralManagerDidDisconnectPeripheral(*platform_.central, peripheral,
                                                                 std::nullopt);
        break;
    }
}

void ActionDriver::answerServiceDiscovery(const Event& event, ByteReader& reader)
{
    const auto& peripheral = event.peripheral;
    const auto error =
        decideDiscovery(reader, peripheral->discovered, 40, [&] { return makeService(reader); });
    if (const auto delegate = peripheral->delegate.lock())
        delegate->peripheralDidDiscoverServices(peripheral, error);
}

void ActionDriver::answerCharacteristicDiscovery(const Event& event, ByteReader& reader)
{
    const auto service = std::dynamic_pointer_cast<fake::Service>(event.service);
    if (!service)
        return;
    const auto error = decideDiscovery(reader, service->discovered, 64, [&] {
        return makeCharacteristic(reader, event.peripheral->identifier());
    });
    if (const auto delegate = event.peripheral->delegate.lock())
        delegate->peripheralDidDiscoverCharacteristicsForService(event.peripheral, service, error);
}

void ActionDriver::answerValue(const std::shared_ptr<fake::Peripheral>& peripheral,
                               const std::shared_ptr<ble::Characteristic>& characteristic, ByteReader& reader)
{
    if (const auto writable = std::dynamic_pointer_cast<fake::Characteristic>(characteristic))
        writable->currentValue = pickValue(reader);
    if (const auto delegate = peripheral->delegate.lock())
        delegate->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, maybeError(reader));
}

// A notification from any device, on one of its characteristics or on one it never offered.
void ActionDriver::unsolicitedValue(ByteReader& reader)
{
    const auto& peripheral = everyObject_[reader.below(static_cast<std::uint32_t>(everyObject_.size()))];
    std::vector<std::shared_ptr<ble::Characteristic>> offered;
    for (const auto& service : peripheral->discovered.value_or(std::vector<std::shared_ptr<ble::Service>>{}))
        for (const auto& characteristic :
             service->characteristics().value_or(std::vector<std::shared_ptr<ble::Characteristic>>{}))
            offered.push_back(characteristic);
    const auto characteristic = offered.empty() || reader.below(4) == 0
                                    ? makeCharacteristic(reader, "nobody")
                                    : offered[reader.below(static_cast<std::uint32_t>(offered.size()))];
    answerValue(peripheral, characteristic, reader);
}

std::shared_ptr<fake::Service> ActionDriver::makeService(ByteReader& reader)
{
    return std::make_shared<fake::Service>(pickUuid(reader));
}

std::shared_ptr<fake::Characteristic> ActionDriver::makeCharacteristic(ByteReader& reader,
                                                                       const std::string& owner)
{
    const auto uuid = pickUuid(reader);
    const std::uint32_t properties =
        reader.below(8) == 0 ? static_cast<std::uint32_t>(reader.int32()) : reader.byte();
    auto characteristic = std::make_shared<fake::Characteristic>(uuid, properties);
    characteristicOwner_[characteristic] = owner;
    return characteristic;
}

ActionDriver::Device& ActionDriver::pickDevice(ByteReader& reader)
{
    return devices_[reader.below(static_cast<std::uint32_t>(devices_.size()))];
}

std::shared_ptr<fake::Peripheral> ActionDriver::newObject(const std::string& identifier, ByteReader& reader)
{
    auto object = std::make_shared<fake::Peripheral>(
        identifier, reader.flag() ? std::nullopt : std::optional(reader.text(300)));
    everyObject_.push_back(object);
    return object;
}

std::shared_ptr<ble::CentralManagerDelegate> ActionDriver::centralDelegate() const
{
    return platform_.central->delegate.lock();
}

std::string ActionDriver::absorbRequests()
{
    const auto& calls = platform_.central->calls;
    for (auto call = calls.begin() + static_cast<std::ptrdiff_t>(before_.centralCalls); call != calls.end();
         ++call) {
        if (!call->peripheral)
            continue;
        auto& link = links_[call->peripheral->identifier()];
        const auto peripheral = std::dynamic_pointer_cast<fake::Peripheral>(call->peripheral);
        if (call->kind == fake::CentralCall::Kind::connect && link.state == Link::State::none) {
            link = {Link::State::pending, peripheral, link.generation + 1};
        } else if (call->kind == fake::CentralCall::Kind::cancel && link.state != Link::State::none) {
            link.state = Link::State::none;
            owed_.push_back({Event::Kind::disconnected, peripheral, nullptr, nullptr, link.generation});
        }
    }

    const auto& controller = *platform_.controller;
    for (const auto& object : everyObject_) {
        const auto seen =
            before_.requestCounts.contains(object.get()) ? before_.requestCounts.at(object.get()) : 0;
        for (auto request = object->requests.begin() + static_cast<std::ptrdiff_t>(seen);
             request != object->requests.end(); ++request) {
            switch (request->kind) {
            case fake::Request::Kind::discoverServices:
                owed_.push_back({Event::Kind::services, object, nullptr, nullptr, 0});
                break;
            case fake::Request::Kind::discoverCharacteristics:
                owed_.push_back({Event::Kind::characteristics, object, request->service, nullptr, 0});
                break;
            case fake::Request::Kind::setNotify:
                owed_.push_back(
                    {Event::Kind::notificationState, object, nullptr, request->characteristic, 0});
                break;
            case fake::Request::Kind::read:
                owed_.push_back({Event::Kind::read, object, nullptr, request->characteristic, 0});
                break;
            case fake::Request::Kind::write: {
                const auto& link = links_[object->identifier()];
                const auto owner = characteristicOwner_.find(request->characteristic);
                if (link.state != Link::State::connected)
                    return "a request went to " + object->identifier() + ", which is not connected";
                if (!controller.connectionEstablished || !controller.connectionPeripheral ||
                    !controller.connectionPeripheral->isEqual(*object))
                    return "a request went to " + object->identifier() + ", not the application's connection";
                if (!controller.counter)
                    return "a request went out while the poll is not armed";
                if (owner == characteristicOwner_.end() || owner->second != object->identifier())
                    return "a request went to " + object->identifier() +
                           " on another device's characteristic";
                if (request->characteristic->uuid().uuidString() != "FF01" ||
                    request->value != ble::Bytes{0x5E} ||
                    request->writeType != ble::WriteType::withoutResponse)
                    return "a write that is not the measurement request";
                break;
            }
            }
        }
    }
    while (owed_.size() > owedLimit)
        owed_.pop_front();
    return {};
}

std::string ActionDriver::checkInvariants(Action action)
{
    if (auto violation = absorbRequests(); !violation.empty())
        return violation;

    const auto& controller = *platform_.controller;
    if (!controller.peripherals)
        return "the device list is absent";
    const auto& listed = *controller.peripherals;
    if (listed.size() != controller.RSSIs.size())
        return "peripherals and RSSIs differ in length";
    for (std::size_t i = 0; i < listed.size(); ++i)
        for (std::size_t j = i + 1; j < listed.size(); ++j)
            if (listed[i]->isEqual(*listed[j]))
                return "a peripheral is listed twice";

    const bool unchanged = listed == before_.listed && controller.RSSIs == before_.rssis;
    const bool emptied = listed.empty() && action == Action::scanOn;
    auto grownBy = before_.listed;
    grownBy.push_back(lastReport_.peripheral);
    auto rssisGrownBy = before_.rssis;
    rssisGrownBy.push_back(lastReport_.rssi);
    const bool appended = action == Action::report && listed == grownBy && controller.RSSIs == rssisGrownBy;
    if (!unchanged && !emptied && !appended)
        return "the device list changed in a way no step allows";
    if (appended && (!lastReport_.named || lastReport_.rssi <= -100))
        return "listed a peripheral that was unnamed or at -100 dBm or weaker";

    std::size_t connected = 0;
    for (const auto& [identifier, link] : links_)
        connected += link.state == Link::State::connected;
    if (connected > 1)
        return std::to_string(connected) + " connections are open";

    const auto& lines = platform_.log->lines;
    for (auto line = lines.begin() + static_cast<std::ptrdiff_t>(before_.logLines); line != lines.end();
         ++line)
        if (auto fault = lineFault(*line); !fault.empty())
            return "log line " + std::to_string(line - lines.begin()) + ": " + fault;
    return {};
}

ActionDriver::Snapshot ActionDriver::snapshot() const
{
    Snapshot now;
    const auto& controller = *platform_.controller;
    if (controller.peripherals)
        now.listed = *controller.peripherals;
    now.rssis = controller.RSSIs;
    now.logLines = platform_.log->lines.size();
    now.centralCalls = platform_.central->calls.size();
    for (const auto& object : everyObject_)
        now.requestCounts[object.get()] = object->requests.size();
    return now;
}

} // namespace reliability
