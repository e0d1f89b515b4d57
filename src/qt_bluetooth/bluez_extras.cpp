// BlueZ's extras: what Qt Bluetooth leaves undone on Linux. It binds to the
// first adapter whatever its power, notices neither bluetoothd leaving the bus
// nor adapters that come and go, leaves a discovery that another client
// started running, and words every failed connection "Unknown Error".
#include "qt_bluetooth/bluez_acquired.h"
#include "qt_bluetooth/bluez_device.h"
#include "qt_bluetooth/bluez_link_watch.h"
#include "qt_bluetooth/bluez_requests.h"
#include "qt_bluetooth/bluez_watch.h"
#include "qt_bluetooth/device_facts.h"
#include "qt_bluetooth/qt_owned.h"
#include "qt_bluetooth/stack_extras.h"

#include <QTimer>

#include <chrono>
#include <optional>
#include <utility>

namespace qtble {
namespace {

class BluezExtras;

// Time BlueZ gets to export the services it reports resolved before a device
// without any is taken as offering none.
constexpr std::chrono::milliseconds bluezServicesWait{1000};

// Asks BlueZ itself for the link, so that a failure comes in BlueZ's words and
// an aborted attempt can be tried again; Qt then finds the device connected.
class BluezLinkOpener final : public LinkOpener {
public:
    BluezLinkOpener(std::weak_ptr<const BluezExtras> extras, const QBluetoothAddress& device)
        : extras_(std::move(extras)), device_(device)
    {
    }

    void open(Done done) override;
    void awaitResolved(std::function<void(bool)> ready) override;
    void awaitServices(std::function<void()> ready) override;
    void withdraw() override
    {
        ++attempt_;
        // Whatever became of Qt's controller, the link is ours to close.
        for (auto* path : {&devicePath_, &servicesPath_})
            if (*path)
                bluez::disconnectDevice(**path);
        devicePath_.reset();
        servicesPath_.reset();
        linkWatch_.reset();
        servicesWatch_.reset();
    }

private:
    void onLocated(const std::optional<QString>& path, const Done& done);
    void onAnswer(const QDBusError& error, const Done& done);
    void onLinkUp(const Done& done);

    std::weak_ptr<const BluezExtras> extras_;
    QBluetoothAddress device_;
    // Answers to a withdrawn attempt carry an older number and are ignored.
    unsigned attempt_ = 0;
    // Set while BlueZ is asked for the link: a withdrawal ends it there.
    std::optional<QString> devicePath_;
    // The device of the link Qt took over, whose services are awaited.
    std::optional<QString> servicesPath_;
    // BlueZ may route Connect to BR/EDR, fall back to LE and never answer:
    // the device's Connected is the link too. Then ServicesResolved, when
    // Qt may take the link over.
    QtOwned<bluez::LinkWatch> linkWatch_;
    // Under load BlueZ reports the services resolved before it exports them.
    QtOwned<bluez::ServicesWatch> servicesWatch_;
    // Receives the answers; declared last so that it goes first.
    QObject context_;
};

class BluezExtras final : public StackExtras, public std::enable_shared_from_this<BluezExtras> {
public:
    void watch(std::function<void()> stopped, std::function<void()> adaptersChanged,
               std::function<void()> removed) override
    {
        watch_ = std::make_unique<BluezWatch>(
            std::move(stopped), adaptersChanged,
            [this, adaptersChanged, removed = std::move(removed)](const QString& path) {
                if (adapter_ && adapter_->path == path)
                    removed();
                adaptersChanged();
            });
    }

    QBluetoothAddress chooseAdapter() override
    {
        adapter_ = chooseBluezAdapter();
        return adapter_ ? adapter_->address : QBluetoothAddress();
    }

    bool discoveryEndsWithPower() const override { return true; }

    void discoveryStarting(std::function<void(const std::string&)> refused) override
    {
        // Qt starts no session when another program discovers already, and
        // leaves a refused one unsaid.
        discoveryStopped();
        if (!adapter_)
            return;
        sessionAdapter_ = adapter_;
        filterBluezDiscovery(*adapter_);
        startBluezDiscovery(*adapter_, *sessionContext_, [refused = std::move(refused)](const QString& text) {
            refused("BlueZ refused to discover: " + toStdString(text));
        });
    }

    void discoveryStarted() override
    {
        if (sessionAdapter_)
            filterBluezDiscovery(*sessionAdapter_);
    }

    void discoveryStopped() override
    {
        // Qt stops BlueZ's discovery only when it started it.
        if (sessionAdapter_)
            stopBluezDiscovery(*sessionAdapter_);
        sessionAdapter_.reset();
        // The answer to a session ended meanwhile is old.
        sessionContext_ = std::make_unique<QObject>();
    }

