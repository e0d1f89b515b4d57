#include "qt_bluetooth/bluez_device.h"

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCallWatcher>
#include <QMap>
#include <QVariantMap>

#include <limits>

namespace qtble::bluez {
namespace {

const QString bluezService = QStringLiteral("org.bluez");
const QString deviceInterface = QStringLiteral("org.bluez.Device1");
const QString characteristicInterface = QStringLiteral("org.bluez.GattCharacteristic1");
// Our own repeats of Qt's requests: the answer, or nothing, within this time.
constexpr int repeatWaitMs = 2000;

using InterfaceList = QMap<QString, QVariantMap>;
using ManagedObjectList = QMap<QDBusObjectPath, InterfaceList>;

// Never starts bluetoothd through bus activation: a stopped one stays stopped.
QDBusMessage bluezCall(const QString& path, const QString& interface, const QString& method)
{
    QDBusMessage call = QDBusMessage::createMethodCall(bluezService, path, interface, method);
    call.setAutoStartService(false);
    return call;
}

QDBusMessage deviceCall(const QString& path, const QString& method)
{
    return bluezCall(path, deviceInterface, method);
}

QDBusMessage managedObjectsCall()
{
    return bluezCall(QStringLiteral("/"), QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                     QStringLiteral("GetManagedObjects"));
}

std::optional<ManagedObjectList> managedObjects(const QDBusMessage& reply)
{
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return qdbus_cast<ManagedObjectList>(reply.arguments().constFirst());
}

std::optional<QString> devicePath(const ManagedObjectList& objects, const QString& address,
                                  const QString& adapterPath)
{
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        const auto device = object.value().constFind(deviceInterface);
        if (device == object.value().cend() || device->value(QStringLiteral("Address")).toString() != address)
            continue;
        const auto adapter = qvariant_cast<QDBusObjectPath>(device->value(QStringLiteral("Adapter")));
        if (adapterPath.isEmpty() || adapter.path() == adapterPath)
            return object.key().path();
    }
    return std::nullopt;
}

bool hasUuid(const QVariantMap& properties, const QBluetoothUuid& uuid)
{
    return QBluetoothUuid(properties.value(QStringLiteral("UUID")).toString()) == uuid;
}

// A refusal that pairing may overcome: BlueZ's words for an ATT Insufficient
// Authentication or Encryption, or a failed pairing.
bool asksForPairing(const QDBusError& error)
{
    const QString name = error.name();
    return (name == QLatin1String("org.bluez.Error.NotPermitted") &&
            error.message() == QLatin1String("Not paired")) ||
           name == QLatin1String("org.bluez.Error.NotAuthorized") ||
           name.startsWith(QLatin1String("org.bluez.Error.Authentication"));
}

} // namespace

void whenAnswered(const QDBusMessage& call, QObject& context, std::function<void(const QDBusMessage&)> done,
                  int timeoutMs)
{
    // Owned by the context: it goes with the peripheral that asked.
    auto* watcher =
        new QDBusPendingCallWatcher(QDBusConnection::systemBus().asyncCall(call, timeoutMs), &context);
    QObject::connect(watcher, &QDBusPendingCallWatcher::finished, &context,
                     [done = std::move(done)](QDBusPendingCallWatcher* answered) {
                         answered->deleteLater();
                         done(answered->reply());
                     });
}

void findDevice(const QBluetoothAddress& address, const QString& adapterPath, QObject& context,
                std::function<void(const std::optional<QString>&)> done)
{
    whenAnswered(
        managedObjectsCall(), context,
        [address = address.toString(), adapterPath, done = std::move(done)](const QDBusMessage& reply) {
            const auto objects = managedObjects(reply);
            done(objects ? devicePath(*objects, address, adapterPath) : std::nullopt);
        });
}

void findCharacteristic(const QBluetoothAddress& address, const QString& adapterPath,
                        const QBluetoothUuid& service, const QBluetoothUuid& characteristic, QObject& context,
                        std::function<void(const std::optional<CharacteristicPaths>&)> done)
{
    whenAnswered(
        managedObjectsCall(), context,
        [address = address.toString(), adapterPath, service, characteristic,
         done = std::move(done)](const QDBusMessage& reply) {
            const auto objects = managedObjects(reply);
            const auto device = objects ? devicePath(*objects, address, adapterPath) : std::nullopt;
            if (!device)
                return done(std::nullopt);
            for (auto object = objects->cbegin(); object != objects->cend(); ++object) {
                const auto found = object.value().constFind(characteristicInterface);
                if (found == object.value().cend() || !object.key().path().startsWith(*device + '/') ||
                    !hasUuid(*found, characteristic))
                    continue;
                const auto owner = qvariant_cast<QDBusObjectPath>(found->value(QStringLiteral("Service")));
                const auto ownerService =
                    objects->value(owner).value(QStringLiteral("org.bluez.GattService1"));
                if (hasUuid(ownerService, service))
                    return done(CharacteristicPaths{*device, object.key().path()});
            }
            done(std::nullopt);
        });
}

