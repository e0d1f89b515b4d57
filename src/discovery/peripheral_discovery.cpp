// The discovery callback: builds the device list and logs every report.
#include "app/log_forms.h"
#include "app/view_controller.h"

#include <algorithm>

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

std::string rssiListText(const std::vector<int>& rssis)
{
    std::vector<std::string> entries;
    for (const int rssi : rssis)
        entries.push_back(logform::decimal(rssi));
    return logform::list(entries);
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
    log({"RSSI: " + rssiListText(RSSIs)});
    log({"Peripheral info: " + logform::printable(peripheral->description())});
    log({stars});
    log({""});
}
