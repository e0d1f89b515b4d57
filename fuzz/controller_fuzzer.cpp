// The controller on the fake platform under whatever a byte stream decides: the user's scan switch
// and row selections, and the radio's reports, links and answers in any order a real stack could
// deliver them, also after their connection is gone. After each step it checks what must always hold.
#include "fake_platform.h"
#include "text_checks.h"

#include <deque>
#include <set>
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
    bool flag() { return byte() & 1; }
    // A number from 0 to bound - 1, from two bytes.
    std::uint32_t below(std::size_t bound)
    {
        const std::uint32_t high = byte();
        return static_cast<std::uint32_t>((high << 8 | byte()) % bound);
    }
    std::int32_t int32() { return static_cast<std::int32_t>(below(65536) << 16 | below(65536)); }
    std::string text(std::size_t maxLength)
    {
        std::string out(below(maxLength + 1), '\0');
        for (auto& c : out)
            c = static_cast<char>(byte());
        return out;
    }
    std::optional<ble::Error> error() { return flag() ? std::optional(ble::Error{text(96)}) : std::nullopt; }

private:
    std::span<const std::uint8_t> bytes_;
    std::size_t offset_ = 0;
};

// FF01, FF02 or any 16-bit UUID.
ble::Uuid pickUuid(ByteReader& reader)
{
    const auto choice = reader.below(3);
    return ble::Uuid::fromShort(choice < 2 ? 0xFF01 + choice : reader.below(65536));
}

// Up to a frame's length, now and then longer, or nothing; the frame fuzzer has the frames.
std::optional<ble::Bytes> pickValue(ByteReader& reader)
{
    const auto text = reader.text(reader.below(4) == 0 ? 600 : 19);
    return reader.below(8) == 0 ? std::nullopt : std::optional(ble::Bytes(text.begin(), text.end()));
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
        for (slot.emplace(reader.below(choice == 2 ? 64 : 6)); auto& entry : *slot)
            entry = makeEntry();
    return std::nullopt;
}

class Driver {
public:
    Driver()
    {
        for (int i = 0; i < 4; ++i)
            devices_.push_back(newObject("DEV-" + std::to_string(i), "Device " + std::to_string(i)));
    }

    // Runs one action, then the checks; the first broken rule, or nothing.
    std::string step(ByteReader& reader)
    {
        ++steps_;
        // The list as it must be after the step: emptied by a scan start, and a
        // report appended only when it is named, stronger than -100 and new.
        auto expected = std::pair(*controller().peripherals, controller().RSSIs);
        const auto logLines = platform_.log->lines.size();
        reported_ = {};
        if (run(reader.below(6), reader))
            expected = {};
        const auto& [device, rssi] = reported_;
        if (device && device->name() && rssi > -100 &&
            std::ranges::none_of(expected.first,
                                 [&](const auto& entry) { return entry->isEqual(*reported_.first); })) {
            expected.first.push_back(device);
            expected.second.push_back(rssi);
        }
        auto violation = absorbRequests();
        if (*controller().peripherals != expected.first || controller().RSSIs != expected.second)
            violation = "the device list is not the named reports stronger than -100, each once";
        else if (central().connectedLinks() > 1)
            violation = "more than one connection is open";
        for (auto line = platform_.log->lines.begin() + static_cast<long>(logLines);
             line != platform_.log->lines.end() && violation.empty(); ++line)
            violation = reliability::lineFault(*line);
        return violation.empty() ? violation : "step " + std::to_string(steps_) + ": " + violation;
    }

private:
    // Runs the action; true when it switched the scan on.
    bool run(std::uint32_t action, ByteReader& reader)
    {
        switch (action) {
        case 0:
            platform_.scanButton->currentState = static_cast<int>(reader.below(3)) - 1;
            controller().refreshAction(*platform_.scanButton);
            return platform_.scanButton->currentState == ui::controlState::on;
        case 1:
            report(reader);
            break;
        case 2: {
            std::set<long> rows;
            for (auto count = reader.below(3); count > 0; --count)
                rows.insert(reader.flag()
                                ? reader.int32()
                                : static_cast<long>(reader.below(controller().RSSIs.size() + 2)) - 1);
            platform_.select({rows.begin(), rows.end()});
            break;
        }
        case 3:
            radioEndsOrCompletesALink(reader);
            break;
        case 4:
            if (!owed_.empty()) {
                const auto index = reader.below(owed_.size());
                const auto answer = owed_[index];
                if (reader.flag())
                    owed_.erase(owed_.begin() + index); // otherwise it comes again later
                deliver(answer, reader);
            }
            break;
        default:
            platform_.runLoop->advance(reader.below(9) * 0.5);
        }
        return false;
    }

