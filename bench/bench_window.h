// The window under one application benchmark: app_bench_demo and
// app_bench_bluez build the program's own window, app_bench_plain a plain Qt
// Widgets reader over the same controller and radio, the floor the program's
// window is measured against. bench/app_bench.cpp drives either alike.
#pragma once

#include "app/view_controller.h"
#include "qt_ui/main_window.h"

#include <memory>
#include <string_view>

class QPushButton;
class QTableView;
class QWidget;

namespace bench {

class Window {
public:
    virtual ~Window() = default;

    // Shows the window as the program does, the controller told of it.
    virtual void show() = 0;
    virtual ViewController& controller() = 0;
    virtual QPushButton& scanButton() = 0;
    virtual QTableView& deviceTable() = 0;
    // A line of the Bluetooth backend's own.
    virtual void showDiagnostic(std::string_view line) = 0;
};

std::unique_ptr<Window> makeWindow(qtui::MainWindow::Backend backend);

} // namespace bench
