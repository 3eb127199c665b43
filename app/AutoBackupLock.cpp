#include "app/AutoBackupLock.h"

#include <QFile>

#include <fcntl.h>
#include <sys/file.h>
#include <unistd.h>

namespace keelbox::app {

AutoBackupLock::AutoBackupLock(QString runtimeDir, QObject* parent)
    : QObject(parent), m_path(runtimeDir + QStringLiteral("/keelbox-automatic-backups.lock")) {
    connect(&m_retry, &QTimer::timeout, this, [this] {
        if (tryAcquire()) {
            m_retry.stop();
            emit acquired();
        }
    });
}

AutoBackupLock::~AutoBackupLock() {
    if (m_fd >= 0)
        ::close(m_fd);
}

bool AutoBackupLock::tryAcquire() {
    if (m_fd >= 0)
        return true;
    const int fd =
        ::open(QFile::encodeName(m_path).constData(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    // flock, not a lock file with a process id: nothing stale is left behind by a crash, and
    // the lock is the open file, not the name.
    if (::flock(fd, LOCK_EX | LOCK_NB) != 0) {
        ::close(fd);
        return false;
    }
    m_fd = fd;
    return true;
}

void AutoBackupLock::keepTrying(int intervalMs) {
    if (held())
        return;
    m_retry.start(intervalMs);
}

} // namespace keelbox::app
