#include "qt_ui/main_window.h"

#include "qt_ui/connection_status.h"
#include "qt_ui/controls.h"
#include "qt_ui/device_table.h"
#include "qt_ui/log_pane.h"
#include "qt_ui/observed_run_loop.h"
#include "qt_ui/qt_run_loop.h"
#include "qt_ui/trend_chart.h"

#include <QClipboard>
#include <QCoreApplication>
#include <QDateTime>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QHideEvent>
#include <QItemSelectionModel>
#include <QLabel>
#include <QLineEdit>
#include <QPlainTextEdit>
#include <QPushButton>
#include <QShowEvent>
#include <QStatusBar>
#include <QTableView>
#include <QVBoxLayout>

#include <span>
#include <tuple>

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

// A large value field.
QLineEdit* makeReadingField(const QString& accessibleName, QWidget* parent)
{
    auto* field = makeValueField(accessibleName, parent);
    QFont font = field->font();
    font.setPointSizeF(font.pointSizeF() * 2.6);
    font.setWeight(QFont::DemiBold);
    field->setFont(font);
    // Room for the widest reading, such as "-88.8 %RH".
    field->setMinimumWidth(QFontMetrics(font).horizontalAdvance(QStringLiteral("-88.8 %RHMM")));
    return field;
}

// A line of text the program keeps up to date: read-only and frameless, yet
// a text field, so that a screen reader reads it.
QLineEdit* makeInfoLine(const QString& accessibleName, QWidget* parent)
{
    auto* line = new QLineEdit(parent);
    line->setReadOnly(true);
    line->setFrame(false);
    line->setAccessibleName(accessibleName);
    QPalette palette = line->palette();
    palette.setBrush(QPalette::Base, palette.window());
    line->setPalette(palette);
    // Opaque: its text changes every second, and an opaque widget repaints
    // alone, without the window behind it.
    line->setAutoFillBackground(true);
    return line;
}

} // namespace

MainWindow::MainWindow(Backend backend, QWidget* parent) : QMainWindow(parent)
{
    setWindowTitle(tr("Thermo-Hygrometer"));
    setCentralWidget(makeCentralWidget());
    makeStatusLine();
    setTabOrders();
    resize(820, 660);

    nextFrame_.setSingleShot(true);
    nextFrame_.setTimerType(Qt::PreciseTimer);
    connect(&nextFrame_, &QTimer::timeout, this, [this] {
        QCoreApplication::postEvent(this, new QEvent(QEvent::UpdateRequest), Qt::LowEventPriority);
    });
    ageTimer_.setInterval(1000);
    ageTimer_.setTimerType(Qt::PreciseTimer);
    connect(&ageTimer_, &QTimer::timeout, this, [this] {
        showReadingAges(Clock::now());
        showTrend();
    });
    status_ = std::make_shared<ConnectionStatus>([this] { showStatus(); });
    // After each tick of the poll: whether the meter answered the last request.
    auto pollRunLoop = backend.pollRunLoop ? backend.pollRunLoop : std::make_shared<QtRunLoop>();
    runLoop_ = std::make_shared<ObservedRunLoop>(std::move(pollRunLoop),
                                                 [status = std::weak_ptr<ConnectionStatus>(status_)] {
                                                     if (const auto live = status.lock())
                                                         live->meter().pollTicked();
                                                 });
    connectController(std::move(backend));
    showStatus();
}

MainWindow::~MainWindow()
{
    // A window destroyed while shown disappears all the same.
    if (isVisible())
        controller_->viewWillDisappear();
}

