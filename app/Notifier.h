#pragma once
// User notifications about backups, posted through the desktop's notification service.

#include <QDBusConnection>
#include <QString>

#include <memory>

namespace keelbox::app {

struct UserNotification {
    QString title;
    QString body;
    // A name from the freedesktop sound naming scheme ("complete"); empty asks for no sound.
    QString soundName;
};

class Notifier {
public:
    virtual ~Notifier() = default;
    // Shown at once, needs no answer; failures are dropped.
    virtual void post(const UserNotification& notification) = 0;
};

// org.freedesktop.Notifications on the given bus. Without a connected bus it posts nothing; the
// desktop needs no permission step, so there is none.
class DesktopNotifier : public Notifier {
public:
    explicit DesktopNotifier(QDBusConnection connection);
    void post(const UserNotification& notification) override;

private:
    QDBusConnection m_connection;
};

// The desktop notifier on the session bus.
std::unique_ptr<Notifier> makeNotifier();

} // namespace keelbox::app
