#include "qt_ui/connection_status.h"

#include "app/log_forms.h"
#include "qt_ui/reading_age.h"

#include <QtGlobal>

#include <algorithm>
#include <cctype>

namespace qtui {
namespace {

// Where each platform lets the user switch Bluetooth on, find the adapter or allow the application.
#if defined(Q_OS_MACOS)
constexpr const char* switchedOffAdvice =
    "Bluetooth is off. Switch Bluetooth on in System Settings > Bluetooth.";
constexpr const char* unusableAdvice =
    "No usable Bluetooth adapter. Check in System Settings > Bluetooth that Bluetooth is available.";
constexpr const char* unauthorizedAdvice =
    "Thermo-Hygrometer is not allowed to use Bluetooth. Allow it in "
    "System Settings > Privacy & Security > Bluetooth, then start it again.";
#elif defined(Q_OS_WIN)
constexpr const char* switchedOffAdvice =
    "Bluetooth is off. Switch Bluetooth on in Settings > Bluetooth & devices.";
constexpr const char* unusableAdvice = "No usable Bluetooth adapter. Check in Settings > Bluetooth & devices "
                                       "that Bluetooth is available and on.";
constexpr const char* unauthorizedAdvice = unusableAdvice;
#else
constexpr const char* switchedOffAdvice =
    "Bluetooth is off. Switch Bluetooth on (in the system settings, or: bluetoothctl power on).";
constexpr const char* unusableAdvice =
    "No usable Bluetooth adapter. Check that the bluetooth service runs "
    "(systemctl status bluetooth) and that rfkill does not block the adapter "
    "(rfkill list).";
constexpr const char* unauthorizedAdvice = unusableAdvice;
#endif

std::string nameOf(const ble::Peripheral& peripheral)
{
    return logform::printable(peripheral.name().value_or(peripheral.identifier()));
}

// The platform's wording when it knows nothing about what went wrong, or
// only that the connection was lost (as the Qt backend words a loss its stack
// does not explain): the window's own advice says more.
bool saysNothing(const std::optional<std::string>& reason)
{
    if (!reason || reason->empty())
        return true;
    std::string lower(*reason);
    std::transform(lower.begin(), lower.end(), lower.begin(),
                   [](unsigned char c) { return static_cast<char>(std::tolower(c)); });
    return lower.starts_with("unknown error") || lower.starts_with("the connection was lost");
}

} // namespace

ConnectionStatus::ConnectionStatus(std::function<void()> changed)
    : changed_(std::move(changed)), meter_(std::make_shared<MeterWatch>([this] { settle(); }))
{
}

void ConnectionStatus::watch(std::weak_ptr<ViewController> controller)
{
    meter_->watch(controller);
    controller_ = std::move(controller);
}

void ConnectionStatus::showDiagnostic(std::string_view line)
{
    constexpr std::string_view prefix = "Bluetooth: ";
    if (line.starts_with(prefix))
        line.remove_prefix(prefix.size());
    diagnostic_ = Diagnostic{logform::printable(line), stateText(false)};
    changed_();
}

std::string ConnectionStatus::text() const
{
    return diagnostic_ ? diagnostic_->line : stateText();
}

bool ConnectionStatus::radioUsable() const
{
    return radioState_ == ble::managerState::unknown || radioState_ == ble::managerState::poweredOn;
}

std::string ConnectionStatus::stateText(bool silence) const
{
    if (radioState_ == ble::managerState::poweredOff)
        return switchedOffAdvice;
    if (radioState_ == ble::managerState::unauthorized)
        return unauthorizedAdvice;
    if (!radioUsable())
        return unusableAdvice;
    const auto controller = controller_.lock();
    if (controller && controller->connectionPeripheral) {
        const auto name = nameOf(*controller->connectionPeripheral);
        if (!controller->connectionEstablished || meter_->isRelinking())
            return "Connecting to " + name + "…";
        if (meter_->offersNoMeasurement())
            return name + " offers no measurement service (no FF01/FF02)";
        if (silence && meter_->isSilent()) {
            const auto silent =
                std::chrono::duration<double>(meter_->pollsWithoutFrame() * ViewController::pollInterval);
            return "Connected to " + name + ", but it has not answered for " +
                   elapsedText(std::chrono::duration_cast<Clock::duration>(silent)).toStdString();
        }
        return "Connected to " + name;
    }
    // The scan does not start again by itself once the radio is back.
    if (scanLostRadio_)
        return "Not scanning: Bluetooth was unavailable. Switch Scan off and on again.";
    if (controller && isScanning()) {
        const auto listed = controller->peripherals ? controller->peripherals->size() : 0;
        return "Scanning: " + std::to_string(listed) + (listed == 1 ? " device" : " devices") + " listed";
    }
    if (loss_)
        return lossText(*loss_);
    return "Idle. Switch Scan on to look for the meter.";
}

std::string ConnectionStatus::lossText(const Loss& loss) const
{
    const auto name = nameOf(*loss.peripheral);
    // Without its row selected, selecting the row is the way back.
    const std::string retry = !canReconnect()        ? " Select it to connect again."
                              : loss.failedToConnect ? " Reconnect tries again."
                                                     : " Reconnect connects again.";
    if (!saysNothing(loss.reason)) {
        const auto reason = logform::printable(*loss.reason);
        return (loss.failedToConnect ? "Could not connect to " : "Disconnected from ") + name + ": " +
               reason + (reason.ends_with('.') ? "" : ".") + retry;
    }
    if (loss.failedToConnect)
        return "Could not connect to " + name +
               ". Is the meter in range and switched on? Is another program connected to it?" + retry;
    return "Disconnected from " + name + ". Is the meter still in range and switched on?" + retry;
}

std::string ConnectionStatus::details() const
{
    return "Requests the meter left unanswered this session: " + std::to_string(meter_->unansweredRequests());
}

std::optional<int> ConnectionStatus::battery() const
{
    const auto controller = controller_.lock();
    if (!controller || !controller->connectionEstablished || meter_->isRelinking())
        return std::nullopt;
    return meter_->battery();
}

bool ConnectionStatus::canReconnect() const
{
    const auto controller = controller_.lock();
    if (!controller || isScanning() || !radioUsable())
        return false;
    if (controller->connectionPeripheral)
        return needsNewLink() && isSelectedRow(*controller->connectionPeripheral);
    return loss_ && isSelectedRow(*loss_->peripheral);
}

bool ConnectionStatus::needsNewLink() const
{
    const auto controller = controller_.lock();
    return controller && controller->connectionPeripheral && controller->connectionEstablished &&
           !meter_->isRelinking() && (meter_->isSilent() || meter_->offersNoMeasurement());
}

bool ConnectionStatus::isSelectedRow(const ble::Peripheral& peripheral) const
{
    const auto controller = controller_.lock();
    if (!controller)
        return false;
    const auto table = controller->tableView.lock();
    const long row = table ? table->selectedRow() : -1;
    const auto& listed = controller->peripherals;
    return row >= 0 && listed && static_cast<std::size_t>(row) < listed->size() &&
           (*listed)[static_cast<std::size_t>(row)]->isEqual(peripheral);
}

void ConnectionStatus::closeLinkToReconnect()
{
    if (!needsNewLink())
        return;
    const auto controller = controller_.lock();
    meter_->relinking();
    // The controller keeps the connection it asked for: the selection that
    // follows connects it again, and the end of this link, reported without
    // error, is to it the late answer to an earlier cancel.
    if (controller->centralManager)
        controller->centralManager->cancelPeripheralConnection(controller->connectionPeripheral);
}

bool ConnectionStatus::isConnection(const ble::Peripheral& peripheral) const
{
    const auto controller = controller_.lock();
    return controller && controller->connectionPeripheral &&
           controller->connectionPeripheral->isEqual(peripheral);
}

bool ConnectionStatus::isScanning() const
{
    const auto controller = controller_.lock();
    const auto button = controller ? controller->scanButton.lock() : nullptr;
    return button && button->state() == ui::controlState::on;
}

void ConnectionStatus::settle()
{
    const auto controller = controller_.lock();
    if (controller && (controller->connectionPeripheral || isScanning()))
        loss_.reset();
    scanLostRadio_ = isScanning() && (scanLostRadio_ || !radioUsable());
    // A diagnostic is news until the state changes; it does not come back with an earlier state.
    if (diagnostic_ && diagnostic_->shownIn != stateText(false))
        diagnostic_.reset();
    changed_();
}

void ConnectionStatus::centralManagerDidUpdateState(ble::CentralManager& central)
{
    radioState_ = central.state();
    if (const auto controller = controller_.lock())
        controller->centralManagerDidUpdateState(central);
    settle();
}

void ConnectionStatus::centralManagerDidDiscoverPeripheral(ble::CentralManager& central,
                                                           const std::shared_ptr<ble::Peripheral>& peripheral,
                                                           const ble::AdvertisementData& advertisementData,
                                                           int rssi)
{
    if (const auto controller = controller_.lock())
        controller->centralManagerDidDiscoverPeripheral(central, peripheral, advertisementData, rssi);
    // A platform that resumes the scan once the radio is back proves it here.
    scanLostRadio_ = false;
    settle();
}

void ConnectionStatus::centralManagerDidConnectPeripheral(ble::CentralManager& central,
                                                          const std::shared_ptr<ble::Peripheral>& peripheral)
{
    const auto controller = controller_.lock();
    if (controller)
        controller->centralManagerDidConnectPeripheral(central, peripheral);
    // The controller made itself the peripheral's delegate; the watch stands in between.
    if (controller && controller->connectionEstablished && isConnection(*peripheral))
        meter_->linkUp(peripheral);
    settle();
}

void ConnectionStatus::centralManagerDidFailToConnectPeripheral(
    ble::CentralManager& central, const std::shared_ptr<ble::Peripheral>& peripheral,
    const std::optional<ble::Error>& error)
{
    const bool attempted = isConnection(*peripheral);
    if (const auto controller = controller_.lock())
        controller->centralManagerDidFailToConnectPeripheral(central, peripheral, error);
    if (attempted)
        loss_ = Loss{peripheral, error ? std::optional(error->localizedDescription) : std::nullopt, true};
    settle();
}

void ConnectionStatus::centralManagerDidDisconnectPeripheral(
    ble::CentralManager& central, const std::shared_ptr<ble::Peripheral>& peripheral,
    const std::optional<ble::Error>& error)
{
    // Without an error the report answers the application's own cancel.
    const bool dropped = error && isConnection(*peripheral);
    if (const auto controller = controller_.lock())
        controller->centralManagerDidDisconnectPeripheral(central, peripheral, error);
    if (dropped)
        loss_ = Loss{peripheral, error->localizedDescription, false};
    settle();
}

} // namespace qtui
