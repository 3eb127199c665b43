#pragma once
// User notifications about backups, posted through the desktop's notification service.

#include <QDBusConnection>
#include <QString>

#include <functional>
#include <memory>

namespace keelbox::app {

struct UserNotification {
    QString title;
    QString body;
    // A name from the freedesktop sound naming scheme ("complete"); empty asks for no sound.
    QString soundName;
    // The label of a "show the log" button; empty for none. Offered only where the notification
    // server supports actions and somebody listens (`onShowLog`).
    QString showLogLabel;
    // Notifications of one tag replace each other where the server still shows the earlier one
    // (the end of a backup replaces its start); empty for a notification of its own.
    QString tag;
    // How long the server shows it; -1 for the server's default.
    int timeoutMs = -1;
};

class Notifier {
public:
    virtual ~Notifier() = default;
    // Shown at once, needs no answer; failures are dropped.
    virtual void post(const UserNotification& notification) = 0;

    // Called on the main thread when the user chooses a notification's "show the log" button.
    std::function<void()> onShowLog;
};

// org.freedesktop.Notifications on the given bus. Without a connected bus it posts nothing; the
// desktop needs no permission step, so there is none.
class DesktopNotifier : public Notifier {
public:
    explicit DesktopNotifier(QDBusConnection connection);
    ~DesktopNotifier() override;
    void post(const UserNotification& notification) override;

private:
    class Listener;

    QDBusConnection m_connection;
    // Asks the server whether it shows actions and hears which one the user chose.
    std::unique_ptr<Listener> m_listener;
};

// A title or body as sent: cut to `maxLength` characters ending in "…", and escaped for a server
// that reads the body as markup (its "body-markup" capability; titles are always plain). The
// texts themselves come composed with every name and path made inert (core/ShownText.h).
inline constexpr qsizetype maxNotificationTitle = 120;
inline constexpr qsizetype maxNotificationBody = 600;
QString notificationText(const QString& text, qsizetype maxLength, bool markup);

// The desktop notifier on the session bus.
std::unique_ptr<Notifier> makeNotifier();

} // namespace keelbox::app
