#include "qt_bluetooth/scan_report_filter.h"

namespace qtble {

void ScanReportFilter::startScan(bool allowDuplicates)
{
    allowDuplicates_ = allowDuplicates;
    namedSoFar_.clear();
}

bool ScanReportFilter::admit(const std::string& identifier, bool named)
{
    const auto [entry, firstReport] = namedSoFar_.try_emplace(identifier, named);
    if (firstReport)
        return true;
    const bool bringsName = named && !entry->second;
    entry->second = entry->second || named;
    return bringsName || allowDuplicates_;
}

} // namespace qtble
