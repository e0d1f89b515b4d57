#include "qt_ui/main_window.h"

#include "qt_ui/controls.h"
#include "qt_ui/device_table.h"
#include "qt_ui/qt_run_loop.h"

#include <QFontMetrics>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QLabel>
#include <QLineEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QTableView>
#include <QVBoxLayout>

namespace qtui {
namespace {

std::vector<DeviceColumn> deviceColumns()
{
    return {
        {"name", QObject::tr("Name"), &ScanTableCellView::deviceNameTextField,
         Qt::AlignLeft | Qt::AlignVCenter},
        {"rssi", QObject::tr("Signal (dBm)"), &ScanTableCellView::deviceRSSI_TextField,
         Qt::AlignRight | Qt::AlignVCenter},
    };
}

// A large read-only field: a screen reader reads its text, which it would
// not from a label.
QLineEdit* makeReadingField(const QString& accessibleName, QWidget* parent)
{
    auto* field = new QLineEdit(parent);
    field->setReadOnly(true);
    field->setAccessibleName(accessibleName);
    field->setAlignment(Qt::AlignCenter);
    field->setPlaceholderText(QStringLiteral("--"));
    QFont font = field->font();
    font.setPointSizeF(font.pointSizeF() * 2.6);
    font.setWeight(QFont::DemiBold);
    field->setFont(font);
    // Room for the widest reading, such as "-88.8 %RH".
    field->setMinimumWidth(QFontMetrics(font).horizontalAdvance(QStringLiteral("-88.8 %RHMM")));
    return field;
}

} // namespace

MainWindow::MainWindow(Backend backend, QWidget* parent) : QWidget(parent)
{
    setWindowTitle(tr("Thermo-Hygrometer"));
    auto* layout = new QHBoxLayout(this);
    layout->addLayout(makeDeviceList(), 3);
    layout->addSpacing(12);
    layout->addLayout(makeReadings(), 2);
    setTabOrder(scanButton_, deviceTable_);
    setTabOrder(deviceTable_, temperatureField_);
    setTabOrder(temperatureField_, humidityField_);
    resize(760, 420);
    connectController(std::move(backend));
}

MainWindow::~MainWindow()
{
    // A window destroyed while shown disappears all the same.
    if (isVisible())
        controller_->viewWillDisappear();
}

QLayout* MainWindow::makeDeviceList()
{
    scanButton_ = new QPushButton(tr("Scan"), this);
    scanButton_->setCheckable(true);
    scanButton_->setAccessibleName(tr("Scan"));
    scanButton_->setToolTip(tr("Search for nearby Bluetooth devices while switched on"));

    deviceTable_ = new QTableView(this);
    deviceTable_->setAccessibleName(tr("Devices"));
    deviceTable_->setEditTriggers(QAbstractItemView::NoEditTriggers);
    deviceTable_->setTabKeyNavigation(false);
    deviceTable_->setAlternatingRowColors(true);
    deviceTable_->setShowGrid(false);
    deviceTable_->setWordWrap(false);
    deviceTable_->verticalHeader()->hide();
    deviceTable_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);

    auto* caption = new QLabel(tr("&Devices"), this);
    caption->setBuddy(deviceTable_);
    auto* header = new QHBoxLayout;
    header->addWidget(caption);
    header->addStretch();
    header->addWidget(scanButton_);

    auto* column = new QVBoxLayout;
    column->addLayout(header);
    column->addWidget(deviceTable_, 1);
    return column;
}

QLayout* MainWindow::makeReadings()
{
    temperatureField_ = makeReadingField(tr("Temperature"), this);
    humidityField_ = makeReadingField(tr("Humidity"), this);
    auto* column = new QVBoxLayout;
    for (auto [field, caption] :
         {std::pair{temperatureField_, tr("&Temperature")}, std::pair{humidityField_, tr("&Humidity")}}) {
        auto* label = new QLabel(caption, this);
        label->setBuddy(field);
        column->addWidget(label);
        column->addWidget(field);
        column->addSpacing(12);
    }
    column->addStretch();
    return column;
}

void MainWindow::connectController(Backend backend)
{
    tableAdapter_ = std::make_shared<DeviceTable>(deviceColumns());
    tableAdapter_->attach(deviceTable_);
    auto* header = deviceTable_->horizontalHeader();
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    // A fixed width: fitting it to the contents would make every row's cell.
    header->setSectionResizeMode(1, QHeaderView::Fixed);
    header->resizeSection(1, header->fontMetrics().horizontalAdvance(tr("Signal (dBm)")) + 32);

    temperatureAdapter_ = std::make_shared<LineEditField>(temperatureField_);
    humidityAdapter_ = std::make_shared<LineEditField>(humidityField_);
    scanButtonAdapter_ = std::make_shared<CheckableButton>(scanButton_);
    runLoop_ = std::make_shared<QtRunLoop>();

    controller_ = std::make_shared<ViewController>(
        ViewController::Platform{std::move(backend.log), std::move(backend.makeCentralManager), runLoop_,
                                 std::move(backend.programWide)});
    controller_->tableView = tableAdapter_;
    controller_->temperatureTxtFld = temperatureAdapter_;
    controller_->moistureTxtFld = humidityAdapter_;
    controller_->scanButton = scanButtonAdapter_;
    connect(scanButton_, &QPushButton::toggled, this,
            [this] { controller_->refreshAction(*scanButtonAdapter_); });
    controller_->viewDidLoad();
}

void MainWindow::showEvent(QShowEvent* event)
{
    QWidget::showEvent(event);
    // Only the program shows and hides the view; a window manager's
    // minimising and restoring comes spontaneous and is not the view's lifecycle.
    if (!event->spontaneous())
        controller_->viewDidAppear();
}

void MainWindow::hideEvent(QHideEvent* event)
{
    QWidget::hideEvent(event);
    if (!event->spontaneous())
        controller_->viewWillDisappear();
}

} // namespace qtui