    // A device reports, maybe as a new object and with a new name.
    void report(ByteReader& reader)
    {
        auto& device = devices_[reader.below(4)];
        if (reader.below(4) == 0)
            device = newObject(device->identifier(), std::nullopt);
        if (reader.flag())
            device->currentName = reader.flag() ? std::nullopt : std::optional(reader.text(300));
        const int rssi = reader.flag() ? reader.int32() : static_cast<std::int8_t>(reader.byte());
        reported_ = {device, rssi};
        platform_.report(device, rssi);
    }

    // A link completes (also one whose request was cancelled meanwhile) or
    // fails; an open one drops, always saying why.
    void radioEndsOrCompletesALink(ByteReader& reader)
    {
        const auto& device = devices_[reader.below(4)];
        const auto link = central().links.find(device->identifier());
        const auto peripheral = link != central().links.end() ? link->second.second : device;
        const auto state = central().linkTo(*peripheral);
        if (state != Link::connected && reader.flag())
            platform_.connect(peripheral);
        else if (state == Link::pending)
            platform_.failToConnect(peripheral, reader.error());
        else if (state == Link::connected)
            platform_.disconnect(peripheral, ble::Error{reader.text(96)});
    }

    void deliver(const fake::Request& answer, ByteReader& reader)
    {
        const auto peripheral = std::static_pointer_cast<fake::Peripheral>(answer.peripheral);
        const auto to = peripheral->delegate.lock();
        if (answer.kind == Kind::cancel) {
            controller().centralManagerDidDisconnectPeripheral(central(), peripheral, std::nullopt);
        } else if (answer.kind == Kind::services) {
            const auto error = answerDiscovery(reader, peripheral->discovered, [&] {
                return std::make_shared<fake::Service>(pickUuid(reader));
            });
            if (to)
                to->peripheralDidDiscoverServices(peripheral, error);
        } else if (answer.kind == Kind::characteristics) {
            const auto service = std::static_pointer_cast<fake::Service>(answer.service);
            const auto error = answerDiscovery(reader, service->discovered, [&] {
                const auto uuid = pickUuid(reader);
                return std::make_shared<fake::Characteristic>(uuid,
                                                              reader.flag() ? reader.int32() : reader.byte());
            });
            if (to)
                to->peripheralDidDiscoverCharacteristicsForService(peripheral, service, error);
        } else if (to) {
            // A subscription is answered, and by notifications as well; a read by its value.
            const auto characteristic = std::static_pointer_cast<fake::Characteristic>(answer.characteristic);
            characteristic->notifying = reader.flag();
            characteristic->currentValue = pickValue(reader);
            if (answer.kind == Kind::notify)
                to->peripheralDidUpdateNotificationStateForCharacteristic(peripheral, characteristic,
                                                                          reader.error());
            if (answer.kind == Kind::read || reader.flag())
                to->peripheralDidUpdateValueForCharacteristic(peripheral, characteristic, reader.error());
        }
    }

    // Owes the radio's answer to every new request; a violation for a write that
    // must not have gone out.
    std::string absorbRequests()
    {
        for (const auto& peripheral : std::exchange(central().owedDisconnections, {}))
            owed_.push_back({.kind = Kind::cancel, .peripheral = peripheral});
        for (const auto& object : everyObject_)
            for (auto& request : std::exchange(object->requests, {})) {
                request.peripheral = object;
                if (request.kind != Kind::write) {
                    owed_.push_back(request);
                    continue;
                }
                const auto& connection = controller().connectionPeripheral;
                if (central().linkTo(*object) != Link::connected || !controller().connectionEstablished ||
                    !connection || !connection->isEqual(*object) || !controller().counter)
                    return "a request went to " + object->identifier() + ", not the armed, open connection";
                if (request.characteristic->uuid().uuidString() != "FF01" ||
                    request.value != ble::Bytes{0x5E} || request.writeType != ble::WriteType::withoutResponse)
                    return "a write that is not the measurement request on FF01";
            }
        return {};
    }

    std::shared_ptr<fake::Peripheral> newObject(const std::string& identifier,
                                                std::optional<std::string> name)
    {
        return everyObject_.emplace_back(std::make_shared<fake::Peripheral>(identifier, std::move(name)));
    }
    ViewController& controller() { return *platform_.controller; }
    fake::CentralManager& central() { return *platform_.central; }

    fake::Platform platform_;
    std::vector<std::shared_ptr<fake::Peripheral>> devices_;
    std::vector<std::shared_ptr<fake::Peripheral>> everyObject_;
    std::deque<fake::Request> owed_;
    // The device that reported in this step, with its strength.
    std::pair<std::shared_ptr<fake::Peripheral>, int> reported_;
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
