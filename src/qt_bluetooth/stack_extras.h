// What one platform's Bluetooth stack needs beyond what Qt Bluetooth does on
// every platform. BlueZ needs some (bluez_extras.h); elsewhere, and on Linux
// built without them, Qt Bluetooth alone does the work and none of these
// calls does anything.
#pragma once

#include <QBluetoothAddress>
#include <QBluetoothUuid>
#include <QByteArray>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace qtble {

// Brings a device's link up before Qt's controller takes it over, so that a
// failure comes in the stack's own words and an aborted attempt can be tried
// again.
class LinkOpener {
public:
    enum class Answer {
        up,
        // The stack no longer knows the device: it must be heard again first.
        forgotten,
        // Another attempt may succeed.
        transient,
        failed,
    };
    // text: the stack's words for a failure; for forgotten, who forgot.
    using Done = std::function<void(Answer answer, const std::string& text)>;

    virtual ~LinkOpener() = default;
    // One attempt; done comes once, through the event loop, unless the
    // attempt is withdrawn first.
    virtual void open(Done done) = 0;
    // The link is up: ready(true) comes once the stack has read the device's
    // services, ready(false) if the link drops first; Qt takes it over then.
    virtual void awaitResolved(std::function<void(bool resolved)> ready) = 0;
    // Qt reported the link up: ready comes, through the event loop, once the
    // stack shows the device's services, or once it has had time enough to.
    virtual void awaitServices(std::function<void()> ready) = 0;
    // Ends the attempt under way. A link it opened is Qt's to close.
    virtual void withdraw() = 0;
};

// What the stack can say about the GATT requests Qt makes to a device: Qt
// passes on neither the stack's words for a refusal nor why an answer waits.
class RequestAdvisor {
public:
    enum class Request { read, subscription };
    // What the user can do, in the stack's words.
    using Advise = std::function<void(const std::string& advice)>;

    virtual ~RequestAdvisor() = default;
    // Qt reported this request to the service's characteristic refused:
    // advise comes, through the event loop, when the stack's reason leaves
    // the user something to do.
    virtual void explainRefusal(Request request, const QBluetoothUuid& service,
                                const QBluetoothUuid& characteristic, Advise advise) = 0;
    // What the user may do about a request that waits long for its answer;
    // empty when the stack knows nothing.
    virtual std::string waitAdvice() const = 0;
};

// Channels of the stack's own for a characteristic's writes without response
// and its notifications, cheaper per poll than Qt's calls, where the stack
// grants them; Qt's way stays for whatever it refuses. Answers come through
// the event loop, and none after release.
class GattChannels {
public:
    // unanswered: the stack took the request and gave no answer in time.
    // BlueZ 5.66 leaves AcquireNotify so when the device refuses the
    // subscription, and then refuses the characteristic's StartNotify too
    // ("Notify acquired") while the link lasts: Qt's way is closed as well.
    enum class Grant { granted, refused, unanswered };
    using Granted = std::function<void(Grant)>;

    virtual ~GattChannels() = default;
    virtual void acquireWrite(const QBluetoothUuid& service, const QBluetoothUuid& characteristic,
                              Granted done) = 0;
    // False when the channel is not held or did not take the value: it must
    // go Qt's way, and the channel is given up.
    virtual bool write(const QBluetoothUuid& characteristic, const QByteArray& value) = 0;
    // received gets each notification; closed comes when the stack closed the
    // channel while the link stays up, so that notifications must go Qt's way.
    // A channel closed by the link's loss says nothing: the link reports it.
    virtual void acquireNotify(const QBluetoothUuid& service, const QBluetoothUuid& characteristic,
                               std::function<void(const QByteArray&)> received, std::function<void()> closed,
                               Granted done) = 0;
    // Gives the characteristic's channels back.
    virtual void release(const QBluetoothUuid& characteristic) = 0;
    // Gives every channel back, and forgets the answers still to come.
    virtual void releaseAll() = 0;
};

class StackExtras {
public:
    virtual ~StackExtras() = default;

    // stopped: the stack went away, and its links ended without a word from
    // Qt. adaptersChanged: it came back, or its adapters changed. removed:
    // the adapter chosen last went away (unplugged), with its links;
    // adaptersChanged follows.
    virtual void watch(std::function<void()> stopped, std::function<void()> adaptersChanged,
                       std::function<void()> removed) = 0;
    // The adapter the radio binds to; null for Qt's default one.
    virtual QBluetoothAddress chooseAdapter() = 0;
    // Powering the adapter off ends its discovery while Qt's agent stays
    // active: discovery must be started again once it is powered on.
    virtual bool discoveryEndsWithPower() const = 0;
    // Qt's discovery is about to start on a powered adapter: the stack's own
    // session starts too, and refused gets the stack's words should it refuse.
    virtual void discoveryStarting(std::function<void(const std::string&)> refused) = 0;
    // Qt's discovery started, and replaced what the session asked for.
    virtual void discoveryStarted() = 0;
    // Discovery is no longer wanted.
    virtual void discoveryStopped() = 0;
    // Null when Qt's controller connects to the device by itself.
    virtual std::unique_ptr<LinkOpener> linkOpener(const QBluetoothAddress& device) = 0;
    // Null when the stack says no more than Qt passes on.
    virtual std::unique_ptr<RequestAdvisor> requestAdvisor(const QBluetoothAddress& device) = 0;
    // Null when Qt's calls are the only way to the device's characteristics.
    // A channel not granted within answerWait goes Qt's way.
    virtual std::unique_ptr<GattChannels> gattChannels(const QBluetoothAddress& device,
                                                       std::chrono::milliseconds answerWait) = 0;
};

// The extras of the stack this program was built for.
std::shared_ptr<StackExtras> makeStackExtras();

} // namespace qtble
