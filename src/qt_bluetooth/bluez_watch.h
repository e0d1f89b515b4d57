// bluetoothd as this program sees it on the system bus: whether it runs,
// which adapters it exports, and the discovery switch of one of them. Qt
// Bluetooth binds itself to one adapter when its objects are made, and notices
// neither bluetoothd leaving the bus nor adapters that come and go.
#pragma once

#include <QBluetoothAddress>
#include <QDBusMessage>
#include <QDBusServiceWatcher>
#include <QObject>
#include <QString>

#include <functional>
#include <optional>

namespace qtble {

struct BluezAdapter {
    QString path;
    QBluetoothAddress address;
};

// The first powered adapter in path order, otherwise the first one; none
// when bluetoothd does not run or has no adapter.
std::optional<BluezAdapter> chooseBluezAdapter();
// Starts this program's own discovery session on the adapter. Without one,
// while another program discovers, BlueZ passes on a signal strength only
// when it changed by 8 dB and drops reports without a discoverable flag.
// refused gets BlueZ's words when it refuses the session.
void startBluezDiscovery(const BluezAdapter& adapter, QObject& context,
                         std::function<void(const QString&)> refused);
// Asks for every LE report, repeats included; Qt's discovery replaces this
// filter with its own when it starts.
void filterBluezDiscovery(const BluezAdapter& adapter);
// Ends this program's discovery session on the adapter; BlueZ refuses when
// there is none, and that answer is not awaited.
void stopBluezDiscovery(const BluezAdapter& adapter);

class BluezWatch final : public QObject {
    Q_OBJECT

public:
    // stopped: bluetoothd left the bus. adaptersChanged: bluetoothd came
    // (back), or it added an adapter. removed: it removed the adapter of this path.
    BluezWatch(std::function<void()> stopped, std::function<void()> adaptersChanged,
               std::function<void(const QString&)> removed);

private slots:
    void onInterfacesAdded(const QDBusMessage& message);
    void onInterfacesRemoved(const QDBusMessage& message);

private:
    std::function<void()> stopped_;
    std::function<void()> adaptersChanged_;
    std::function<void(const QString&)> removed_;
    QDBusServiceWatcher nameWatcher_;
};

} // namespace qtble