void repeatRequest(const QString& characteristicPath, bool subscription, QObject& context,
                   std::function<void(const QDBusError&)> done)
{
    QDBusMessage call = bluezCall(characteristicPath, characteristicInterface,
                                  subscription ? QStringLiteral("StartNotify") : QStringLiteral("ReadValue"));
    if (!subscription)
        call.setArguments({QVariantMap()});
    whenAnswered(
        call, context,
        [characteristicPath, subscription, done = std::move(done)](const QDBusMessage& reply) {
            const QDBusError error(reply);
            if (subscription && !error.isValid())
                QDBusConnection::systemBus().send(
                    bluezCall(characteristicPath, characteristicInterface, QStringLiteral("StopNotify")));
            done(error);
        },
        repeatWaitMs);
}

QString gattAdvice(const QDBusError& error, const QBluetoothAddress& device, bool paired)
{
    if (error.name() == QLatin1String("org.freedesktop.DBus.Error.AccessDenied") ||
        (asksForPairing(error) && !paired))
        return withAdvice(error, device);
    if (asksForPairing(error))
        return error.message() +
               QStringLiteral("; the meter no longer takes its pairing: bluetoothctl remove ") +
               device.toString() + QStringLiteral(", then bluetoothctl pair ") + device.toString();
    return {};
}

QString pairingWaitAdvice(const QBluetoothAddress& device)
{
    return QStringLiteral("if BlueZ is pairing the meter, accept the system's pairing request, or pair it: "
                          "bluetoothctl pair ") +
           device.toString();
}

void hasServices(const QString& path, QObject& context, std::function<void(bool)> done)
{
    whenAnswered(managedObjectsCall(), context,
                 [prefix = path + QLatin1Char('/'), done = std::move(done)](const QDBusMessage& reply) {
                     const auto found = managedObjects(reply);
                     if (!found)
                         return done(false);
                     const auto& objects = *found;
                     for (auto object = objects.cbegin(); object != objects.cend(); ++object)
                         if (object.key().path().startsWith(prefix) &&
                             object.value().contains(QStringLiteral("org.bluez.GattService1")))
                             return done(true);
                     done(false);
                 });
}

void linkState(const QString& path, QObject& context,
               std::function<void(const std::optional<LinkState>&)> done)
{
    QDBusMessage call =
        bluezCall(path, QStringLiteral("org.freedesktop.DBus.Properties"), QStringLiteral("GetAll"));
    call.setArguments({deviceInterface});
    whenAnswered(call, context, [done = std::move(done)](const QDBusMessage& reply) {
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
            return done(std::nullopt);
        const auto properties = qdbus_cast<QVariantMap>(reply.arguments().constFirst());
        done(LinkState{properties.value(QStringLiteral("Connected")).toBool(),
                       properties.value(QStringLiteral("ServicesResolved")).toBool(),
                       properties.value(QStringLiteral("Paired")).toBool()});
    });
}

void connectDevice(const QString& path, QObject& context, std::function<void(const QDBusError&)> done)
{
    // D-Bus's 25 s would cut a longer budget short; a withdrawn attempt's
    // Disconnect makes BlueZ answer it.
    constexpr int noTimeout = std::numeric_limits<int>::max();
    whenAnswered(
        deviceCall(path, QStringLiteral("Connect")), context,
        [done = std::move(done)](const QDBusMessage& reply) { done(QDBusError(reply)); }, noTimeout);
}

void disconnectDevice(const QString& path)
{
    QDBusConnection::systemBus().send(deviceCall(path, QStringLiteral("Disconnect")));
}

bool isTransient(const QDBusError& error)
{
    return error.name() == QLatin1String("org.bluez.Error.Failed") ||
           error.name() == QLatin1String("org.bluez.Error.InProgress");
}

QString withAdvice(const QDBusError& error, const QBluetoothAddress& device)
{
    const QString name = error.name();
    if (name == QLatin1String("org.freedesktop.DBus.Error.AccessDenied"))
        return error.message() + QStringLiteral("; this user may not use Bluetooth: join the bluetooth group "
                                                "(sudo usermod -aG bluetooth $USER) and log in again");
    if (name == QLatin1String("org.bluez.Error.NotAuthorized") ||
        name == QLatin1String("org.bluez.Error.NotPermitted") ||
        name.startsWith(QLatin1String("org.bluez.Error.Authentication")))
        return error.message() + QStringLiteral("; the meter asks for pairing: bluetoothctl pair ") +
               device.toString();
    return error.message();
}

bool isForgotten(const QDBusError& error)
{
    return error.type() == QDBusError::UnknownObject ||
           error.name() == QLatin1String("org.bluez.Error.DoesNotExist");
}

} // namespace qtble::bluez
