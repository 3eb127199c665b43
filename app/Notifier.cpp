#include "app/Notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

namespace keelbox::app {

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
const QString showLogAction = QStringLiteral("show-log");
// Clicking the notification itself.
const QString defaultAction = QStringLiteral("default");
} // namespace

QString notificationText(const QString& text, qsizetype maxLength, bool markup) {
    QString bounded = text;
    if (bounded.size() > maxLength) {
        bounded.truncate(maxLength - 1);
        if (bounded.back().isHighSurrogate())
            bounded.chop(1);
        bounded += QStringLiteral("…");
    }
    return markup ? bounded.toHtmlEscaped() : bounded;
}

class DesktopNotifier::Listener : public QObject {
    Q_OBJECT

public:
    Listener(DesktopNotifier& notifier, QDBusConnection connection) : m_notifier(notifier) {
        // The server's signals reach us only from the owner of its name, nobody else's. (QtDBus
        // connects bus signals by name only.)
        connection.connect(service, path, service, QStringLiteral("ActionInvoked"), this,
                           SLOT(actionInvoked(uint, QString)));
        auto* reply = new QDBusPendingCallWatcher(
            connection.asyncCall(QDBusMessage::createMethodCall(service, path, service,
                                                                QStringLiteral("GetCapabilities"))),
            this);
        connect(reply, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* call) {
                    const QDBusPendingReply<QStringList> capabilities = *call;
                    actions = capabilities.isValid() &&
                              capabilities.value().contains(QStringLiteral("actions"));
                    bodyMarkup = !capabilities.isValid() ||
                                 capabilities.value().contains(QStringLiteral("body-markup"));
                    call->deleteLater();
                });
    }

    void posted(const QDBusPendingCall& pending) {
        auto* reply = new QDBusPendingCallWatcher(pending, this);
        connect(reply, &QDBusPendingCallWatcher::finished, this,
                [this](QDBusPendingCallWatcher* call) {
                    const QDBusPendingReply<uint> id = *call;
                    if (id.isValid())
                        offered.insert(id.value());
                    call->deleteLater();
                });
    }

    bool actions = false;
    // Until the server has answered, a body is escaped as if it read markup: an entity shown
    // once is better than a drive's label read as a link.
    bool bodyMarkup = true;
    QSet<uint> offered;

private slots:
    void actionInvoked(uint id, const QString& key) {
        if (!offered.contains(id) || (key != showLogAction && key != defaultAction))
            return;
        if (m_notifier.onShowLog)
            m_notifier.onShowLog();
    }

private:
    DesktopNotifier& m_notifier;
};

DesktopNotifier::DesktopNotifier(QDBusConnection connection) : m_connection(std::move(connection)) {
    if (m_connection.isConnected())
        m_listener = std::make_unique<Listener>(*this, m_connection);
}

DesktopNotifier::~DesktopNotifier() = default;

void DesktopNotifier::post(const UserNotification& notification) {
    if (!m_connection.isConnected())
        return;
    QDBusMessage call =
        QDBusMessage::createMethodCall(service, path, service, QStringLiteral("Notify"));
    QVariantMap hints;
    hints.insert(QStringLiteral("desktop-entry"), QStringLiteral("keelbox"));
    hints.insert(QStringLiteral("urgency"), QVariant::fromValue<uchar>(1));
    if (!notification.soundName.isEmpty())
        hints.insert(QStringLiteral("sound-name"), notification.soundName);
    call << QStringLiteral("Keelbox") // application name
         << quint32(0)                // a new notification, never a replacement
         << QStringLiteral("drive-removable-media")
         << notificationText(notification.title, maxNotificationTitle, false)
         << notificationText(notification.body, maxNotificationBody,
                             !m_listener || m_listener->bodyMarkup);
    const bool showLog =
        !notification.showLogLabel.isEmpty() && onShowLog && m_listener && m_listener->actions;
    QStringList actions;
    if (showLog)
        actions << defaultAction << notification.showLogLabel << showLogAction
                << notification.showLogLabel;
    call << actions << hints << qint32(-1); // the server's default timeout
    if (showLog) {
        // The server's id tells which notification a chosen action belongs to.
        m_listener->posted(m_connection.asyncCall(call));
        return;
    }
    // Without actions the answer is of no use; without a server the call simply fails.
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

#include "Notifier.moc"
