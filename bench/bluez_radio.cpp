#include "bench_radio.h"
#include "qt_bluetooth/qt_central_manager.h"

namespace bench {

// The meter of the fake BlueZ in tests/bluez.
Radio makeRadio(const std::shared_ptr<qtui::DiagnosticLog>& diagnostics)
{
    return {qtble::centralManagerFactory(diagnostics), QStringLiteral("TH-Meter"), false};
}

} // namespace bench
