// The application's window over the Qt Bluetooth backend, as thermohygro
// builds it, with a remote control on standard input so that a test can use
// it like a person: one command a line.
//   scan on | scan off      switch the scan button (a click, as a user would)
//   select NAME             select the device table's row that shows NAME
//   rows                    answer the names in the device table
//   readings                answer the temperature and humidity fields
//   quit                    close the window and end
// Answers go to standard error, each line starting with "driver: ";
// standard output is the application's log.
#include "app/program_wide.h"
#include "qt_bluetooth/qt_central_manager.h"
#include "qt_ui/file_log_sink.h"
#include "qt_ui/main_window.h"

#include <QAbstractItemModel>
#include <QApplication>
#include <QItemSelectionModel>
#include <QLineEdit>
#include <QPushButton>
#include <QSocketNotifier>
#include <QStringList>
#include <QTableView>

#include <unistd.h>

#include <cstdio>
#include <memory>

namespace {

void answer(const QString& text)
{
    std::fprintf(stderr, "driver: %s\n", text.toUtf8().constData());
    std::fflush(stderr);
}

QString cellText(const QAbstractItemModel& model, int row, int column)
{
    return model.index(row, column).data().toString();
}

class RemoteControl {
public:
    explicit RemoteControl(qtui::MainWindow& window)
        : window_(window), input_(STDIN_FILENO, QSocketNotifier::Read)
    {
        QObject::connect(&input_, &QSocketNotifier::activated, [this] { readInput(); });
    }

private:
    void readInput()
    {
        char chunk[512];
        const ssize_t count = ::read(STDIN_FILENO, chunk, sizeof chunk);
        if (count <= 0) {
            input_.setEnabled(false);
            QApplication::quit();
            return;
        }
        pending_.append(chunk, count);
        for (qsizetype end = pending_.indexOf('\n'); end >= 0; end = pending_.indexOf('\n')) {
            run(QString::fromUtf8(pending_.left(end)).trimmed());
            pending_.remove(0, end + 1);
        }
    }

    void run(const QString& command)
    {
        if (command == QLatin1String("scan on") || command == QLatin1String("scan off")) {
            const bool wanted = command.endsWith(QLatin1String("on"));
            if (window_.scanButton()->isChecked() != wanted)
                window_.scanButton()->click();
            answer(QStringLiteral("scan %1").arg(window_.scanButton()->isChecked() ? "on" : "off"));
        } else if (command.startsWith(QLatin1String("select "))) {
            select(command.mid(7));
        } else if (command == QLatin1String("rows")) {
            answer(QStringLiteral("rows ") + rowNames().join(QLatin1Char('|')));
        } else if (command == QLatin1String("readings")) {
            answer(QStringLiteral("readings %1|%2")
                       .arg(window_.temperatureField()->text(), window_.humidityField()->text()));
        } else if (command == QLatin1String("quit")) {
            answer(QStringLiteral("quitting"));
            window_.close();
            QApplication::quit();
        } else {
            answer(QStringLiteral("unknown command ") + command);
        }
    }

    QStringList rowNames() const
    {
        const QAbstractItemModel& model = *window_.deviceTable()->model();
        QStringList names;
        for (int row = 0; row < model.rowCount(); ++row)
            names << cellText(model, row, 0);
        return names;
    }

    void select(const QString& name)
    {
        const int row = rowNames().indexOf(name);
        if (row < 0) {
            answer(QStringLiteral("no row ") + name);
            return;
        }
        QTableView& table = *window_.deviceTable();
        table.selectionModel()->select(table.model()->index(row, 0),
                                       QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
        answer(QStringLiteral("selected %1").arg(row));
    }

    qtui::MainWindow& window_;
    QSocketNotifier input_;
    QByteArray pending_;
};

} // namespace

int main(int argc, char** argv)
{
    QApplication app(argc, argv);
    const auto log = std::make_shared<qtui::FileLogSink>();
    qtui::MainWindow window(qtui::MainWindow::Backend{qtble::centralManagerFactory(log), log,
                                                      std::make_shared<ProgramWideValues>()});
    window.show();
    RemoteControl remote(window);
    return app.exec();
}
