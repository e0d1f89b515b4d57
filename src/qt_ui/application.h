// The application entry shared by every Bluetooth backend: builds the main
// window over the given central manager, wires its controller, shows it and
// runs the event loop.
#pragma once

#include "app/ble.h"

#include <QApplication>
#include <QString>

#include <memory>

namespace qtui {

class DiagnosticLog;

// Ctrl+C, SIGTERM and SIGHUP (systemd sends the last two when the desktop
// session ends) close the windows and quit, like closing the window does, so
// that the links are closed. On platforms without them it does nothing.
void quitOnTerminationSignals(QApplication& app);

// Deletes the objects handed to deleteLater once the event loop had ended, as
// the window and its radio went: no event loop deletes them any more.
void deleteLeftovers();

// Owns the process's ProgramWideValues and the log on standard output until
// the event loop ends; returns the event loop's exit code. The backend's own
// lines, when it writes any to the diagnostics, show in the window's status
// line while the window exists.
int runApplication(QApplication& app, ble::CentralManagerFactory makeCentralManager,
                   const QString& windowTitle, const std::shared_ptr<DiagnosticLog>& diagnostics = nullptr);

} // namespace qtui