QWidget* MainWindow::makeCentralWidget()
{
    auto* central = new QWidget(this);
    auto* panes = new QHBoxLayout;
    panes->addLayout(makeDeviceList(), 3);
    panes->addSpacing(12);
    panes->addLayout(makeReadings(), 2);

    logButton_ = new QPushButton(tr("Show &log"), central);
    logButton_->setCheckable(true);
    logButton_->setAccessibleName(tr("Show log"));
    logButton_->setToolTip(tr("Show the log lines, as written to standard output"));
    logPane_ = new LogPane(central);
    logPane_->hide();
    connect(logButton_, &QPushButton::toggled, logPane_, &QWidget::setVisible);
    copyReadingsButton_ = new QPushButton(tr("Copy &readings"), central);
    copyReadingsButton_->setAccessibleName(tr("Copy readings"));
    copyReadingsButton_->setToolTip(
        tr("Copy this session's readings to the clipboard, as CSV for a spreadsheet"));
    copyReadingsButton_->setAutoDefault(true);
    connect(copyReadingsButton_, &QPushButton::clicked, this,
            [this] { QGuiApplication::clipboard()->setText(readings_.csv()); });
    auto* logRow = new QHBoxLayout;
    logRow->addWidget(logButton_);
    logRow->addStretch();
    logRow->addWidget(copyReadingsButton_);

    auto* layout = new QVBoxLayout(central);
    layout->addLayout(panes, 3);
    layout->addLayout(logRow);
    layout->addWidget(logPane_, 2);
    return central;
}

void MainWindow::makeStatusLine()
{
    statusLine_ = makeInfoLine(tr("Status"), this);
    statusBar()->addWidget(statusLine_, 1);
    batteryLine_ = makeInfoLine(tr("Battery"), this);
    batteryLine_->setAlignment(Qt::AlignRight);
    batteryLine_->setMaximumWidth(batteryLine_->fontMetrics().horizontalAdvance(tr("Battery 100 % (low)")) +
                                  16);
    statusBar()->addPermanentWidget(batteryLine_);
    batteryLine_->hide();
}

void MainWindow::setTabOrders()
{
    const std::array<QWidget*, 16> order{scanButton_,
                                         reconnectButton_,
                                         deviceTable_,
                                         temperatureField_,
                                         temperatureAge_,
                                         humidityField_,
                                         humidityAge_,
                                         derived_->dewPointField(),
                                         derived_->absoluteHumidityField(),
                                         trend_,
                                         logButton_,
                                         logPane_->lines(),
                                         logPane_->copyButton(),
                                         copyReadingsButton_,
                                         statusLine_,
                                         batteryLine_};
    for (std::size_t i = 0; i + 1 < order.size(); ++i)
        setTabOrder(order[i], order[i + 1]);
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
    reconnectButton_ = new QPushButton(tr("&Reconnect"), this);
    reconnectButton_->setAccessibleName(tr("Reconnect"));
    reconnectButton_->setToolTip(tr("Connect again to the selected meter after it dropped or refused"));
    reconnectButton_->setEnabled(false);
    // Enter presses it like Space.
    reconnectButton_->setAutoDefault(true);

    auto* header = new QHBoxLayout;
    header->addWidget(caption);
    header->addStretch();
    header->addWidget(reconnectButton_);
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
    temperatureAge_ = makeInfoLine(tr("Temperature age"), this);
    humidityAge_ = makeInfoLine(tr("Humidity age"), this);
    ages_ = {ReadingAge(temperatureField_, temperatureAge_), ReadingAge(humidityField_, humidityAge_)};
    auto* column = new QVBoxLayout;
    for (auto [field, age, caption] : {std::tuple{temperatureField_, temperatureAge_, tr("&Temperature")},
                                       std::tuple{humidityField_, humidityAge_, tr("&Humidity")}}) {
        auto* label = new QLabel(caption, this);
        label->setBuddy(field);
        age->setAlignment(Qt::AlignCenter);
        age->setPlaceholderText(tr("no reading yet"));
        column->addWidget(label);
        column->addWidget(field);
        column->addWidget(age);
        column->addSpacing(8);
    }
    derived_ = std::make_unique<DerivedReadings>(this);
    column->addWidget(derived_->dewPointField());
    column->addWidget(derived_->absoluteHumidityField());
    column->addSpacing(8);
    trend_ = new TrendChart(this);
    auto* trendLabel = new QLabel(tr("Tre&nd of this session"), this);
    trendLabel->setBuddy(trend_);
    column->addWidget(trendLabel);
    column->addWidget(trend_, 1);
    return column;
}

