// The controller on the fake platform under whatever a byte stream decides:
// the user's scan switch and row selections, and everything a radio can
// report, in any order a real stack could deliver it, including answers that
// arrive after their connection is gone. After each step it checks what must
// always hold, whatever the radio sent.
#include "fake_platform.h"
#include "fuzz_check.h"
#include "text_checks.h"

#include <deque>
#include <span>
#include <utility>

namespace {

using Link = fake::CentralManager::Link;
using Kind = fake::Request::Kind;

// Turns the bytes into decisions; once they run out every read gives zero.
class ByteReader {
public:
    explicit ByteReader(std::span<const std::uint8_t> bytes) : bytes_(bytes) {}
    bool empty() const { return offset_ >= bytes_.size(); }
    std::uint8_t byte() { return empty() ? 0 : bytes_[offset_++]; }
    // A number from 0 to bound - 1, from two bytes.
    std::uint32_t below(std::uint32_t bound)
    {
        const std::uint32_t high = byte();
        return bound == 0 ? 0 : (high << 8 | byte()) % bound;
    }
    bool flag() { return byte() & 1; }
    std::int32_t int32() { return static_cast<std::int32_t>(below(65536) << 16 | below(65536)); }
    std::string text(std::size_t maxLength)
    {
        std::string out(below(static_cast<std::uint32_t>(maxLength) + 1), '\0');
        for (auto& c : out)
            c = static_cast<char>(byte());
        return out;
    }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

ble::Uuid pickUuid(ByteReader& reader)
{
    const auto choice = reader.below(5);
    if (choice < 2)
        return ble::Uuid::fromShort(0xFF01 + choice);
    if (choice < 4)
        return ble::Uuid::fromShort(choice == 2 ? reader.below(65536)
                                                : static_cast<std::uint32_t>(reader.int32()));
    std::array<std::uint8_t, 16> bytes{};
    for (auto& byte : bytes)
        byte = reader.byte();
    return ble::Uuid(bytes);
}

std::optional<ble::Error> maybeError(ByteReader& reader)
{
    return reader.flag() ? std::optional(ble::Error{reader.text(96)}) : std::nullopt;
}

// Mostly measurement frames of either kind, or anything else a device might send.
std::optional<ble::Bytes> pickValue(ByteReader& reader)
{
    const auto choice = reader.below(4);
    const auto text = reader.text(choice == 0 ? 600 : 0);
    ble::Bytes value(text.begin(), text.end());
    if (choice > 0) {
        value.resize(19);
        for (auto& byte : value)
            byte = reader.byte();
        value[4] = choice == 1 ? '0' : choice == 2 ? '4' : value[4];
    }
    return reader.below(8) == 0 ? std::nullopt : std::optional(value);
}

// A discovery answer: an error, no list, or a list of a few entries, now and then of many.
template <typename Entry, typename MakeEntry>
std::optional<ble::Error> answerDiscovery(ByteReader& reader,
                                          std::optional<std::vector<std::shared_ptr<Entry>>>& slot,
                                          MakeEntry makeEntry)
{
    const auto choice = reader.below(8);
    if (choice == 0)
        return ble::Error{reader.text(96)};
    slot.reset();
    if (choice > 1)
        slot.emplace(reader.below(choice == 2 ? 64 : 6));
    for (auto& entry : slot.value_or(std::vector<std::shared_ptr<Entry>>{}))
        entry = makeEntry();
    return std::nullopt;
}

std::vector<long> pickRows(ByteReader& reader, std::size_t listed)
{
    std::vector<long> rows(reader.below(4));
    for (auto& row : rows)
        row = reader.flag() ? reader.int32()
                            : static_cast<long>(reader.below(static_cast<std::uint32_t>(listed) + 2)) - 1;
    std::sort(rows.begin(), rows.end());
    rows.erase(std::unique(rows.begin(), rows.end()), rows.end());
    return rows;
}

class Driver {
public:
    Driver()
    {
        for (int i = 0; i < 4; ++i)
            devices_.push_back(newObject("DEV-" + std::to_string(i), "Device " + std::to_string(i)));
        remember();
    }

