// The radio under one application benchmark: app_bench_demo links the
// simulated radio as thermohygro-demo does, app_bench_bluez links Qt
// Bluetooth as thermohygro does, so that each holds only its own libraries.
#pragma once

#include "app/ble.h"
#include "qt_ui/file_log_sink.h"

#include <QString>

#include <memory>

namespace bench {

struct Radio {
    ble::CentralManagerFactory makeCentralManager;
    // The meter's name as its row shows it.
    QString meterName;
    // Whether the radio's own callbacks come on single-shot timers.
    bool onTimers;
};

Radio makeRadio(const std::shared_ptr<qtui::DiagnosticLog>& diagnostics);

} // namespace bench
