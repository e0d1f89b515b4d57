#include "qt_bluetooth/bluez_acquired.h"

#include "qt_bluetooth/bluez_device.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusUnixFileDescriptor>
#include <QMap>
#include <QSet>
#include <QSocketNotifier>
#include <QVariantMap>

#include <array>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <optional>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace qtble::bluez {
namespace {

using InterfaceList = QMap<QString, QVariantMap>;
using ManagedObjectList = QMap<QDBusObjectPath, InterfaceList>;

const QString bluezName = QStringLiteral("org.bluez");
const QString serviceInterface = QStringLiteral("org.bluez.GattService1");
const QString characteristicInterface = QStringLiteral("org.bluez.GattCharacteristic1");
// An ATT value is at most 512 bytes; the rest of the buffer is headroom.
constexpr std::size_t notificationBuffer = 1024;
// An ATT write command's header takes 3 bytes of the MTU.
constexpr int attHeader = 3;

struct Located {
    QString device;
    QString characteristic;
};

// The device by address on the adapter, and its characteristic of this UUID
// in the service of that UUID.
std::optional<Located> locate(const ManagedObjectList& objects, const QString& address,
                              const QString& adapterPath, const QBluetoothUuid& service,
                              const QBluetoothUuid& characteristic)
{
    std::optional<Located> found;
    for (auto object = objects.cbegin(); object != objects.cend() && !found; ++object) {
        const auto device = object.value().constFind(QStringLiteral("org.bluez.Device1"));
        if (device == object.value().cend() || device->value(QStringLiteral("Address")).toString() != address)
            continue;
        const auto adapter = qvariant_cast<QDBusObjectPath>(device->value(QStringLiteral("Adapter")));
        if (adapterPath.isEmpty() || adapter.path() == adapterPath)
            found = Located{object.key().path(), {}};
    }
    if (!found)
        return std::nullopt;
    QSet<QString> services;
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        const auto gatt = object.value().constFind(serviceInterface);
        if (gatt != object.value().cend() &&
            object.key().path().startsWith(found->device + QLatin1Char('/')) &&
            QBluetoothUuid(gatt->value(QStringLiteral("UUID")).toString()) == service)
            services.insert(object.key().path());
    }
    for (auto object = objects.cbegin(); object != objects.cend(); ++object) {
        const auto gatt = object.value().constFind(characteristicInterface);
        if (gatt != object.value().cend() &&
            services.contains(
                qvariant_cast<QDBusObjectPath>(gatt->value(QStringLiteral("Service"))).path()) &&
            QBluetoothUuid(gatt->value(QStringLiteral("UUID")).toString()) == characteristic) {
            found->characteristic = object.key().path();
            return found;
        }
    }
    return std::nullopt;
}

// The socket of an acquired characteristic; closing it gives the
// characteristic back to BlueZ.
class Socket {
public:
    Socket(int fd, int mtu) : fd_(fd), mtu_(mtu) {}
    ~Socket()
    {
        if (notifier_) {
            // It may be the notifier whose signal is being handled.
            notifier_->setEnabled(false);
            notifier_->deleteLater();
        }
        ::close(fd_);
    }
    Socket(const Socket&) = delete;
    Socket& operator=(const Socket&) = delete;

    int fd() const { return fd_; }
    int mtu() const { return mtu_; }
    void watch(QObject& context, std::function<void()> readable)
    {
        notifier_ = new QSocketNotifier(fd_, QSocketNotifier::Read, &context);
        QObject::connect(notifier_, &QSocketNotifier::activated, &context, std::move(readable));
    }
    // The peer closed its end: a zero-length read is the end, not an empty message.
    bool hungUp() const
    {
        pollfd state{fd_, POLLIN | POLLRDHUP, 0};
        return ::poll(&state, 1, 0) > 0 && (state.revents & (POLLHUP | POLLRDHUP | POLLERR));
    }

private:
    int fd_;
    int mtu_;
    // Owned by the channels' context (Qt parent ownership).
    QSocketNotifier* notifier_ = nullptr;
};

struct Subscription {
    std::unique_ptr<Socket> socket;
    std::function<void(const QByteArray&)> received;
    std::function<void()> closed;
};

class AcquiredChannels final : public GattChannels {
public:
    AcquiredChannels(const QBluetoothAddress& device, const QString& adapterPath,
                     std::chrono::milliseconds answerWait)
        : address_(device.toString()), adapterPath_(adapterPath), answerWait_(answerWait)
    {
    }
    ~AcquiredChannels() override { releaseAll(); }

    void acquireWrite(const QBluetoothUuid& service, const QBluetoothUuid& characteristic,
                      Granted done) override
    {
        acquire(QStringLiteral("AcquireWrite"), service, characteristic,
                [this, characteristic, done = std::move(done)](std::unique_ptr<Socket> socket, Grant grant) {
                    if (socket)
                        writers_[characteristic] = std::move(socket);
                    done(grant);
                });
    }

    bool write(const QBluetoothUuid& characteristic, const QByteArray& value) override
    {
        const auto writer = writers_.find(characteristic);
        if (writer == writers_.end())
            return false;
        if (value.size() <= writer->second->mtu() - attHeader &&
            ::send(writer->second->fd(), value.constData(), value.size(), MSG_NOSIGNAL | MSG_DONTWAIT) ==
                value.size())
            return true;
        writers_.erase(writer);
        return false;
    }

