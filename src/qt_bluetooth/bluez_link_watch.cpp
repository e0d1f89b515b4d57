#include "qt_bluetooth/bluez_link_watch.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QMap>
#include <QVariantMap>

#include <utility>

namespace qtble::bluez {
namespace {

const QString bluezService = QStringLiteral("org.bluez");
const QString serviceInterface = QStringLiteral("org.bluez.GattService1");

} // namespace

LinkWatch::LinkWatch(const QString& devicePath)
{
    // The match goes to the bus before the question goes to BlueZ: a change
    // that BlueZ makes after it answered is signalled.
    QDBusConnection::systemBus().connect(
        bluezService, devicePath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("PropertiesChanged"), this, SLOT(onPropertiesChanged(QDBusMessage)));
    linkState(devicePath, *this, [this](const std::optional<LinkState>& state) {
        known_ = state.value_or(LinkState{});
        emit changed(state);
    });
}

void LinkWatch::onPropertiesChanged(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (!known_ || arguments.size() < 2 || arguments.at(0).toString() != QLatin1String("org.bluez.Device1"))
        return;
    const auto properties = qdbus_cast<QVariantMap>(arguments.at(1));
    const auto connected = properties.constFind(QStringLiteral("Connected"));
    const auto resolved = properties.constFind(QStringLiteral("ServicesResolved"));
    if (connected == properties.cend() && resolved == properties.cend())
        return;
    if (connected != properties.cend())
        known_->connected = connected->toBool();
    if (resolved != properties.cend())
        known_->servicesResolved = resolved->toBool();
    emit changed(known_);
}

ServicesWatch::ServicesWatch(const QString& devicePath) : servicePrefix_(devicePath + QLatin1Char('/'))
{
    QDBusConnection::systemBus().connect(
        bluezService, QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
        QStringLiteral("InterfacesAdded"), this, SLOT(onInterfacesAdded(QDBusMessage)));
    hasServices(devicePath, *this, [this](bool exported) {
        if (exported)
            report();
    });
}

void ServicesWatch::onInterfacesAdded(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() == 2 &&
        qvariant_cast<QDBusObjectPath>(arguments.at(0)).path().startsWith(servicePrefix_) &&
        qdbus_cast<QMap<QString, QVariantMap>>(arguments.at(1)).contains(serviceInterface))
        report();
}

void ServicesWatch::report()
{
    // Every further service is of no more interest.
    if (!std::exchange(reported_, true))
        emit exported();
}

} // namespace qtble::bluez
