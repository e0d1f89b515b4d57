// The application's window over the Qt Bluetooth backend, as thermohygro
// builds it, steered through standard input like a user would, one command a
// line: "scan on", "scan off", "select NAME" (the row showing NAME),
// "reconnect" or "show". After each it answers on standard error with what the
// window shows: "driver: on|NAME;NAME|TEMPERATURE|HUMIDITY|BATTERY|STATUS". The end of
// the input closes the window, and so do Ctrl+C, SIGTERM and SIGHUP.
// Standard output is the application's log, the backend's lines go to
// standard error and the status line. Connections get one second for the link
// and two for service resolution (three for both on Qt Bluetooth alone), and a
// quit waits half a second for BlueZ to close the links, a GATT answer
// awaited for 1.5 s is said, and the poll runs twice as fast, so that tests of
// silent and slow devices stay short.
#include "app/program_wide.h"
#include "qt_bluetooth/qt_central_manager.h"
#include "qt_ui/application.h"
#include "qt_ui/file_log_sink.h"
#include "qt_ui/main_window.h"
#include "qt_ui/qt_run_loop.h"

#include <QApplication>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QTableView>

#include <unistd.h>

#include <algorithm>
#include <cstdio>

namespace {

class HurriedRunLoop final : public app::RunLoop {
public:
    void addTimer(std::shared_ptr<app::Timer> timer, std::string_view mode) override
    {
        constexpr double speedUp = 2;
        auto hurried = std::make_shared<app::Timer>(
            timer->timeInterval() / speedUp,
            [timer](app::Timer& self) {
                timer->fire();
                if (!timer->isValid())
                    self.invalidate();
            },
            timer->repeats());
        qtLoop_.addTimer(std::move(hurried), mode);
    }

private:
    qtui::QtRunLoop qtLoop_;
};

QStringList rowNames(const QTableView& table)
{
    QStringList names;
    for (int row = 0; row < table.model()->rowCount(); ++row)
        names << table.model()->index(row, 0).data().toString();
    return names;
}

void run(qtui::MainWindow& window, const QString& command)
{
    QTableView& table = *window.deviceTable();
    if (command.startsWith(QLatin1String("scan ")) &&
        window.scanButton()->isChecked() != command.endsWith(QLatin1String(" on")))
        window.scanButton()->click();
    if (command.startsWith(QLatin1String("select ")))
        table.selectionModel()->select(table.model()->index(rowNames(table).indexOf(command.mid(7)), 0),
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    if (command == QLatin1String("reconnect"))
        window.reconnectButton()->click();
    const QStringList shown{window.scanButton()->isChecked() ? "on" : "off",
                            rowNames(table).join(';'),
                            window.temperatureField()->text(),
                            window.humidityField()->text(),
                            window.batteryLine()->isVisible() ? window.batteryLine()->text() : QString(),
                            window.statusLine()->text()};
    std::fprintf(stderr, "driver: %s\n", shown.join('|').toUtf8().constData());
    std::fflush(stderr);
}

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    qtui::quitOnTerminationSignals(app);
    int exitCode = 0;
    {
        const auto diagnostics = std::make_shared<qtui::DiagnosticLog>();
        qtui::MainWindow window(
            {qtble::centralManagerFactory(diagnostics, {.connection = std::chrono::seconds(1),
                                                        .resolution = std::chrono::seconds(2),
                                                        .closingAtQuit = std::chrono::milliseconds(500),
                                                        .answer = std::chrono::milliseconds(1500)}),
             std::make_shared<qtui::FileLogSink>(), std::make_shared<ProgramWideValues>(),
             std::make_shared<HurriedRunLoop>()});
        diagnostics->setListener([&window](std::string_view line) { window.showDiagnostic(line); });
        window.show();
        QSocketNotifier input(STDIN_FILENO, QSocketNotifier::Read);
        QByteArray pending;
        QObject::connect(&input, &QSocketNotifier::activated, [&] {
            char chunk[512];
            const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
            if (count <= 0) {
                input.setEnabled(false);
                window.close();
                QApplication::quit();
            }
            pending.append(chunk, std::max<ssize_t>(count, 0));
            for (qsizetype end = pending.indexOf('\n'); end >= 0; end = pending.indexOf('\n')) {
                run(window, QString::fromUtf8(pending.left(end)).trimmed());
                pending.remove(0, end + 1);
            }
        });
        exitCode = app.exec();
    }
    qtui::deleteLeftovers();
    return exitCode;
}