void MainWindow::connectController(Backend backend)
{
    tableAdapter_ = std::make_shared<DeviceTable>(deviceColumns());
    tableAdapter_->attach(deviceTable_);
    // Tells apart devices of the same name.
    tableAdapter_->describeRowsWith([this](int row) {
        const auto& listed = controller_->peripherals;
        return listed && static_cast<std::size_t>(row) < listed->size()
                   ? QString::fromStdString((*listed)[static_cast<std::size_t>(row)]->identifier())
                   : QString();
    });
    auto* header = deviceTable_->horizontalHeader();
    header->setSectionResizeMode(0, QHeaderView::Stretch);
    // A fixed width: fitting it to the contents would make every row's cell.
    header->setSectionResizeMode(1, QHeaderView::Fixed);
    header->resizeSection(1, header->fontMetrics().horizontalAdvance(tr("Signal (dBm)")) + 32);

    temperatureAdapter_ = std::make_shared<LineEditField>(temperatureField_, [this](const std::string& text) {
        readingShown(protocol::ReadingKind::temperature, text);
    });
    humidityAdapter_ = std::make_shared<LineEditField>(humidityField_, [this](const std::string& text) {
        readingShown(protocol::ReadingKind::humidity, text);
    });
    scanButtonAdapter_ = std::make_shared<CheckableButton>(scanButton_);

    // The central manager reports to the status, which hands every callback on to the controller.
    // The window owns the status; the controller and its manager only refer to it.
    auto makeCentralManager = [make = std::move(backend.makeCentralManager),
                               status = std::weak_ptr<ConnectionStatus>(status_)](
                                  std::weak_ptr<ble::CentralManagerDelegate>) { return make(status); };
    // The log pane receives exactly the lines of standard output.
    auto log = std::make_shared<TeeLogSink>(std::move(backend.log), logPane_);
    controller_ = std::make_shared<ViewController>(ViewController::Platform{
        std::move(log), std::move(makeCentralManager), runLoop_, std::move(backend.programWide)});
    status_->watch(controller_);
    controller_->tableView = tableAdapter_;
    controller_->temperatureTxtFld = temperatureAdapter_;
    controller_->moistureTxtFld = humidityAdapter_;
    controller_->scanButton = scanButtonAdapter_;
    connect(scanButton_, &QPushButton::toggled, this, [this] {
        controller_->refreshAction(*scanButtonAdapter_);
        status_->userActed();
    });
    // After the table's own handler, which hands the selection to the controller.
    connect(deviceTable_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
            [this] { status_->userActed(); });
    // The very path a selection of the meter's row takes, so the log reads the same.
    connect(reconnectButton_, &QPushButton::clicked, this, [this] {
        status_->closeLinkToReconnect();
        controller_->tableViewSelectionDidChange(ui::Notification{tableAdapter_});
        status_->userActed();
    });
    controller_->viewDidLoad();
}

void MainWindow::showStatus()
{
    const auto text = QString::fromStdString(status_->text());
    if (text != statusLine_->text()) {
        statusLine_->setText(text);
        statusLine_->setCursorPosition(0);
    }
    const auto details = QString::fromStdString(status_->details());
    // The whole line, when the window is too narrow for it, and the details.
    if (const auto tip = text + u'\n' + details; tip != statusLine_->toolTip())
        statusLine_->setToolTip(tip);
    if (details != statusLine_->accessibleDescription())
        statusLine_->setAccessibleDescription(details);
    reconnectButton_->setEnabled(status_->canReconnect());
    showBattery();
}

void MainWindow::showBattery()
{
    const auto battery = status_->battery();
    batteryLine_->setVisible(battery.has_value());
    if (!battery)
        return;
    const bool low = *battery < MeterWatch::lowBattery;
    showText(*batteryLine_, low ? tr("Battery %1 % (low)").arg(*battery) : tr("Battery %1 %").arg(*battery));
    const QColor colour = low ? QColor(190, 30, 30) : statusLine_->palette().color(QPalette::Text);
    if (batteryLine_->palette().color(QPalette::Text) != colour) {
        QPalette palette = batteryLine_->palette();
        palette.setColor(QPalette::Text, colour);
        batteryLine_->setPalette(palette);
    }
}

