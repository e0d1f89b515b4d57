#include "bench_window.h"
#include "qt_ui/controls.h"
#include "qt_ui/device_table.h"
#include "qt_ui/qt_run_loop.h"

#include <QHeaderView>
#include <QLineEdit>
#include <QPushButton>
#include <QTableView>
#include <QVBoxLayout>
#include <QWidget>

namespace bench {
namespace {

// What a reader plainly written with Qt Widgets shows: the Scan button, the
// device table and the two readings in read-only fields, with Qt's defaults
// throughout. No status, ages, derived readings, trend, log pane or icon: the
// cost of those is what the program's figures are set against.
class PlainReader : public Window {
public:
    explicit PlainReader(qtui::MainWindow::Backend backend)
    {
        widget_.setWindowTitle(QStringLiteral("Plain reader"));
        auto* layout = new QVBoxLayout(&widget_);
        scanButton_ = new QPushButton(QStringLiteral("Scan"), &widget_);
        scanButton_->setCheckable(true);
        scanButton_->setAccessibleName(QStringLiteral("Scan"));
        table_ = new QTableView(&widget_);
        table_->setAccessibleName(QStringLiteral("Devices"));
        table_->setEditTriggers(QAbstractItemView::NoEditTriggers);
        table_->verticalHeader()->hide();
        layout->addWidget(scanButton_);
        layout->addWidget(table_, 1);
        auto* temperature = readingField(QStringLiteral("Temperature"), *layout);
        auto* humidity = readingField(QStringLiteral("Humidity"), *layout);
        // The size of the program's window: the same backing store to paint into.
        widget_.resize(820, 660);

        tableAdapter_ = std::make_shared<qtui::DeviceTable>(std::vector<qtui::DeviceColumn>{
            {"name", QStringLiteral("Name"), &ScanTableCellView::deviceNameTextField, Qt::AlignLeft},
            {"rssi", QStringLiteral("RSSI"), &ScanTableCellView::deviceRSSI_TextField, Qt::AlignRight}});
        tableAdapter_->attach(table_);
        table_->horizontalHeader()->setSectionResizeMode(0, QHeaderView::Stretch);
        temperatureAdapter_ = std::make_shared<qtui::LineEditField>(temperature);
        humidityAdapter_ = std::make_shared<qtui::LineEditField>(humidity);
        scanAdapter_ = std::make_shared<qtui::CheckableButton>(scanButton_);
        controller_ = std::make_shared<ViewController>(
            ViewController::Platform{std::move(backend.log), std::move(backend.makeCentralManager), runLoop_,
                                     std::move(backend.programWide)});
        controller_->tableView = tableAdapter_;
        controller_->temperatureTxtFld = temperatureAdapter_;
        controller_->moistureTxtFld = humidityAdapter_;
        controller_->scanButton = scanAdapter_;
        QObject::connect(scanButton_, &QPushButton::toggled, &widget_,
                         [this] { controller_->refreshAction(*scanAdapter_); });
        controller_->viewDidLoad();
    }

    ~PlainReader() override { controller_->viewWillDisappear(); }

    void show() override
    {
        widget_.show();
        controller_->viewDidAppear();
    }
    ViewController& controller() override { return *controller_; }
    QPushButton& scanButton() override { return *scanButton_; }
    QTableView& deviceTable() override { return *table_; }
    // The plain reader has nowhere to show them.
    void showDiagnostic(std::string_view) override {}

private:
    QLineEdit* readingField(const QString& name, QVBoxLayout& layout)
    {
        auto* field = new QLineEdit(&widget_);
        field->setReadOnly(true);
        field->setAccessibleName(name);
        layout.addWidget(field);
        return field;
    }

    QWidget widget_;
    QPushButton* scanButton_ = nullptr;
    QTableView* table_ = nullptr;
    // Declared before the controller, so that they outlive it.
    std::shared_ptr<qtui::QtRunLoop> runLoop_ = std::make_shared<qtui::QtRunLoop>();
    std::shared_ptr<qtui::DeviceTable> tableAdapter_;
    std::shared_ptr<qtui::LineEditField> temperatureAdapter_;
    std::shared_ptr<qtui::LineEditField> humidityAdapter_;
    std::shared_ptr<qtui::CheckableButton> scanAdapter_;
    std::shared_ptr<ViewController> controller_;
};

} // namespace

std::unique_ptr<Window> makeWindow(qtui::MainWindow::Backend backend)
{
    return std::make_unique<PlainReader>(std::move(backend));
}

} // namespace bench
