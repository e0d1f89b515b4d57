#include "qt_ui/bluetooth_permission.h"

#include <QCoreApplication>
#include <QTimer>

#if QT_VERSION >= QT_VERSION_CHECK(6, 5, 0)
#include <QEventLoop>
#include <QPermissions>
#endif

#include <functional>

namespace qtui {
namespace {

class UnauthorizedCentralManager : public ble::CentralManager,
                                   public std::enable_shared_from_this<UnauthorizedCentralManager> {
public:
    explicit UnauthorizedCentralManager(std::weak_ptr<ble::CentralManagerDelegate> delegate)
        : delegate_(std::move(delegate))
    {
    }

    int state() const override { return ble::managerState::unauthorized; }
    void scanForPeripherals(const ble::ScanOptions&) override {}
    void stopScan() override {}
    void connectPeripheral(const std::shared_ptr<ble::Peripheral>& peripheral) override
    {
        later([peripheral](UnauthorizedCentralManager& self, ble::CentralManagerDelegate& delegate) {
            delegate.centralManagerDidFailToConnectPeripheral(
                self, peripheral, ble::Error{"The application is not allowed to use Bluetooth."});
        });
    }
    void cancelPeripheralConnection(const std::shared_ptr<ble::Peripheral>&) override {}

    // Delegate callbacks never run inside a call of the controller's.
    void later(std::function<void(UnauthorizedCentralManager&, ble::CentralManagerDelegate&)> report)
    {
        QTimer::singleShot(0, [self = weak_from_this(), delegate = delegate_, report = std::move(report)] {
            const auto manager = self.lock();
            const auto receiver = delegate.lock();
            if (manager && receiver)
                report(*manager, *receiver);
        });
    }

private:
    std::weak_ptr<ble::CentralManagerDelegate> delegate_;
};

} // namespace

bool bluetoothPermitted()
{
#if QT_VERSION < QT_VERSION_CHECK(6, 5, 0)
    // Qt knows no permissions yet; macOS asks when the radio is first used.
    return true;
#elif !QT_CONFIG(permissions)
    return true;
#else
    const QBluetoothPermission bluetooth;
    auto status = qApp->checkPermission(bluetooth);
    if (status == Qt::PermissionStatus::Undetermined) {
        // The window is not up yet: wait here for the user's answer to the system's question.
        QEventLoop answered;
        qApp->requestPermission(bluetooth, &answered, [&](const QPermission& answer) {
            status = answer.status();
            answered.quit();
        });
        if (status == Qt::PermissionStatus::Undetermined)
            answered.exec();
    }
    return status == Qt::PermissionStatus::Granted;
#endif
}

ble::CentralManagerFactory unauthorizedCentralManagerFactory()
{
    return [](std::weak_ptr<ble::CentralManagerDelegate> delegate) {
        auto manager = std::make_shared<UnauthorizedCentralManager>(std::move(delegate));
        manager->later([](UnauthorizedCentralManager& self, ble::CentralManagerDelegate& receiver) {
            receiver.centralManagerDidUpdateState(self);
        });
        return std::shared_ptr<ble::CentralManager>(manager);
    };
}

} // namespace qtui
