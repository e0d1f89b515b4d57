// Which advertising reports of a scan reach the controller. The platform
// repeats a device's report on most changes (signal strength, advertised
// data); without duplicates only a device's first report of the scan goes on,
// and a later one only when it brings the name that the earlier ones lacked.
#pragma once

#include <map>
#include <string>

namespace qtble {

class ScanReportFilter {
public:
    // Forgets the reports of the previous scan.
    void startScan(bool allowDuplicates);
    // Whether this report of the device goes on; records it when it does.
    bool admit(const std::string& identifier, bool named);

private:
    bool allowDuplicates_ = false;
    // Whether the reports passed on so far carried a name, per device.
    std::map<std::string, bool> namedSoFar_;
};

} // namespace qtble