void MainWindow::showDiagnostic(std::string_view line)
{
    status_->showDiagnostic(line);
}

void MainWindow::readingShown(protocol::ReadingKind kind, const std::string& text)
{
    const auto now = Clock::now();
    const bool wasFresh = ages_[index(kind)].hasReading() && !ages_[index(kind)].isStale();
    ages_[index(kind)].readingArrived(now);
    // The ages are refreshed a second after the latest reading: the refresh
    // wakes the program together with the readings instead of in between them.
    ageTimer_.start();
    const bool temperature = kind == protocol::ReadingKind::temperature;
    const auto suffix = temperature ? protocol::temperatureSuffix : protocol::humiditySuffix;
    const auto value = readingValue(text, suffix);
    latestValues_[index(kind)] = value;
    const std::string_view meterText = std::string_view(text).ends_with(suffix)
                                           ? std::string_view(text).substr(0, text.size() - suffix.size())
                                           : std::string_view(text);
    readings_.add(QDateTime::currentDateTime(), kind,
                  QString::fromUtf8(meterText.data(), static_cast<qsizetype>(meterText.size())), value);
    std::array<TrendPoint, 3> points{};
    std::size_t count = 0;
    if (value)
        points[count++] = {temperature ? TrendLine::temperature : TrendLine::humidity, *value};
    // In the trend as shown, to one decimal.
    if (const auto derived = derived_->show(latestValues_[0], latestValues_[1])) {
        points[count++] = {TrendLine::dewPoint, oneDecimal(derived->dewPoint).toDouble()};
        points[count++] = {TrendLine::absoluteHumidity, oneDecimal(derived->absoluteHumidity).toDouble()};
    }
    trend_->addPoints(std::span(points).first(count), now);
    // The ages and the trend are shown once a poll, with its second reading
    // (the two come some 20 ms apart, each in a frame of its own, and each
    // change would be a paint): a reading of the kind already waiting starts
    // a new poll, and a meter that sends one kind only has its reading shown
    // with the age refresh a second later. A reading that ends a silence, or
    // the first one, shows its age at once.
    const std::size_t other = 1 - index(kind);
    const bool pollComplete = std::exchange(trendWaits_[index(kind)], true) || trendWaits_[other];
    if (pollComplete || !wasFresh)
        showReadingAges(now);
    if (pollComplete)
        showTrend();
}

void MainWindow::showTrend()
{
    trendWaits_ = {};
    trend_->showNewPoints();
}

void MainWindow::showReadingAges(Clock::time_point now)
{
    bool anyStale = false;
    bool anyFresh = false;
    for (auto& age : ages_) {
        age.show(now);
        anyStale = anyStale || age.isStale();
        anyFresh = anyFresh || (age.hasReading() && !age.isStale());
    }
    derived_->setStale(anyStale);
    trend_->setLive(anyFresh);
}

bool MainWindow::event(QEvent* event)
{
    // One paint per frame at most: in a crowded scan the list and the status
    // line change thousands of times a second, and painting every change left
    // the event loop no time for the radio's reports. A request that comes
    // too early is held back until the frame is due.
    if (event->type() == QEvent::UpdateRequest) {
        const auto now = Clock::now();
        if (lastPaint_ && now - *lastPaint_ < frameInterval) {
            if (!nextFrame_.isActive())
                nextFrame_.start(
                    std::chrono::ceil<std::chrono::milliseconds>(*lastPaint_ + frameInterval - now));
            return true;
        }
        lastPaint_ = now;
    }
    return QMainWindow::event(event);
}

void MainWindow::showEvent(QShowEvent* event)
{
    QMainWindow::showEvent(event);
    // Only the program shows and hides the view; a window manager's
    // minimising and restoring comes spontaneous and is not the view's lifecycle.
    if (!event->spontaneous())
        controller_->viewDidAppear();
}

void MainWindow::hideEvent(QHideEvent* event)
{
    QMainWindow::hideEvent(event);
    if (!event->spontaneous())
        controller_->viewWillDisappear();
}

} // namespace qtui
