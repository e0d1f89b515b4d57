#include "qt_ui/application.h"

#include "app/app_delegate.h"
#include "app/program_wide.h"
#include "qt_ui/file_log_sink.h"
#include "qt_ui/main_window.h"

#include <QIcon>

#include <csignal>
#include <memory>

#ifdef Q_OS_UNIX
#include <QSocketNotifier>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>
#endif

namespace qtui {
namespace {

#ifdef Q_OS_UNIX
// The handler only writes a byte here; the event loop reads it and quits.
int quitSignalPipe[2] = {-1, -1};

void onQuitSignal(int)
{
    const int savedErrno = errno;
    const char byte = 1;
    [[maybe_unused]] const auto written = ::write(quitSignalPipe[1], &byte, 1);
    errno = savedErrno;
}
#endif

} // namespace

void quitOnTerminationSignals(QApplication& app)
{
#ifdef Q_OS_UNIX
    if (quitSignalPipe[0] >= 0 || ::pipe(quitSignalPipe) != 0)
        return;
    ::fcntl(quitSignalPipe[1], F_SETFL, O_NONBLOCK);
    auto* notifier = new QSocketNotifier(quitSignalPipe[0], QSocketNotifier::Read, &app);
    QObject::connect(notifier, &QSocketNotifier::activated, &app, [notifier] {
        notifier->setEnabled(false);
        QApplication::closeAllWindows();
        QCoreApplication::quit();
    });
    struct sigaction action = {};
    action.sa_handler = onQuitSignal;
    sigemptyset(&action.sa_mask);
    // A second signal of the kind ends the program at once, should the clean exit hang.
    action.sa_flags = SA_RESTART | SA_RESETHAND;
    for (const int number : {SIGINT, SIGTERM, SIGHUP}) {
        struct sigaction previous = {};
        // A signal ignored from the start (nohup, a background job) stays ignored.
        if (::sigaction(number, nullptr, &previous) == 0 && previous.sa_handler != SIG_IGN)
            ::sigaction(number, &action, nullptr);
    }
#else
    Q_UNUSED(app);
#endif
}

int runApplication(QApplication& app, ble::CentralManagerFactory makeCentralManager,
                   const QString& windowTitle, const std::shared_ptr<DiagnosticLog>& diagnostics)
{
    // The log goes to standard output; when its reader (a pipe to tee or
    // less) goes away, the window stays and the lines are dropped. Windows
    // has no such signal: there the write just fails.
#ifdef SIGPIPE
    std::signal(SIGPIPE, SIG_IGN);
#endif

    quitOnTerminationSignals(app);
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/io.github.thermohygro.ThermoHygro.svg")));
    int exitCode = 0;
    {
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
        exitCode = app.exec();
        if (diagnostics)
            diagnostics->setListener({});
    }
    deleteLeftovers();
    return exitCode;
}

void deleteLeftovers()
{
    QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
}

} // namespace qtui
