#include "qt_bluetooth/bluez_requests.h"

#include "qt_bluetooth/bluez_device.h"
#include "qt_bluetooth/device_facts.h"

#include <QObject>

#include <utility>

namespace qtble {
namespace {

// Hears BlueZ's reason by asking once more for what Qt was refused: BlueZ
// answers an ATT Insufficient Authentication or Encryption that pairing did
// not overcome with "Not paired", the bus's policy with AccessDenied.
class BluezRequestAdvisor final : public RequestAdvisor {
public:
    BluezRequestAdvisor(const QBluetoothAddress& device, std::function<QString()> adapterPath)
        : device_(device), adapterPath_(std::move(adapterPath))
    {
    }

    void explainRefusal(Request request, const QBluetoothUuid& service, const QBluetoothUuid& characteristic,
                        Advise advise) override
    {
        bluez::findCharacteristic(
            device_, adapterPath_(), service, characteristic, context_,
            [this, request,
             advise = std::move(advise)](const std::optional<bluez::CharacteristicPaths>& found) {
                if (found)
                    bluez::repeatRequest(found->characteristic, request == Request::subscription, context_,
                                         [this, device = found->device, advise](const QDBusError& error) {
                                             if (error.isValid())
                                                 adviseOn(error, device, advise);
                                         });
            });
    }

    // BlueZ holds a request back while it raises the link's security, which
    // may wait for the user to confirm the pairing.
    std::string waitAdvice() const override { return toStdString(bluez::pairingWaitAdvice(device_)); }

private:
    // Whether BlueZ has the device paired decides between pairing it and pairing it anew.
    void adviseOn(const QDBusError& error, const QString& device, const Advise& advise)
    {
        bluez::linkState(device, context_,
                         [this, error, advise](const std::optional<bluez::LinkState>& state) {
                             const QString advice = bluez::gattAdvice(error, device_, state && state->paired);
                             if (!advice.isEmpty())
                                 advise(toStdString(advice));
                         });
    }

    QBluetoothAddress device_;
    std::function<QString()> adapterPath_;
    // Receives the answers; declared last so that it goes first.
    QObject context_;
};

} // namespace

std::unique_ptr<RequestAdvisor> makeBluezRequestAdvisor(const QBluetoothAddress& device,
                                                        std::function<QString()> adapterPath)
{
    return std::make_unique<BluezRequestAdvisor>(device, std::move(adapterPath));
}

} // namespace qtble
