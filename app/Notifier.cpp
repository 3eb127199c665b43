#include "app/Notifier.h"

#include <QDBusMessage>
#include <QFileInfo>
#include <QStringList>
#include <QVariantMap>

namespace keelbox::app {

DesktopNotifier::DesktopNotifier(QDBusConnection connection)
    : m_connection(std::move(connection)) {}

void DesktopNotifier::post(const UserNotification& notification) {
    if (!m_connection.isConnected())
        return;
    QDBusMessage call = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.Notifications"),
        QStringLiteral("/org/freedesktop/Notifications"),
        QStringLiteral("org.freedesktop.Notifications"), QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("keelbox"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));
    if (!notification.soundName.isEmpty())
        hints.insert(QStringLiteral("sound-name"), notification.soundName);
    call << QStringLiteral("Keelbox") // application name
         << quint32(0)                // a new notification, never a replacement
         << QStringLiteral("drive-removable-media") << notification.title << notification.body
         << QStringList()        // no actions: nothing to answer
         << hints << qint32(-1); // the server's default timeout
    // The answer (the server's id) is of no use; without a server the call simply fails.
    m_connection.send(call);
}

std::unique_ptr<Notifier> makeNotifier() {
    // Without an address or the runtime folder's standard socket there is no session bus; asking
    // for one anyway would try to launch a bus daemon on an X display.
    const QByteArray address = qgetenv("DBUS_SESSION_BUS_ADDRESS");
    const QByteArray runtimeDir = qgetenv("XDG_RUNTIME_DIR");
    const bool standardSocket =
        !runtimeDir.isEmpty() && QFileInfo::exists(QString::fromLocal8Bit(runtimeDir + "/bus"));
    if (address.isEmpty() && !standardSocket)
        return std::make_unique<DesktopNotifier>(QDBusConnection(QStringLiteral("keelbox-no-bus")));
    return std::make_unique<DesktopNotifier>(QDBusConnection::sessionBus());
}

} // namespace keelbox::app
