// The application's one window: the scan and reconnect buttons and the device
// table on the left; the temperature and humidity readings with their age,
// the dew point and absolute humidity, and the session's trend on the right;
// a collapsible log pane and Copy readings below; and a status line that says
// what the radio and the meter are doing, with the meter's battery beside it. It connects its
// controls to a ViewController through the toolkit adapters, loads the
// controller's view at construction, and reports its showing and hiding.
#pragma once

#include "app/ble.h"
#include "app/log_sink.h"
#include "app/program_wide.h"
#include "app/view_controller.h"
#include "protocol/frame.h"
#include "qt_ui/derived_readings.h"
#include "qt_ui/reading_age.h"
#include "qt_ui/session_readings.h"

#include <QMainWindow>
#include <QTimer>

#include <array>
#include <chrono>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

class QLineEdit;
class QPushButton;
class QTableView;

namespace qtui {

class CheckableButton;
class ConnectionStatus;
class DeviceTable;
class LineEditField;
class LogPane;
class TrendChart;

class MainWindow : public QMainWindow {
    Q_OBJECT

public:
    // What the window's controller works with besides the window.
    struct Backend {
        ble::CentralManagerFactory makeCentralManager;
        std::shared_ptr<app::LogSink> log;
        std::shared_ptr<ProgramWideValues> programWide;
        // What runs the poll; the Qt event loop when none is given.
        std::shared_ptr<app::RunLoop> pollRunLoop = nullptr;
    };

    explicit MainWindow(Backend backend, QWidget* parent = nullptr);
    ~MainWindow() override;

    const std::shared_ptr<ViewController>& controller() const { return controller_; }
    QPushButton* scanButton() const { return scanButton_; }
    QTableView* deviceTable() const { return deviceTable_; }
    QLineEdit* temperatureField() const { return temperatureField_; }
    QLineEdit* humidityField() const { return humidityField_; }
    QPushButton* reconnectButton() const { return reconnectButton_; }
    QLineEdit* temperatureAge() const { return temperatureAge_; }
    QLineEdit* humidityAge() const { return humidityAge_; }
    QLineEdit* dewPointField() const { return derived_->dewPointField(); }
    QLineEdit* absoluteHumidityField() const { return derived_->absoluteHumidityField(); }
    QPushButton* copyReadingsButton() const { return copyReadingsButton_; }
    QLineEdit* batteryLine() const { return batteryLine_; }
    TrendChart* trendChart() const { return trend_; }
    QPushButton* logButton() const { return logButton_; }
    LogPane* logPane() const { return logPane_; }
    QLineEdit* statusLine() const { return statusLine_; }
    ConnectionStatus& connectionStatus() const { return *status_; }
    const ReadingAge& readingAge(protocol::ReadingKind kind) const { return ages_[index(kind)]; }
    bool agesRefreshing() const { return ageTimer_.isActive(); }

    // A line of the Bluetooth backend's own, shown in the status line.
    void showDiagnostic(std::string_view line);
    // Shows the readings' ages at that moment; the window does so every second.
    void showReadingAges(Clock::time_point now);

    // The shortest time between two paints of the window.
    static constexpr auto frameInterval = std::chrono::milliseconds(16);

protected:
    bool event(QEvent* event) override;
    void showEvent(QShowEvent* event) override;
    void hideEvent(QHideEvent* event) override;

private:
    QLayout* makeDeviceList();
    QLayout* makeReadings();
    QWidget* makeCentralWidget();
    void makeStatusLine();
    void connectController(Backend backend);
    void setTabOrders();
    void showStatus();
    void showBattery();
    void readingShown(protocol::ReadingKind kind, const std::string& text);
    void showTrend();
    static std::size_t index(protocol::ReadingKind kind)
    {
        return kind == protocol::ReadingKind::temperature ? 0 : 1;
    }

    QPushButton* scanButton_ = nullptr;
    QTableView* deviceTable_ = nullptr;
    QLineEdit* temperatureField_ = nullptr;
    QLineEdit* humidityField_ = nullptr;
    QPushButton* reconnectButton_ = nullptr;
    QLineEdit* temperatureAge_ = nullptr;
    QLineEdit* humidityAge_ = nullptr;
    TrendChart* trend_ = nullptr;
    QPushButton* logButton_ = nullptr;
    LogPane* logPane_ = nullptr;
    QLineEdit* statusLine_ = nullptr;
    QPushButton* copyReadingsButton_ = nullptr;
    QLineEdit* batteryLine_ = nullptr;
    std::unique_ptr<DerivedReadings> derived_;
    SessionReadings readings_;
    // The latest reading of each kind as a number, when it is one.
    std::array<std::optional<double>, 2> latestValues_;
    std::array<ReadingAge, 2> ages_;
    // Readings of each kind in the trend's data that it has not drawn yet.
    std::array<bool, 2> trendWaits_{};
    QTimer ageTimer_;
    std::optional<Clock::time_point> lastPaint_;
    QTimer nextFrame_;

    // The adapters the controller's outlets point at; declared before the
    // controller so that they outlive it.
    std::shared_ptr<app::RunLoop> runLoop_;
    std::shared_ptr<DeviceTable> tableAdapter_;
    std::shared_ptr<LineEditField> temperatureAdapter_;
    std::shared_ptr<LineEditField> humidityAdapter_;
    std::shared_ptr<CheckableButton> scanButtonAdapter_;
    std::shared_ptr<ConnectionStatus> status_;
    std::shared_ptr<ViewController> controller_;
};

} // namespace qtui
