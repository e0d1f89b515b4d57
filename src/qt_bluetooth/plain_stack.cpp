// Qt Bluetooth alone: macOS, Windows, and Linux built without BlueZ's extras.
#include "qt_bluetooth/stack_extras.h"

namespace qtble {
namespace {

class PlainStack final : public StackExtras {
public:
    void watch(std::function<void()>, std::function<void()>, std::function<void()>) override {}
    QBluetoothAddress chooseAdapter() override { return {}; }
    bool discoveryEndsWithPower() const override { return false; }
    void discoveryStarting(std::function<void(const std::string&)>) override {}
    void discoveryStarted() override {}
    void discoveryStopped() override {}
    std::unique_ptr<LinkOpener> linkOpener(const QBluetoothAddress&) override { return nullptr; }
    std::unique_ptr<RequestAdvisor> requestAdvisor(const QBluetoothAddress&) override { return nullptr; }
    std::unique_ptr<GattChannels> gattChannels(const QBluetoothAddress&, std::chrono::milliseconds) override
    {
        return nullptr;
    }
};

} // namespace

std::shared_ptr<StackExtras> makeStackExtras()
{
    return std::make_shared<PlainStack>();
}

} // namespace qtble
