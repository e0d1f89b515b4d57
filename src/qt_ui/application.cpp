#include "qt_ui/application.h"

#include "app/app_delegate.h"
#include "app/program_wide.h"
#include "qt_ui/file_log_sink.h"
#include "qt_ui/main_window.h"

#include <QIcon>

#include <csignal>
#include <memory>

namespace qtui {

int runApplication(QApplication& app, ble::CentralManagerFactory makeCentralManager,
                   const QString& windowTitle, const std::shared_ptr<DiagnosticLog>& diagnostics)
{
    // The log goes to standard output; when its reader (a pipe to tee or
    // less) goes away, the window stays and the lines are dropped. Windows
    // has no such signal: there the write just fails.
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif

    QApplication::setWindowIcon(QIcon(QStringLiteral(":/io.github.thermohygro.ThermoHygro.svg")));
    AppDelegate appDelegate;
    MainWindow window(MainWindow::Backend{std::move(makeCentralManager), std::make_shared<FileLogSink>(),
                                          std::make_shared<ProgramWideValues>()});
    window.setWindowTitle(windowTitle);
    window.show();
    appDelegate.applicationDidFinishLaunching(ui::Notification{});
    // The window as context: the connection ends with this call.
    QObject::connect(&app, &QCoreApplication::aboutToQuit, &window,
                     [&appDelegate] { appDelegate.applicationWillTerminate(ui::Notification{}); });
    if (diagnostics)
        diagnostics->setListener([&window](std::string_view line) { window.showDiagnostic(line); });
    const int exitCode = app.exec();
    if (diagnostics)
        diagnostics->setListener({});
    return exitCode;
}

} // namespace qtui
