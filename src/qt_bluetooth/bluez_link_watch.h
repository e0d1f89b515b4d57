// What BlueZ tells of one device while its link comes up, listened to rather
// than asked for again and again: the link's state as it changes, and the
// GATT services BlueZ exports for it. Each watch subscribes before it asks
// once, so that a change made between the two is not missed, and reports
// through the event loop: its signals can be connected once it is made.
#pragma once

#include "qt_bluetooth/bluez_device.h"

#include <QDBusMessage>
#include <QObject>
#include <QString>

#include <optional>

namespace qtble::bluez {

// Reports the device's link as BlueZ first answers, then at each change of
// Connected or ServicesResolved.
class LinkWatch final : public QObject {
    Q_OBJECT

public:
    explicit LinkWatch(const QString& devicePath);

signals:
    // Nothing when BlueZ could not be asked.
    void changed(const std::optional<qtble::bluez::LinkState>& state);

private slots:
    void onPropertiesChanged(const QDBusMessage& message);

private:
    // A change carries only what changed; it applies to what is known. One
    // signalled before the answer is in the answer already.
    std::optional<LinkState> known_;
};

// Reports once that BlueZ exports a GATT service of the device: as soon as it
// is asked when it does already, otherwise when it exports one.
class ServicesWatch final : public QObject {
    Q_OBJECT

public:
    explicit ServicesWatch(const QString& devicePath);

signals:
    void exported();

private slots:
    void onInterfacesAdded(const QDBusMessage& message);

private:
    void report();

    QString servicePrefix_;
    bool reported_ = false;
};

} // namespace qtble::bluez
