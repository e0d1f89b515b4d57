// Drives a controller on the fake platform through whatever a byte stream
// decides: the user's scan switch and row selections, and everything a radio
// can report, in any order a real stack could deliver it, including late
// answers after a connection is gone. After each step it checks what must
// always hold, whatever the radio sent.
#pragma once

#include "byte_reader.h"
#include "fake_platform.h"

#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <span>
#include <string>
#include <vector>

namespace reliability {

// Runs the actions the bytes decide. Empty when every check held after every
// step; otherwise the first violation, naming the step.
std::string runActions(std::span<const std::uint8_t> bytes);

class ActionDriver {
public:
    ActionDriver();

    // Runs one action chosen by the reader, then the checks.
    std::string step(ByteReader& reader);

    fake::Platform& platform() { return platform_; }

private:
    enum class Action {
        scanOn,
        scanOff,
        report,
        renameDevice,
        replaceDeviceObject,
        select,
        oddSelectionNotification,
        askForCells,
        completeConnection,
        failConnection,
        dropConnection,
        lateConnection,
        deliverEvent,
        deliverEventTwice,
        unsolicitedValue,
        timerTick,
        radioState,
        closeOutlet,
        viewLifecycle,
        count
    };

    // What the radio owes the controller: answers to its requests and the
    // disconnection that follows each cancel.
    struct Event {
        enum class Kind { services, characteristics, notificationState, read, disconnected };
        Kind kind;
        std::shared_ptr<fake::Peripheral> peripheral;
        std::shared_ptr<ble::Service> service;
        std::shared_ptr<ble::Characteristic> characteristic;
        std::uint64_t linkGeneration = 0;
    };

    // The radio's view of one device's link.
    struct Link {
        enum class State { none, pending, connected };
        State state = State::none;
        std::shared_ptr<fake::Peripheral> peripheral;
        // Counts the links made to the device, so that a late disconnection
        // of an earlier link leaves a newer one alone.
        std::uint64_t generation = 0;
    };

    struct Device {
        std::string identifier;
        std::shared_ptr<fake::Peripheral> current;
    };

    // The state the checks compare the next step with.
    struct Snapshot {
        std::vector<std::shared_ptr<ble::Peripheral>> listed;
        std::vector<int> rssis;
        std::size_t logLines = 0;
        std::size_t centralCalls = 0;
        std::map<const fake::Peripheral*, std::size_t> requestCounts;
    };

    // What the last report was, for the listing checks.
    struct ReportFacts {
        std::shared_ptr<ble::Peripheral> peripheral;
        bool named = false;
        int rssi = 0;
    };

    static const char* nameOf(Action action);
    void run(Action action, ByteReader& reader);
    void toggleScan(bool on);
    void report(ByteReader& reader);
    void select(ByteReader& reader);
    void deliver(const Event& event, ByteReader& reader);
    void answerServiceDiscovery(const Event& event, ByteReader& reader);
    void answerCharacteristicDiscovery(const Event& event, ByteReader& reader);
    void answerValue(const std::shared_ptr<fake::Peripheral>& peripheral,
                     const std::shared_ptr<ble::Characteristic>& characteristic, ByteReader& reader);
    void connectionEnds(ByteReader& reader, Link::State from, bool asDisconnection);
    void lateConnection(ByteReader& reader);
    void unsolicitedValue(ByteReader& reader);

    std::shared_ptr<fake::Service> makeService(ByteReader& reader);
    std::shared_ptr<fake::Characteristic> makeCharacteristic(ByteReader& reader, const std::string& owner);
    Device& pickDevice(ByteReader& reader);
    std::shared_ptr<fake::Peripheral> newObject(const std::string& identifier, ByteReader& reader);
    std::shared_ptr<ble::CentralManagerDelegate> centralDelegate() const;

    // Turns the controller's new requests into owed answers and link changes;
    // returns a violation for a request that must not have gone out.
    std::string absorbRequests();
    std::string checkInvariants(Action action);
    Snapshot snapshot() const;

    fake::Platform platform_;
    std::vector<Device> devices_;
    std::vector<std::shared_ptr<fake::Peripheral>> everyObject_;
    std::map<std::string, Link> links_;
    std::deque<Event> owed_;
    // Which device each characteristic the radio made belongs to.
    std::map<std::shared_ptr<ble::Characteristic>, std::string> characteristicOwner_;
    ReportFacts lastReport_;
    Snapshot before_;
    std::size_t steps_ = 0;
};

} // namespace reliability
