#include "qt_bluetooth/qt_link.h"

#include "app/log_forms.h"
#include "qt_bluetooth/device_facts.h"

#include <utility>

namespace qtble {
namespace {

const ble::Error connectionTimedOut{"The connection attempt timed out."};
const ble::Error servicesNotResolved{"The device's services were not resolved in time."};
const ble::Error linkDroppedWhileResolving{"The link dropped while the device's services were read"};
const ble::Error linkStillClosing{"The previous connection to the device did not close in time."};
// Out of range, switched off, suspended: Qt and BlueZ word every loss alike.
const ble::Error connectionLost{"The connection was lost; the meter may be out of range or switched off."};
// The stack says why a link went down only after Qt reported it: the
// adapter's power goes off after its links, bluetoothd leaves after that.
constexpr std::chrono::milliseconds lossExplanationWait{500};

} // namespace

QtLink::QtLink(LinkOwner& owner, std::shared_ptr<app::LogSink> log, std::unique_ptr<LinkOpener> opener,
               LinkBudgets budgets)
    : owner_(owner), log_(std::move(log)), opener_(std::move(opener)), budgets_(budgets)
{
    budgetTimer_.setSingleShot(true);
    QObject::connect(&budgetTimer_, &QTimer::timeout, &context_, [this] { onBudgetExpired(); });
    // A short pause lets the adapter settle after an aborted attempt.
    retryTimer_.setSingleShot(true);
    retryTimer_.setInterval(budgets_.connection / 10);
    QObject::connect(&retryTimer_, &QTimer::timeout, &context_, [this] { attempt(); });
    lossTimer_.setSingleShot(true);
    lossTimer_.setInterval(lossExplanationWait);
    QObject::connect(&lossTimer_, &QTimer::timeout, &context_, [this] { reportClosed(); });
}

QtLink::~QtLink()
{
    retireController();
}

void QtLink::connect(const QBluetoothDeviceInfo& device, const QBluetoothAddress& adapter)
{
    switch (state_) {
    case State::connected:
        owner_.linkConnected();
        return;
    case State::connecting:
        return;
    case State::closing:
    case State::idle:
        device_ = device;
        adapter_ = adapter;
        // Qt reports a link only once its services are resolved: without an
        // opener of the stack's own, one budget covers both.
        startBudget(opener_ ? budgets_.connection : budgets_.connection + budgets_.resolution);
        // BlueZ keeps a closing link up for 2 s: a new connection would get
        // it, have its subscriptions refused and be dropped with it.
        if (state_ == State::closing || retiredLinkClosing_)
            reconnectAfterClose_ = true;
        else
            startConnecting();
    }
}

void QtLink::startConnecting()
{
    state_ = State::connecting;
    cancelRequested_ = false;
    lastControllerError_.reset();
    lossExplainable_ = false;
    attemptsMade_ = 0;
    owner_.linkStarting();
    attempt();
}

void QtLink::attempt()
{
    linkUp_ = false;
    if (!opener_) {
        handOver();
        return;
    }
    opener_->open(
        [this](LinkOpener::Answer answer, const std::string& text) { onOpenerAnswer(answer, text); });
}

void QtLink::onOpenerAnswer(LinkOpener::Answer answer, const std::string& text)
{
    switch (answer) {
    case LinkOpener::Answer::up:
        linkUp_ = true;
        startBudget(budgets_.resolution);
        // Qt's controller, given a link whose services are not yet resolved,
        // asks for the link again; BlueZ refuses that of a dual-mode device.
        opener_->awaitResolved([this](bool resolved) {
            if (resolved)
                handOver();
            else
                retryOrFail(linkDroppedWhileResolving.localizedDescription);
        });
        return;
    case LinkOpener::Answer::forgotten:
        log("Bluetooth: " + text + " " + owner_.description() + "; listening for it");
        owner_.listen(true);
        return;
    case LinkOpener::Answer::transient:
        retryOrFail(text);
        return;
    case LinkOpener::Answer::failed:
        ++attemptsMade_;
        fail(attemptsMade_ > 1 ? text + " (" + std::to_string(attemptsMade_) + " attempts)" : text);
    }
}

void QtLink::retryOrFail(const std::string& text)
{
    if (++attemptsMade_ < budgets_.attempts) {
        log("Bluetooth: attempt " + std::to_string(attemptsMade_) + " to connect to " + owner_.description() +
            " failed: " + text + "; trying again");
        retryTimer_.start();
        return;
    }
    fail(attemptsMade_ > 1 ? text + " (" + std::to_string(attemptsMade_) + " attempts)" : text);
}

void QtLink::onHeardAgain()
{
    if (state_ == State::connecting && !controller_)
        attempt();
}

void QtLink::handOver()
{
    controller_.reset(QLowEnergyController::createCentral(device_, adapter_));
    auto* controller = controller_.get();
    QObject::connect(controller, &QLowEnergyController::connected, &context_, [this] { onConnected(); });
    QObject::connect(controller, &QLowEnergyController::disconnected, &context_,
                     [this] { onDisconnected(); });
    QObject::connect(controller, &QLowEnergyController::errorOccurred, &context_,
                     [this] { onControllerError(); });
    owner_.controllerMade(*controller);
    // Finding the device connected, Qt reports the connection as soon as the
    // services are resolved, at once when they are.
    controller->connectToDevice();
}

void QtLink::startBudget(std::chrono::milliseconds budget)
{
    budgetTimer_.setInterval(budget);
    budgetTimer_.start();
}

void QtLink::onBudgetExpired()
{
    const std::string within = " No answer within " + secondsText(budgetTimer_.intervalAsDuration()) + ".";
    if (std::exchange(reconnectAfterClose_, false))
        reportFailure(linkStillClosing.localizedDescription + within);
    else if (state_ == State::connecting && linkUp_)
        fail(servicesNotResolved.localizedDescription + within);
    else if (state_ == State::connecting)
        fail(connectionTimedOut.localizedDescription + within);
}

void QtLink::withdraw()
{
    budgetTimer_.stop();
    retryTimer_.stop();
    owner_.listen(false);
    if (controller_)
        retireController();
    if (opener_)
        opener_->withdraw();
}

void QtLink::retireController()
{
    if (!controller_)
        return;
    QObject::disconnect(controller_.get(), nullptr, &context_, nullptr);
    if (controller_->state() == QLowEnergyController::UnconnectedState) {
        controller_.reset();
        return;
    }
    // Deleting a controller that is still connecting or connected leaves the
    // link up; it deletes itself once closed.
    QLowEnergyController* closing = controller_.release();
    retiredLinkClosing_ = true;
    QObject::connect(closing, &QObject::destroyed, &context_, [this] { onRetiredLinkClosed(); });
    QObject::connect(closing, &QLowEnergyController::stateChanged, closing,
                     [closing](QLowEnergyController::ControllerState state) {
                         if (state == QLowEnergyController::UnconnectedState)
                             closing->deleteLater();
                     });
    if (closing->state() != QLowEnergyController::ClosingState)
        closing->disconnectFromDevice();
}

void QtLink::onRetiredLinkClosed()
{
    retiredLinkClosing_ = false;
    if (state_ == State::idle && std::exchange(reconnectAfterClose_, false))
        startConnecting();
}

void QtLink::cancel()
{
    switch (state_) {
    case State::idle:
        // A connection that waits for a given-up link to close is withdrawn
        // like one under way.
        if (std::exchange(reconnectAfterClose_, false)) {
            budgetTimer_.stop();
            owner_.linkClosed(std::nullopt);
        }
        return;
    case State::closing:
        // The old link's report of its end answers this cancel too.
        reconnectAfterClose_ = false;
        budgetTimer_.stop();
        cancelRequested_ = true;
        if (lossTimer_.isActive())
            reportClosed();
        return;
    case State::connecting:
        withdraw();
        state_ = State::idle;
        owner_.linkClosed(std::nullopt);
        return;
    case State::connected:
        state_ = State::closing;
        cancelRequested_ = true;
        controller_->disconnectFromDevice();
        return;
    }
}

void QtLink::close(const ble::Error& reason)
{
    if (state_ != State::connected)
        return;
    lastControllerError_ = reason.localizedDescription;
    state_ = State::closing;
    controller_->disconnectFromDevice();
}

void QtLink::onConnected()
{
    if (state_ != State::connecting)
        return;
    // The budget for the services goes on meanwhile.
    if (opener_)
        opener_->awaitServices([this] { onServicesShown(); });
    else
        onServicesShown();
}

void QtLink::onServicesShown()
{
    if (state_ != State::connecting)
        return;
    budgetTimer_.stop();
    state_ = State::connected;
    owner_.linkConnected();
}

void QtLink::fail(const std::string& text)
{
    withdraw();
    state_ = State::idle;
    reportFailure(text);
}

void QtLink::reportFailure(const std::string& text)
{
    log("Bluetooth: connection to " + owner_.description() + " failed: " + text);
    owner_.connectionFailed(ble::Error{text});
}

void QtLink::onControllerError()
{
    const std::string text = toStdString(controller_->errorString());
    if (state_ == State::connecting && opener_ &&
        controller_->error() == QLowEnergyController::ConnectionError) {
        // The stack's link dropped while its services were read: a new
        // attempt gets the connection budget again.
        retireController();
        startBudget(budgets_.connection);
        retryOrFail(linkDroppedWhileResolving.localizedDescription);
        return;
    }
    if (state_ == State::connecting) {
        fail(text);
        return;
    }
    log("Bluetooth: " + owner_.description() + " reported: " + text);
    lastControllerError_ = text;
    // BlueZ removes an unplugged adapter's devices before the adapter itself.
    lossExplainable_ = controller_->error() == QLowEnergyController::UnknownRemoteDeviceError ||
                       controller_->error() == QLowEnergyController::InvalidBluetoothAdapterError;
    owner_.linkFaulted(text);
}

void QtLink::onDisconnected()
{
    if (!cancelRequested_ && (!lastControllerError_ || lossExplainable_))
        awaitLossReason();
    else
        reportClosed();
}

void QtLink::awaitLossReason()
{
    state_ = State::closing;
    retireController();
    lossTimer_.start();
}

void QtLink::reportClosed()
{
    lossTimer_.stop();
    std::optional<ble::Error> error;
    if (!cancelRequested_)
        error = ble::Error{lastControllerError_.value_or(connectionLost.localizedDescription)};
    state_ = State::idle;
    retireController();
    owner_.linkClosed(error);
    if (std::exchange(reconnectAfterClose_, false))
        startConnecting();
}

void QtLink::lost(const ble::Error& reason)
{
    // A connection that waits for the old link to go down fails like an attempt under way.
    const bool waiting = std::exchange(reconnectAfterClose_, false);
    switch (state_) {
    case State::idle:
        break;
    case State::connecting:
        fail(reason.localizedDescription);
        return;
    case State::connected:
    case State::closing:
        // A later word is the closer one: bluetoothd powers the adapter off as it stops.
        lastControllerError_ = reason.localizedDescription;
        if (!lossTimer_.isActive() && !cancelRequested_)
            awaitLossReason();
        else if (!lossTimer_.isActive())
            reportClosed();
    }
    if (waiting) {
        budgetTimer_.stop();
        reportFailure(reason.localizedDescription);
    }
}

void QtLink::log(const std::string& line) const
{
    log_->writeLine(logform::printable(line));
}

} // namespace qtble
