// thermohygro: the application over the computer's Bluetooth radio (BlueZ on
// Linux, through Qt Bluetooth).
#include "qt_bluetooth/qt_central_manager.h"
#include "qt_ui/application.h"
#include "qt_ui/file_log_sink.h"

#include <QApplication>

#include <memory>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    // The radio's own lines go to standard error and the status line:
    // standard output is the controller's log alone.
    const auto diagnostics = std::make_shared<qtui::DiagnosticLog>();
    return qtui::runApplication(app, qtble::centralManagerFactory(diagnostics),
                                QStringLiteral("Thermo-Hygrometer"), diagnostics);
}
