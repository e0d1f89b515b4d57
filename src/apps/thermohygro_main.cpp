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
    // The radio's own lines go to standard output beside the controller's.
    const auto log = std::make_shared<qtui::FileLogSink>();
    return qtui::runApplication(app, qtble::centralManagerFactory(log), QStringLiteral("Thermo-Hygrometer"));
}
