// The discovery callback: builds the device list and logs every report.
#include "app/log_forms.h"
#include "app/view_controller.h"

#include <algorithm>
#include <charconv>
#include <limits>

namespace {

std::string advertisementText(const ble::AdvertisementData& advertisementData)
{
    if (advertisementData.empty())
        return "[:]";
    std::vector<std::string> entries;
    for (const auto& [key, value] : advertisementData)
        entries.push_back(logform::quoted(key) + ": " + logform::quoted(value));
    return logform::list(entries);
}

// "RSSI: [-58, -70]" written straight into one buffer: with thousands listed
// it is the longest line of every report.
std::string rssiLine(const std::vector<int>& rssis)
{
    constexpr std::string_view head = "RSSI: [";
    constexpr std::size_t widestEntry = std::numeric_limits<int>::digits10 + 2 + 2; // "-2147483648, "
    std::string line(head.size() + widestEntry * rssis.size() + 1, '\0');
    char* out = std::copy(head.begin(), head.end(), line.data());
    char* const end = line.data() + line.size();
    for (std::size_t i = 0; i < rssis.size(); ++i) {
        if (i > 0) {
            *out++ = ',';
            *out++ = ' ';
        }
        out = std::to_chars(out, end, rssis[i]).ptr;
    }
    *out++ = ']';
    line.resize(static_cast<std::size_t>(out - line.data()));
    return line;
}

} // namespace

void ViewController::centralManagerDidDiscoverPeripheral(ble::CentralManager&,
                                                         const std::shared_ptr<ble::Peripheral>& peripheral,
                                                         const ble::AdvertisementData& advertisementData,
                                                         int rssi)
{
    programWide().currentPeripheral = peripheral;
    log({"Found peripheral"});
    log({"peripheralRssiInt", logform::decimal(rssi)});

    auto& listed = peripherals ? *peripherals : peripherals.emplace();
    const bool alreadyListed = std::any_of(listed.begin(), listed.end(),
                                           [&](const auto& entry) { return entry->isEqual(*peripheral); });
    if (!alreadyListed && peripheral->name() && rssi > -100) {
        listed.push_back(peripheral);
        RSSIs.push_back(rssi);
        peripheral->setDelegate(weak_from_this());
        reloadTable();
    }

    const auto stars = logform::separator(61);
    log({""});
    log({stars});
    log({"Found new pheripheral devices with services"});
    log({"Peripheral name: " + logform::optionalQuoted(peripheral->name())});
    log({"Advertisement Data : " + advertisementText(advertisementData)});
    log({rssiLine(RSSIs)});
    log({"Peripheral info: " + logform::printable(peripheral->description())});
    log({stars});
    log({""});
}
