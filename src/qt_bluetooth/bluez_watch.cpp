#include "qt_bluetooth/bluez_watch.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusPendingCallWatcher>
#include <QDBusVariant>
#include <QMap>
#include <QVariantMap>

namespace qtble {
namespace {

const QString bluez = QStringLiteral("org.bluez");
const QString adapterInterface = QStringLiteral("org.bluez.Adapter1");
const QString objectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");

using Interfaces = QMap<QString, QVariantMap>;

// Never starts bluetoothd through bus activation: an absent daemon answers at once.
QDBusMessage callBluez(const QString& path, const QString& interface, const QString& method,
                       const QVariantList& arguments = {})
{
    QDBusMessage message = QDBusMessage::createMethodCall(bluez, path, interface, method);
    message.setArguments(arguments);
    message.setAutoStartService(false);
    return message;
}

// The adapter questions block the window's thread: a bluetoothd that hangs
// must not hold it for D-Bus's 25 s.
constexpr int answerWaitMs = 2000;

} // namespace

std::optional<BluezAdapter> chooseBluezAdapter()
{
    const QDBusMessage reply = QDBusConnection::systemBus().call(
        callBluez(QStringLiteral("/"), objectManager, QStringLiteral("GetManagedObjects")), QDBus::Block,
        answerWaitMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    std::optional<BluezAdapter> chosen;
    const auto objects = qdbus_cast<QMap<QDBusObjectPath, Interfaces>>(reply.arguments().constFirst());
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        if (!object->contains(adapterInterface))
            continue;
        const QVariantMap properties = object->value(adapterInterface);
        const BluezAdapter adapter{object.key().path(),
                                   QBluetoothAddress(properties.value(QStringLiteral("Address")).toString())};
        if (properties.value(QStringLiteral("Powered")).toBool())
            return adapter;
        if (!chosen)
            chosen = adapter;
    }
    return chosen;
}

void startBluezDiscovery(const BluezAdapter& adapter, QObject& context,
                         std::function<void(const QString&)> refused)
{
    auto* watcher = new QDBusPendingCallWatcher(
        QDBusConnection::systemBus().asyncCall(
            callBluez(adapter.path, adapterInterface, QStringLiteral("StartDiscovery")), answerWaitMs),
        &context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &context,
                     [refused = std::move(refused)](QDBusPendingCallWatcher* answered) {
                         answered->deleteLater();
                         const QDBusError error = answered->error();
                         if (error.isValid())
                             refused(error.message() + QStringLiteral(" (") + error.name() +
                                     QLatin1Char(')'));
                     });
}

void filterBluezDiscovery(const BluezAdapter& adapter)
{
    const QVariantMap filter{{QStringLiteral("Transport"), QStringLiteral("le")},
                             {QStringLiteral("DuplicateData"), true}};
    QDBusConnection::systemBus().asyncCall(
        callBluez(adapter.path, adapterInterface, QStringLiteral("SetDiscoveryFilter"), {filter}));
}

void stopBluezDiscovery(const BluezAdapter& adapter)
{
    QDBusConnection::systemBus().asyncCall(
        callBluez(adapter.path, adapterInterface, QStringLiteral("StopDiscovery")));
}

BluezWatch::BluezWatch(std::function<void()> stopped, std::function<void()> adaptersChanged,
                       std::function<void(const QString&)> removed)
    : stopped_(std::move(stopped)), adaptersChanged_(std::move(adaptersChanged)),
      removed_(std::move(removed)),
      nameWatcher_(bluez, QDBusConnection::systemBus(), QDBusServiceWatcher::WatchForOwnerChange)
{
    QObject::connect(&nameWatcher_, &QDBusServiceWatcher::serviceOwnerChanged, this,
                     [this](const QString&, const QString& oldOwner, const QString& newOwner) {
                         if (!oldOwner.isEmpty())
                             stopped_();
                         if (!newOwner.isEmpty())
                             adaptersChanged_();
                     });
    auto bus = QDBusConnection::systemBus();
    bus.connect(bluez, QStringLiteral("/"), objectManager, QStringLiteral("InterfacesAdded"), this,
                SLOT(onInterfacesAdded(QDBusMessage)));
    bus.connect(bluez, QStringLiteral("/"), objectManager, QStringLiteral("InterfacesRemoved"), this,
                SLOT(onInterfacesRemoved(QDBusMessage)));
}

void BluezWatch::onInterfacesAdded(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() == 2 && qdbus_cast<Interfaces>(arguments.at(1)).contains(adapterInterface))
        adaptersChanged_();
}

void BluezWatch::onInterfacesRemoved(const QDBusMessage& message)
{
    const QVariantList arguments = message.arguments();
    if (arguments.size() == 2 && arguments.at(1).toStringList().contains(adapterInterface))
        removed_(qvariant_cast<QDBusObjectPath>(arguments.at(0)).path());
}

} // namespace qtble
