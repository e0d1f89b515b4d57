// The application's one window: the scan button and the device table on the
// left, the temperature and humidity readings on the right. It connects its
// controls to a ViewController through the toolkit adapters, loads the
// controller's view at construction, and reports its showing and hiding.
#pragma once

#include "app/ble.h"
#include "app/log_sink.h"
#include "app/program_wide.h"
#include "app/view_controller.h"

#include <QWidget>

#include <memory>

class QLineEdit;
class QPushButton;
class QTableView;

namespace qtui {

class CheckableButton;
class DeviceTable;
class LineEditField;
class QtRunLoop;

class MainWindow : public QWidget {
    Q_OBJECT

public:
    // What the window's controller works with besides the window.
    struct Backend {
        ble::CentralManagerFactory makeCentralManager;
        std::shared_ptr<app::LogSink> log;
        std::shared_ptr<ProgramWideValues> programWide;
    };

    explicit MainWindow(Backend backend, QWidget* parent = nullptr);
    ~MainWindow() override;

    const std::shared_ptr<ViewController>& controller() const { return controller_; }
    QPushButton* scanButton() const { return scanButton_; }
    QTableView* deviceTable() const { return deviceTable_; }
    QLineEdit* temperatureField() const { return temperatureField_; }
    QLineEdit* humidityField() const { return humidityField_; }

protected:
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QLayout* makeDeviceList();
    QLayout* makeReadings();
    void connectController(Backend backend);

    QPushButton* scanButton_ = nullptr;
    QTableView* deviceTable_ = nullptr;
    QLineEdit* temperatureField_ = nullptr;
    QLineEdit* humidityField_ = nullptr;

    // The adapters the controller's outlets point at; declared before the
    // controller so that they outlive it.
    std::shared_ptr<QtRunLoop> runLoop_;
    std::shared_ptr<DeviceTable> tableAdapter_;
    std::shared_ptr<LineEditField> temperatureAdapter_;
    std::shared_ptr<LineEditField> humidityAdapter_;
    std::shared_ptr<CheckableButton> scanButtonAdapter_;
    std::shared_ptr<ViewController> controller_;
};

} // namespace qtui
