#include "app/Notifier.h"

#include <QDBusMessage>
#include <QDBusPendingCallWatcher>
#include <QDBusPendingReply>
#include <QFileInfo>
#include <QHash>
#include <QSet>
#include <QStringList>
#include <QVariantMap>

namespace keelbox::app {

namespace {
const QString service = QStringLiteral("org.freedesktop.Notifications");
const QString path = QStringLiteral("/org/freedesktop/Notifications");
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

    void posted(const QDBusPendingCall& pending, const QString& tag, bool offersLog) {
        auto* reply = new QDBusPendingCallWatcher(pending, this);
        connect(reply, &QDBusPendingCallWatcher::finished, this,
                [this, tag, offersLog](QDBusPendingCallWatcher* call) {
                    const QDBusPendingReply<uint> id = *call;
                    if (id.isValid()) {
                        // A replacement keeps the id, and the actions of the latest notification.
                        if (offersLog)
                            offered.insert(id.value());
                        else
                            offered.remove(id.value());
                        if (!tag.isEmpty())
                            byTag.insert(tag, id.value());
                    }
                    call->deleteLater();
                });
    }

    bool actions = false;
    // Until the server has answered, a body is escaped as if it read markup: an entity shown
    // once is better than a drive's label read as a link.
    bool bodyMarkup = true;
    QSet<uint> offered;
    // The server's id of the latest notification of each tag.
    QHash<QString, uint> byTag;

private slots:
    void actionInvoked(uint id, const QString& key) {
        if (!offered.contains(id) || key != defaultAction)
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
    const uint replaces = m_listener ? m_listener->byTag.value(notification.tag) : 0;
    call << QStringLiteral("Keelbox") // application name
         << quint32(replaces)         // 0: a new notification
         << QStringLiteral("drive-removable-media")
         << notificationText(notification.title, maxNotificationTitle, false)
         << notificationText(notification.body, maxNotificationBody,
                             !m_listener || m_listener->bodyMarkup);
    const bool showLog =
        !notification.showLogLabel.isEmpty() && onShowLog && m_listener && m_listener->actions;
    // Only the default action: servers that draw it as a button as well as those that take a
    // click on the notification show one way to the log, never two buttons of the same name.
    QStringList actions;
    if (showLog)
        actions << defaultAction << notification.showLogLabel;
    call << actions << hints << qint32(notification.timeoutMs);
    if (m_listener && (showLog || !notification.tag.isEmpty())) {
        // The server's id tells which notification a chosen action belongs to, and which one a
        // later notification of the tag replaces.
        m_listener->posted(m_connection.asyncCall(call), notification.tag, showLog);
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