    // Runs one action, then the checks; the first broken rule, or nothing.
    std::string step(ByteReader& reader)
    {
        ++steps_;
        const bool scanOn = run(reader.below(12), reader);
        auto violation = absorbRequests();
        if (violation.empty())
            violation = checkState(scanOn);
        remember();
        return violation.empty() ? violation : "step " + std::to_string(steps_) + ": " + violation;
    }

private:
    // Runs one action; true when it switched scanning on.
    bool run(std::uint32_t action, ByteReader& reader)
    {
        auto& controller = *platform_.controller;
        auto& links = central().links;
        switch (action) {
        case 0: {
            // The window may have lost its button; the action still names a sender.
            const auto sender =
                platform_.scanButton ? platform_.scanButton : std::make_shared<fake::Button>();
            sender->currentState = static_cast<int>(reader.below(3)) - 1;
            controller.refreshAction(*sender);
            return sender->currentState == ui::controlState::on;
        }
        case 1:
            report(reader);
            break;
        case 2:
            if (reader.below(8) > 0)
                platform_.select(pickRows(reader, controller.peripherals->size()));
            else
                controller.tableViewSelectionDidChange(
                    {reader.flag() ? nullptr : std::make_shared<fake::Button>()});
            break;
        case 3:
            controller.numberOfRowsInTableView(*platform_.table);
            for (const long row : pickRows(reader, controller.peripherals->size()))
                controller.tableViewViewForTableColumn(*platform_.table, {"name"}, row);
            break;
        case 4: {
            // A pending link completes, fails or drops; a drop always says why.
            auto link = links.begin();
            std::advance(link, reader.below(static_cast<std::uint32_t>(links.size())));
            if (link == links.end())
                break;
            const auto [state, peripheral] = link->second;
            const auto outcome = reader.below(3);
            if (state == Link::pending && outcome == 0) {
                link->second.first = Link::connected;
                delegate()->centralManagerDidConnectPeripheral(central(), peripheral);
                break;
            }
            links.erase(link);
            if (state == Link::pending)
                delegate()->centralManagerDidFailToConnectPeripheral(central(), peripheral,
                                                                     maybeError(reader));
            else
                delegate()->centralManagerDidDisconnectPeripheral(central(), peripheral,
                                                                  ble::Error{reader.text(96)});
            break;
        }
        case 5: {
            // A connection completes although its request was cancelled meanwhile.
            const auto device = pickDevice(reader);
            if (central().linkTo(*device) == Link::none) {
                links[device->identifier()] = {Link::connected, device};
                delegate()->centralManagerDidConnectPeripheral(central(), device);
            }
            break;
        }
        case 6:
            if (!owed_.empty()) {
                const auto index = reader.below(static_cast<std::uint32_t>(owed_.size()));
                const auto answer = owed_[index];
                if (reader.flag())
                    owed_.erase(owed_.begin() + index); // otherwise it comes again later
                deliver(answer, reader);
            }
            break;
        case 7:
            unsolicitedValue(reader);
            break;
        case 8:
            platform_.runLoop->advance(reader.below(9) * 0.5);
            break;
        case 9:
            central().currentState = static_cast<int>(reader.below(8));
            delegate()->centralManagerDidUpdateState(central());
            break;
        case 10:
            (reader.flag() ? platform_.temperature : platform_.humidity).reset();
            if (reader.flag())
                platform_.scanButton.reset();
            break;
        default:
            if (reader.flag())
                controller.viewDidAppear();
            else
                controller.viewWillDisappear();
        }
        return false;
    }

