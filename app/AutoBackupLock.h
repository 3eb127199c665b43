#pragma once
// Only one process of a user session runs automatic backups: the tray application or one
// `keelbox watch`, whichever holds a lock in the session's runtime folder. The others list drives
// and run the backups the user starts, and take over when the holder ends.

#include <QObject>
#include <QString>
#include <QTimer>

namespace keelbox::app {

class AutoBackupLock : public QObject {
    Q_OBJECT
public:
    // `runtimeDir` is private to the user ($XDG_RUNTIME_DIR).
    explicit AutoBackupLock(QString runtimeDir, QObject* parent = nullptr);
    ~AutoBackupLock() override;

    // True when this process holds the lock (now, or from before). The kernel releases it when
    // the process ends, however it ends.
    bool tryAcquire();
    bool held() const { return m_fd >= 0; }
    // Tries again every `intervalMs` until the lock is held, then emits acquired().
    void keepTrying(int intervalMs = 2000);
    QString path() const { return m_path; }

signals:
    void acquired();

private:
    QString m_path;
    int m_fd = -1;
    QTimer m_retry;
};

} // namespace keelbox::app