    std::unique_ptr<LinkOpener> linkOpener(const QBluetoothAddress& device) override
    {
        return std::make_unique<BluezLinkOpener>(weak_from_this(), device);
    }

    std::unique_ptr<RequestAdvisor> requestAdvisor(const QBluetoothAddress& device) override
    {
        return makeBluezRequestAdvisor(device, [extras = weak_from_this()] {
            const auto self = extras.lock();
            return self ? self->adapterPath() : QString();
        });
    }

    std::unique_ptr<GattChannels> gattChannels(const QBluetoothAddress& device,
                                               std::chrono::milliseconds answerWait) override
    {
        return bluez::makeAcquiredChannels(device, adapterPath(), answerWait);
    }

    // Empty when BlueZ offers no adapter.
    QString adapterPath() const { return adapter_ ? adapter_->path : QString(); }

private:
    std::optional<BluezAdapter> adapter_;
    // Where this program's own discovery session runs.
    std::optional<BluezAdapter> sessionAdapter_;
    std::unique_ptr<BluezWatch> watch_;
    // Receives the answer to the session's start.
    std::unique_ptr<QObject> sessionContext_ = std::make_unique<QObject>();
};

void BluezLinkOpener::open(Done done)
{
    const unsigned number = ++attempt_;
    devicePath_.reset();
    linkWatch_.reset();
    const auto extras = extras_.lock();
    bluez::findDevice(device_, extras ? extras->adapterPath() : QString(), context_,
                      [this, number, done = std::move(done)](const std::optional<QString>& path) {
                          if (number == attempt_)
                              onLocated(path, done);
                      });
}

void BluezLinkOpener::onLocated(const std::optional<QString>& path, const Done& done)
{
    // BlueZ removes a device it has not heard for 30 s once discovery is off.
    if (!path) {
        done(Answer::forgotten, "BlueZ no longer knows");
        return;
    }
    devicePath_ = path;
    const unsigned number = attempt_;
    linkWatch_ = makeQtOwned<bluez::LinkWatch>(*path);
    QObject::connect(linkWatch_.get(), &bluez::LinkWatch::changed, &context_,
                     [this, number, done](const std::optional<bluez::LinkState>& state) {
                         if (number == attempt_ && state && state->connected)
                             onLinkUp(done);
                     });
    bluez::connectDevice(*path, context_, [this, number, done](const QDBusError& error) {
        if (number == attempt_)
            onAnswer(error, done);
    });
}

void BluezLinkOpener::onLinkUp(const Done& done)
{
    // Whichever of the answer and the link's state comes second is old.
    ++attempt_;
    servicesPath_ = std::exchange(devicePath_, std::nullopt);
    done(Answer::up, {});
}

void BluezLinkOpener::awaitResolved(std::function<void(bool)> ready)
{
    if (!servicesPath_)
        return ready(false);
    const unsigned number = attempt_;
    linkWatch_ = makeQtOwned<bluez::LinkWatch>(*servicesPath_);
    QObject::connect(linkWatch_.get(), &bluez::LinkWatch::changed, &context_,
                     [this, number, ready = std::move(ready)](const std::optional<bluez::LinkState>& state) {
                         if (number != attempt_ || (state && state->connected && !state->servicesResolved))
                             return;
                         ++attempt_;
                         linkWatch_.reset();
                         ready(state && state->connected);
                     });
}

void BluezLinkOpener::awaitServices(std::function<void()> ready)
{
    if (!servicesPath_)
        return ready();
    auto shown = [this, number = attempt_, ready = std::move(ready)] {
        if (number != attempt_)
            return;
        ++attempt_;
        servicesWatch_.reset();
        ready();
    };
    servicesWatch_ = makeQtOwned<bluez::ServicesWatch>(*servicesPath_);
    QObject::connect(servicesWatch_.get(), &bluez::ServicesWatch::exported, &context_, shown);
    QTimer::singleShot(bluezServicesWait, &context_, std::move(shown));
}

void BluezLinkOpener::onAnswer(const QDBusError& error, const Done& done)
{
    if (!error.isValid()) {
        onLinkUp(done);
        return;
    }
    const bool transient = bluez::isTransient(error) || bluez::isForgotten(error);
    done(transient ? Answer::transient : Answer::failed, toStdString(bluez::withAdvice(error, device_)));
}

} // namespace

std::shared_ptr<StackExtras> makeStackExtras()
{
    return std::make_shared<BluezExtras>();
}

} // namespace qtble