    void report(ByteReader& reader)
    {
        auto& device = pickDevice(reader);
        if (reader.below(4) == 0)
            device = newObject(device->identifier(), std::nullopt);
        if (reader.flag())
            device->currentName = reader.flag() ? std::nullopt : std::optional(reader.text(300));
        const int rssi = reader.below(8) == 0 ? reader.int32() : static_cast<std::int8_t>(reader.byte());
        ble::AdvertisementData advertisement;
        for (auto entries = reader.below(4); entries > 0; --entries) {
            auto key = reader.text(32);
            advertisement[key] = reader.text(64);
        }
        lastReport_ = {device, device->name().has_value(), rssi};
        delegate()->centralManagerDidDiscoverPeripheral(central(), device, advertisement, rssi);
    }

    void deliver(const fake::Request& answer, ByteReader& reader)
    {
        const auto peripheral = std::static_pointer_cast<fake::Peripheral>(answer.peripheral);
        const auto peripheralDelegate = peripheral->delegate.lock();
        if (answer.kind == Kind::cancel) {
            delegate()->centralManagerDidDisconnectPeripheral(central(), peripheral, std::nullopt);
        } else if (answer.kind == Kind::discoverServices) {
            const auto error = answerDiscovery(reader, peripheral->discovered, [&] {
                return std::make_shared<fake::Service>(pickUuid(reader));
            });
            if (peripheralDelegate)
                peripheralDelegate->peripheralDidDiscoverServices(peripheral, error);
        } else if (answer.kind == Kind::discoverCharacteristics) {
            const auto service = std::static_pointer_cast<fake::Service>(answer.service);
            const auto error = answerDiscovery(reader, service->discovered, [&] {
                return makeCharacteristic(reader, peripheral->identifier());
            });
            if (peripheralDelegate)
                peripheralDelegate->peripheralDidDiscoverCharacteristicsForService(peripheral, service,
                                                                                   error);
        } else if (answer.kind == Kind::setNotify) {
            std::static_pointer_cast<fake::Characteristic>(answer.characteristic)->notifying = reader.flag();
            if (peripheralDelegate)
                peripheralDelegate->peripheralDidUpdateNotificationStateForCharacteristic(
                    peripheral, answer.characteristic, maybeError(reader));
        } else {
            answerValue(peripheral, answer.characteristic, reader);
        }
    }

    void answerValue(const std::shared_ptr<fake::Peripheral>& peripheral,
                     const std::shared_ptr<ble::Characteristic>& characteristic, ByteReader& reader)
    {
        std::static_pointer_cast<fake::Characteristic>(characteristic)->currentValue = pickValue(reader);
        if (const auto live = peripheral->delegate.lock())
            live->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, maybeError(reader));
    }

    // A notification from any device, on one of its characteristics or on one it never offered.
    void unsolicitedValue(ByteReader& reader)
    {
        const auto peripheral = everyObject_[reader.below(static_cast<std::uint32_t>(everyObject_.size()))];
        std::vector<std::shared_ptr<ble::Characteristic>> offered;
        for (const auto& service :
             peripheral->discovered.value_or(std::vector<std::shared_ptr<ble::Service>>{}))
            for (const auto& characteristic :
                 service->characteristics().value_or(std::vector<std::shared_ptr<ble::Characteristic>>{}))
                offered.push_back(characteristic);
        const auto index = reader.below(static_cast<std::uint32_t>(offered.size()) + 1);
        answerValue(peripheral,
                    index < offered.size() ? offered[index] : makeCharacteristic(reader, "nobody"), reader);
    }

    std::shared_ptr<fake::Characteristic> makeCharacteristic(ByteReader& reader, const std::string& owner)
    {
        const auto uuid = pickUuid(reader);
        const auto properties =
            reader.below(8) == 0 ? static_cast<std::uint32_t>(reader.int32()) : reader.byte();
        auto characteristic = std::make_shared<fake::Characteristic>(uuid, properties);
        owners_[characteristic] = owner;
        return characteristic;
    }

    std::shared_ptr<fake::Peripheral>& pickDevice(ByteReader& reader) { return devices_[reader.below(4)]; }

    std::shared_ptr<fake::Peripheral> newObject(const std::string& identifier,
                                                std::optional<std::string> name)
    {
        return everyObject_.emplace_back(std::make_shared<fake::Peripheral>(identifier, std::move(name)));
    }

