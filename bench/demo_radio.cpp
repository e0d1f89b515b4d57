#include "bench_radio.h"
#include "simulated_radio/qt_scheduler.h"
#include "simulated_radio/simulated_central_manager.h"

namespace bench {

Radio makeRadio(const std::shared_ptr<qtui::DiagnosticLog>&)
{
    return {
        simradio::centralManagerFactory(std::make_shared<simradio::QtScheduler>(), simradio::defaultWorld()),
        QStringLiteral("SIM Thermo-Hygrometer"), true};
}

} // namespace bench
