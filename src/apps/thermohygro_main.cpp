// thermohygro: the application over the computer's Bluetooth radio, through
// Qt Bluetooth (BlueZ on Linux, Core Bluetooth on macOS, WinRT on Windows).
#include "qt_bluetooth/qt_central_manager.h"
#include "qt_ui/application.h"
#include "qt_ui/bluetooth_permission.h"
#include "qt_ui/file_log_sink.h"

#include <QApplication>

#include <memory>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The radio's own lines go to standard error and the status line:
    // standard output is the controller's log alone.
    const auto diagnostics = std::make_shared<qtui::DiagnosticLog>();
    // Where the system asks the user first (macOS), a refusal shows as a
    // radio the application may not use.
    auto radio = qtui::bluetoothPermitted() ? qtble::centralManagerFactory(diagnostics)
                                            : qtui::unauthorizedCentralManagerFactory();
    return qtui::runApplication(app, std::move(radio), QStringLiteral("Thermo-Hygrometer"), diagnostics);
}
