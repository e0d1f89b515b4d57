// The life of one peripheral's link over Qt Bluetooth: connecting within the
// budgets, attempts the stack aborted, closing, and the controllers of links
// given up, which close on their own. Qt's controller connects by itself, or
// takes over the link the stack's own opener brought up (stack_extras.h).
#pragma once

#include "app/ble.h"
#include "app/log_sink.h"
#include "qt_bluetooth/qt_owned.h"
#include "qt_bluetooth/stack_extras.h"

#include <QBluetoothDeviceInfo>
#include <QLowEnergyController>
#include <QObject>
#include <QTimer>

#include <chrono>
#include <memory>
#include <optional>
#include <string>

namespace qtble {

// How long a connection may take. A real adapter aborts first attempts,
// forgets devices it no longer hears, and resolves the services of a meter
// it has not cached slowly.
struct LinkBudgets {
    // From the request to the link: the wait for a closing link to go down,
    // for a device the stack forgot to be heard again, and every attempt.
    std::chrono::milliseconds connection{std::chrono::seconds(30)};
    // From the link to its resolved services. Where Qt brings the link up by
    // itself, one budget of both covers the link and its resolution.
    std::chrono::milliseconds resolution{std::chrono::seconds(30)};
    // Attempts, when the stack aborts one or the link drops while its
    // services are read.
    int attempts = 3;
    // At quit, the wait for the stack to confirm that the links are closed.
    std::chrono::milliseconds closingAtQuit{1000};
    // From a GATT request to telling the user that its answer is long in
    // coming, while later requests wait for it; from asking the stack for a
    // channel of its own to taking Qt's way instead.
    std::chrono::milliseconds answer{std::chrono::seconds(3)};
};

// What the link tells the peripheral it carries.
class LinkOwner {
public:
    virtual std::string description() const = 0;
    // A new connection starts: what the last one discovered is gone.
    virtual void linkStarting() = 0;
    // The controller of this attempt; the GATT side listens to it too.
    virtual void controllerMade(QLowEnergyController& controller) = 0;
    virtual void linkConnected() = 0;
    virtual void connectionFailed(const ble::Error& error) = 0;
    // Also answers a cancel: without an error.
    virtual void linkClosed(const std::optional<ble::Error>& error) = 0;
    // The controller reported an error on an open link.
    virtual void linkFaulted(const std::string& text) = 0;
    // The stack forgot the device: discovery must hear it again.
    virtual void listen(bool wanted) = 0;

protected:
    ~LinkOwner() = default;
};

class QtLink {
public:
    enum class State { idle, connecting, connected, closing };

    QtLink(LinkOwner& owner, std::shared_ptr<app::LogSink> log, std::unique_ptr<LinkOpener> opener,
           LinkBudgets budgets);
    ~QtLink();
    QtLink(const QtLink&) = delete;
    QtLink& operator=(const QtLink&) = delete;

    State state() const { return state_; }
    // The controller of the attempt or link; null when there is none.
    QLowEnergyController* controller() const { return controller_.get(); }

    // Exactly one answer follows: connected or failed, or closed when cancelled first.
    void connect(const QBluetoothDeviceInfo& device, const QBluetoothAddress& adapter);
    void cancel();
    // Closes an open link that is of no more use, reported closed for this reason.
    void close(const ble::Error& reason);
    // A device the stack had forgotten advertises again.
    void onHeardAgain();
    // The link ended for this reason (the stack stopped, the adapter went
    // off), with or without a word from Qt: an open link is reported closed,
    // an attempt (or a connection waiting for the old link to close) failed.
    void lost(const ble::Error& reason);

private:
    void startConnecting();
    void attempt();
    void onOpenerAnswer(LinkOpener::Answer answer, const std::string& text);
    // Another attempt when the budget allows one, otherwise the failure.
    void retryOrFail(const std::string& text);
    // Hands the device to Qt, which reports it connected once the services are resolved.
    void handOver();
    void startBudget(std::chrono::milliseconds budget);
    void onBudgetExpired();
    // Ends the attempt under way, whatever stage it reached.
    void withdraw();
    // Lets the controller close on its own and forgets it.
    void retireController();
    void onRetiredLinkClosed();
    void onConnected();
    // The stack shows the services Qt will discover.
    void onServicesShown();
    void onControllerError();
    void onDisconnected();
    // The link is down; its report waits for the stack to say why.
    void awaitLossReason();
    void reportClosed();
    void fail(const std::string& text);
    void reportFailure(const std::string& text);
    void log(const std::string& line) const;

    LinkOwner& owner_;
    std::shared_ptr<app::LogSink> log_;
    std::unique_ptr<LinkOpener> opener_;
    LinkBudgets budgets_;
    QBluetoothDeviceInfo device_;
    QBluetoothAddress adapter_;
    QtOwned<QLowEnergyController> controller_;
    State state_ = State::idle;
    bool cancelRequested_ = false;
    // A link given up while connecting closes as slowly as any other.
    bool retiredLinkClosing_ = false;
    bool reconnectAfterClose_ = false;
    int attemptsMade_ = 0;
    // The stack's opener brought this attempt's link up: its services are awaited.
    bool linkUp_ = false;
    std::optional<std::string> lastControllerError_;
    // Qt called the open link's device or adapter missing: the stack may still say why.
    bool lossExplainable_ = false;
    // The connection budget, then the resolution budget.
    QTimer budgetTimer_;
    QTimer retryTimer_;
    // Runs while a link that Qt reported closed waits for the stack's reason.
    QTimer lossTimer_;
    // Receives the signals; declared last so that it goes first and no
    // signal reaches a half-destroyed link.
    QObject context_;
};

} // namespace qtble
