// The application entry shared by every Bluetooth backend: builds the main
// window over the given central manager, wires its controller, shows it and
// runs the event loop.
#pragma once

#include "app/ble.h"

#include <QApplication>
#include <QString>

namespace qtui {

// Owns the process's ProgramWideValues and the log on standard output until
// the event loop ends; returns the event loop's exit code.
int runApplication(QApplication& app, ble::CentralManagerFactory makeCentralManager,
                   const QString& windowTitle);

} // namespace qtui
