// thermohygro-demo: the application over the simulated radio, for trying the
// whole system on a machine without Bluetooth.
#include "qt_ui/application.h"
#include "simulated_radio/qt_scheduler.h"
#include "simulated_radio/simulated_central_manager.h"

#include <QApplication>

#include <memory>

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    auto scheduler = std::make_shared<simradio::QtScheduler>();
    return qtui::runApplication(app, simradio::centralManagerFactory(scheduler, simradio::defaultWorld()),
                                QStringLiteral("Thermo-Hygrometer (simulated meter)"));
}