    fake::CentralManager& central() { return *platform_.central; }
    std::shared_ptr<ble::CentralManagerDelegate> delegate() { return central().delegate.lock(); }

    // Owes the radio's answer to every new request; a violation for a write that must not have gone out.
    std::string absorbRequests()
    {
        for (const auto& peripheral : std::exchange(central().owedDisconnections, {}))
            owed_.push_back({.kind = Kind::cancel, .peripheral = peripheral});
        const auto& controller = *platform_.controller;
        for (const auto& object : everyObject_)
            for (auto& request : std::exchange(object->requests, {})) {
                request.peripheral = object;
                if (request.kind != Kind::write) {
                    owed_.push_back(request);
                    continue;
                }
                const auto& id = object->identifier();
                if (central().linkTo(*object) != Link::connected)
                    return "a request went to " + id + ", which is not connected";
                if (!controller.connectionEstablished || !controller.connectionPeripheral ||
                    !controller.connectionPeripheral->isEqual(*object))
                    return "a request went to " + id + ", not the application's connection";
                if (!controller.counter)
                    return "a request went out while the poll is not armed";
                if (owners_[request.characteristic] != id)
                    return "a request went to " + id + " on another device's characteristic";
                if (request.characteristic->uuid().uuidString() != "FF01" ||
                    request.value != ble::Bytes{0x5E} || request.writeType != ble::WriteType::withoutResponse)
                    return "a write that is not the measurement request";
            }
        // A radio that owes this many answers has lost the oldest ones.
        while (owed_.size() > 512)
            owed_.pop_front();
        return {};
    }

    std::string checkState(bool scanOn)
    {
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
        const bool unchanged = listed == listed_ && controller.RSSIs == rssis_;
        const bool appended = listed.size() == listed_.size() + 1 &&
                              listed.back() == lastReport_.peripheral &&
                              controller.RSSIs.back() == lastReport_.rssi &&
                              std::equal(listed_.begin(), listed_.end(), listed.begin()) &&
                              std::equal(rssis_.begin(), rssis_.end(), controller.RSSIs.begin());
        if (!unchanged && !appended && !(scanOn && listed.empty()))
            return "the device list changed in a way no step allows";
        if (appended && (!lastReport_.named || lastReport_.rssi <= -100))
            return "listed a peripheral that was unnamed or at -100 dBm or weaker";
        if (const auto open = central().connectedLinks(); open > 1)
            return std::to_string(open) + " connections are open";
        const auto& lines = platform_.log->lines;
        for (auto line = lines.begin() + static_cast<std::ptrdiff_t>(logLines_); line != lines.end(); ++line)
            if (const auto fault = reliability::lineFault(*line); !fault.empty())
                return "log line " + std::to_string(line - lines.begin()) + ": " + fault;
        return {};
    }

    void remember()
    {
        listed_ = *platform_.controller->peripherals;
        rssis_ = platform_.controller->RSSIs;
        logLines_ = platform_.log->lines.size();
        lastReport_ = {};
    }

    struct Report {
        std::shared_ptr<ble::Peripheral> peripheral;
        bool named = false;
        int rssi = 0;
    };

    fake::Platform platform_;
    std::vector<std::shared_ptr<fake::Peripheral>> devices_;
    std::vector<std::shared_ptr<fake::Peripheral>> everyObject_;
    std::deque<fake::Request> owed_;
    std::map<std::shared_ptr<ble::Characteristic>, std::string> owners_;
    Report lastReport_;
    std::vector<std::shared_ptr<ble::Peripheral>> listed_;
    std::vector<int> rssis_;
    std::size_t logLines_ = 0;
    std::size_t steps_ = 0;
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size)
{
    ByteReader reader({data, size});
    Driver driver;
    while (!reader.empty()) {
        const auto violation = driver.step(reader);
        reliability::require(violation.empty(), violation);
    }
    return 0;
}
