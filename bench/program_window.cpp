#include "bench_window.h"

#include <QApplication>
#include <QIcon>

namespace bench {
namespace {

// The program's window, as the application entry builds it.
class ProgramWindow : public Window {
public:
    explicit ProgramWindow(qtui::MainWindow::Backend backend) : window_(std::move(backend)) {}

    void show() override { window_.show(); }
    ViewController& controller() override { return *window_.controller(); }
    QPushButton& scanButton() override { return *window_.scanButton(); }
    QTableView& deviceTable() override { return *window_.deviceTable(); }
    void showDiagnostic(std::string_view line) override { window_.showDiagnostic(line); }

private:
    qtui::MainWindow window_;
};

} // namespace

std::unique_ptr<Window> makeWindow(qtui::MainWindow::Backend backend)
{
    QApplication::setWindowIcon(QIcon(QStringLiteral(":/io.github.thermohygro.ThermoHygro.svg")));
    return std::make_unique<ProgramWindow>(std::move(backend));
}

} // namespace bench