    void acquireNotify(const QBluetoothUuid& service, const QBluetoothUuid& characteristic,
                       std::function<void(const QByteArray&)> received, std::function<void()> closed,
                       Granted done) override
    {
        acquire(QStringLiteral("AcquireNotify"), service, characteristic,
                [this, characteristic, received = std::move(received), closed = std::move(closed),
                 done = std::move(done)](std::unique_ptr<Socket> socket, Grant grant) mutable {
                    if (socket) {
                        socket->watch(*context_, [this, characteristic] { onReadable(characteristic); });
                        subscriptions_[characteristic] =
                            Subscription{std::move(socket), std::move(received), std::move(closed)};
                    }
                    done(grant);
                });
    }

    void release(const QBluetoothUuid& characteristic) override
    {
        writers_.erase(characteristic);
        subscriptions_.erase(characteristic);
    }

    void releaseAll() override
    {
        writers_.clear();
        subscriptions_.clear();
        devicePath_.clear();
        context_ = std::make_unique<QObject>();
    }

private:
    void acquire(const QString& method, const QBluetoothUuid& service, const QBluetoothUuid& characteristic,
                 std::function<void(std::unique_ptr<Socket>, Grant)> done)
    {
        auto objects = QDBusMessage::createMethodCall(bluezName, QStringLiteral("/"),
                                                      QStringLiteral("org.freedesktop.DBus.ObjectManager"),
                                                      QStringLiteral("GetManagedObjects"));
        objects.setAutoStartService(false);
        whenAnswered(objects, *context_,
                     [this, method, service, characteristic,
                      done = std::move(done)](const QDBusMessage& reply) mutable {
                         if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
                             return done(nullptr, Grant::refused);
                         const auto located =
                             locate(qdbus_cast<ManagedObjectList>(reply.arguments().constFirst()), address_,
                                    adapterPath_, service, characteristic);
                         if (!located)
                             return done(nullptr, Grant::refused);
                         devicePath_ = located->device;
                         auto acquisition = QDBusMessage::createMethodCall(bluezName, located->characteristic,
                                                                           characteristicInterface, method);
                         acquisition.setAutoStartService(false);
                         acquisition.setArguments({QVariantMap()});
                         whenAnswered(
                             acquisition, *context_,
                             [done = std::move(done)](const QDBusMessage& answer) {
                                 auto socket = socketOf(answer);
                                 const Grant grant = socket               ? Grant::granted
                                                     : unanswered(answer) ? Grant::unanswered
                                                                          : Grant::refused;
                                 done(std::move(socket), grant);
                             },
                             static_cast<int>(answerWait_.count()));
                     });
    }

    // Our wait ran out (libdbus answers NoReply itself), not BlueZ's refusal.
    static bool unanswered(const QDBusMessage& answer)
    {
        return answer.type() == QDBusMessage::ErrorMessage &&
               (answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.NoReply") ||
                answer.errorName() == QLatin1String("org.freedesktop.DBus.Error.Timeout"));
    }

    static std::unique_ptr<Socket> socketOf(const QDBusMessage& answer)
    {
        if (answer.type() != QDBusMessage::ReplyMessage || answer.arguments().size() != 2)
            return nullptr;
        const auto descriptor = qvariant_cast<QDBusUnixFileDescriptor>(answer.arguments().at(0));
        const int mtu = answer.arguments().at(1).toInt();
        // The message closes its own descriptor as it goes.
        const int fd = descriptor.isValid() ? ::fcntl(descriptor.fileDescriptor(), F_DUPFD_CLOEXEC, 0) : -1;
        return fd < 0 ? nullptr : std::make_unique<Socket>(fd, mtu);
    }

    void onReadable(const QBluetoothUuid& characteristic)
    {
        const auto found = subscriptions_.find(characteristic);
        if (found == subscriptions_.end())
            return;
        Subscription& subscription = found->second;
        for (;;) {
            const ssize_t size =
                ::recv(subscription.socket->fd(), buffer_.data(), buffer_.size(), MSG_DONTWAIT);
            if (size < 0 && errno == EINTR)
                continue;
            if (size < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
                return;
            if (size > 0 || (size == 0 && !subscription.socket->hungUp())) {
                subscription.received(QByteArray(buffer_.data(), static_cast<qsizetype>(size)));
                continue;
            }
            auto closed = std::move(subscription.closed);
            subscriptions_.erase(found);
            onClosed(std::move(closed));
            return;
        }
    }

    // BlueZ closes the sockets as the link goes, before it says so: only a
    // channel closed on a link still up is the peripheral's to hear of.
    void onClosed(std::function<void()> closed)
    {
        if (devicePath_.isEmpty())
            return;
        linkState(devicePath_, *context_,
                  [closed = std::move(closed)](const std::optional<LinkState>& state) {
                      if (state && state->connected)
                          closed();
                  });
    }

    QString address_;
    QString adapterPath_;
    std::chrono::milliseconds answerWait_;
    QString devicePath_;
    std::map<QBluetoothUuid, std::unique_ptr<Socket>> writers_;
    std::map<QBluetoothUuid, Subscription> subscriptions_;
    std::array<char, notificationBuffer> buffer_{};
    // Receives the answers and owns the notifiers; replaced at release, so
    // that no answer to a released channel arrives.
    std::unique_ptr<QObject> context_ = std::make_unique<QObject>();
};

} // namespace

std::unique_ptr<GattChannels> makeAcquiredChannels(const QBluetoothAddress& device,
                                                   const QString& adapterPath,
                                                   std::chrono::milliseconds answerWait)
{
    return std::make_unique<AcquiredChannels>(device, adapterPath, answerWait);
}

} // namespace qtble::bluez
