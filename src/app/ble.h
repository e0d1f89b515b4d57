// The Bluetooth LE central stack as the controller uses it: a central manager,
// peripherals, services, characteristics, UUIDs and the two delegates.
// Platform backends (Qt Bluetooth, the simulated radio, test fakes) implement
// these roles; every callback arrives on the one thread that runs the controller.
#pragma once

#include <array>
#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace ble {

using Bytes = std::vector<std::uint8_t>;

// A 128-bit Bluetooth UUID. 16- and 32-bit UUIDs are stored expanded over the
// Bluetooth base UUID and keep their short string form.
class Uuid {
public:
    // "FF02", "0000FF02", or the full 36-character form; nothing for other text.
    static std::optional<Uuid> fromString(std::string_view text);
    static Uuid fromShort(std::uint32_t value);
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : bytes_(bytes) {}

    // Four upper-case hex digits for a 16-bit UUID, eight for a 32-bit one,
    // otherwise the upper-case 8-4-4-4-12 form.
    std::string uuidString() const;
    std::string description() const { return uuidString(); }
    const std::array<std::uint8_t, 16>& bytes() const { return bytes_; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> bytes_{};
};

// An error handed to a callback; its text is the platform's wording.
struct Error {
    std::string localizedDescription;
};

// GATT characteristic property bits.
namespace property {
inline constexpr std::uint32_t read = 0x02;
inline constexpr std::uint32_t writeWithoutResponse = 0x04;
inline constexpr std::uint32_t write = 0x08;
inline constexpr std::uint32_t notify = 0x10;
inline constexpr std::uint32_t indicate = 0x20;
} // namespace property

enum class WriteType : int { withResponse = 0, withoutResponse = 1 };

// Radio states as the central manager reports them.
namespace managerState {
inline constexpr int unknown = 0;
inline constexpr int resetting = 1;
inline constexpr int unsupported = 2;
inline constexpr int unauthorized = 3;
inline constexpr int poweredOff = 4;
inline constexpr int poweredOn = 5;
} // namespace managerState

class Characteristic {
public:
    virtual ~Characteristic() = default;
    virtual Uuid uuid() const = 0;
    virtual std::uint32_t properties() const = 0;
    virtual bool isNotifying() const = 0;
    virtual std::optional<Bytes> value() const = 0;
    // One line describing the characteristic.
    virtual std::string description() const = 0;
};

class Service {
public:
    virtual ~Service() = default;
    virtual Uuid uuid() const = 0;
    // Absent until the service's characteristics were discovered.
    virtual std::optional<std::vector<std::shared_ptr<Characteristic>>> characteristics() const = 0;
    virtual std::string description() const = 0;
};

class Peripheral;

class PeripheralDelegate {
public:
    virtual ~PeripheralDelegate() = default;
    virtual void peripheralDidDiscoverServices(const std::shared_ptr<Peripheral>& peripheral,
                                               const std::optional<Error>& error) = 0;
    virtual void peripheralDidDiscoverCharacteristicsForService(const std::shared_ptr<Peripheral>& peripheral,
                                                                const std::shared_ptr<Service>& service,
                                                                const std::optional<Error>& error) = 0;
    virtual void
    peripheralDidUpdateValueForCharacteristic(const std::shared_ptr<Peripheral>& peripheral,
                                              const std::shared_ptr<Characteristic>& characteristic,
                                              const std::optional<Error>& error) = 0;
    virtual void peripheralDidUpdateNotificationStateForCharacteristic(
        const std::shared_ptr<Peripheral>& peripheral, const std::shared_ptr<Characteristic>& characteristic,
        const std::optional<Error>& error) = 0;
};

class Peripheral {
public:
    virtual ~Peripheral() = default;

    // Stable identity of the device: equal identifiers are the same device.
    virtual const std::string& identifier() const = 0;
    bool isEqual(const Peripheral& other) const { return identifier() == other.identifier(); }

    virtual std::optional<std::string> name() const = 0;
    // One line naming the peripheral and its identity.
    virtual std::string description() const = 0;

    virtual void setDelegate(std::weak_ptr<PeripheralDelegate> delegate) = 0;
    virtual void discoverServices() = 0;
    // Absent until services were discovered.
    virtual std::optional<std::vector<std::shared_ptr<Service>>> services() const = 0;
    virtual void discoverCharacteristics(const std::shared_ptr<Service>& service) = 0;
    virtual void setNotifyValue(bool enabled, const std::shared_ptr<Characteristic>& characteristic) = 0;
    virtual void readValue(const std::shared_ptr<Characteristic>& characteristic) = 0;
    virtual void writeValue(const Bytes& value, const std::shared_ptr<Characteristic>& characteristic,
                            WriteType type) = 0;
};

// Advertisement data: each key with its value already rendered as text.
using AdvertisementData = std::map<std::string, std::string>;

struct ScanOptions {
    bool allowDuplicates = false;
};

class CentralManager;

class CentralManagerDelegate {
public:
    virtual ~CentralManagerDelegate() = default;
    virtual void centralManagerDidUpdateState(CentralManager& central) = 0;
    virtual void centralManagerDidDiscoverPeripheral(CentralManager& central,
                                                     const std::shared_ptr<Peripheral>& peripheral,
                                                     const AdvertisementData& advertisementData,
                                                     int rssi) = 0;
    virtual void centralManagerDidConnectPeripheral(CentralManager& central,
                                                    const std::shared_ptr<Peripheral>& peripheral) = 0;
    virtual void centralManagerDidFailToConnectPeripheral(CentralManager& central,
                                                          const std::shared_ptr<Peripheral>& peripheral,
                                                          const std::optional<Error>& error) = 0;
    // The error is absent exactly when the disconnection answers the
    // application's own cancelPeripheralConnection; a drop always carries one.
    virtual void centralManagerDidDisconnectPeripheral(CentralManager& central,
                                                       const std::shared_ptr<Peripheral>& peripheral,
                                                       const std::optional<Error>& error) = 0;
};

class CentralManager {
public:
    virtual ~CentralManager() = default;
    // One of managerState; reported again through centralManagerDidUpdateState.
    virtual int state() const = 0;
    // Scans for every advertising peripheral (no service filter).
    virtual void scanForPeripherals(const ScanOptions& options) = 0;
    virtual void stopScan() = 0;
    virtual void connectPeripheral(const std::shared_ptr<Peripheral>& peripheral) = 0;
    virtual void cancelPeripheralConnection(const std::shared_ptr<Peripheral>& peripheral) = 0;
};

// Makes the central manager with its delegate; the state callback follows later.
using CentralManagerFactory =
    std::function<std::shared_ptr<CentralManager>(std::weak_ptr<CentralManagerDelegate> delegate)>;

} // namespace ble
