#include "app/SingleInstance.h"

#include "engine/PathSafety.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include <sys/stat.h>
#include <unistd.h>

namespace keelbox::app {

namespace {
const QByteArray activateMessage = "activate\n";
// "show WHAT TOKEN\n", both parts percent-encoded and possibly empty.
const QByteArray showPrefix = "show ";
} // namespace

SingleInstance::SingleInstance(QString runtimeDir, QString name, QObject* parent)
    : QObject(parent), m_runtimeDir(std::move(runtimeDir)), m_name(std::move(name)) {
    connect(&m_server, &QLocalServer::newConnection, this, [this] {
        while (QLocalSocket* socket = m_server.nextPendingConnection()) {
            connect(socket, &QLocalSocket::disconnected, socket, &QObject::deleteLater);
            connect(socket, &QLocalSocket::readyRead, this, [this, socket] {
                while (socket->canReadLine()) {
                    const QByteArray line = socket->readLine();
                    if (line == activateMessage) {
                        emit activationRequested();
                        emit showRequested({}, {});
                    } else if (line.startsWith(showPrefix) && line.endsWith('\n')) {
                        const QList<QByteArray> parts =
                            line.mid(showPrefix.size()).chopped(1).split(' ');
                        emit activationRequested();
                        emit showRequested(
                            QString::fromUtf8(QByteArray::fromPercentEncoding(parts.value(0))),
                            QString::fromUtf8(QByteArray::fromPercentEncoding(parts.value(1))));
                    }
                }
            });
        }
    });
}

SingleInstance::~SingleInstance() {
    if (m_server.isListening()) {
        m_server.close();
        QFile::remove(socketPath());
    }
}

void SingleInstance::setRequest(const QString& what, const QString& activationToken) {
    m_request = showPrefix + what.toUtf8().toPercentEncoding() + ' ' +
                activationToken.toUtf8().toPercentEncoding() + '\n';
}

QString SingleInstance::socketPath() const {
    return m_runtimeDir + QLatin1Char('/') + m_name + QStringLiteral(".socket");
}

QString SingleInstance::lockPath() const {
    return m_runtimeDir + QLatin1Char('/') + m_name + QStringLiteral(".lock");
}

SingleInstance::Claim SingleInstance::claim() {
    if (m_lock && m_server.isListening())
        return Claim::primary;
    auto lock = std::make_unique<QLockFile>(lockPath());
    // Only a dead owner makes a lock stale, never its age: the instance may run for weeks.
    lock->setStaleLockTime(0);
    if (!lock->tryLock()) {
        if (lock->error() != QLockFile::LockFailedError) {
            m_error = QStringLiteral("Could not use the lock file “%1”.").arg(lockPath());
            return Claim::failed;
        }
        if (handOver())
            return Claim::handedOver;
        m_error = QStringLiteral("Keelbox is already running but does not answer.");
        return Claim::failed;
    }
    // Holding the lock: whatever socket is there was left by an instance that died.
    QLocalServer::removeServer(socketPath());
    m_server.setSocketOptions(QLocalServer::UserAccessOption);
    if (!m_server.listen(socketPath())) {
        m_error = QStringLiteral("Could not listen on “%1”: %2")
                      .arg(socketPath(), m_server.errorString());
        return Claim::failed;
    }
    m_lock = std::move(lock);
    return Claim::primary;
}

bool SingleInstance::handOver() {
    // The other instance may still be starting and not yet listening: try for a few seconds.
    for (int attempt = 0; attempt < 20; ++attempt) {
        QLocalSocket socket;
        socket.connectToServer(socketPath());
        if (socket.waitForConnected(250)) {
            socket.write(m_request.isEmpty() ? activateMessage : m_request);
            const bool sent = socket.waitForBytesWritten(1000);
            socket.disconnectFromServer();
            if (socket.state() != QLocalSocket::UnconnectedState)
                socket.waitForDisconnected(1000);
            return sent;
        }
        QThread::msleep(100);
    }
    return false;
}

QString userRuntimeDir() {
    const QString runtime = qEnvironmentVariable("XDG_RUNTIME_DIR");
    if (QDir::isAbsolutePath(runtime) && QFileInfo(runtime).isDir())
        return runtime;
    QString fallback = QDir::tempPath() + QStringLiteral("/keelbox-%1").arg(::getuid());
    const QByteArray encoded = QFile::encodeName(fallback);
    ::mkdir(encoded.constData(), 0700);
    struct stat info {};
    // Somebody else's folder (or a link) under the shared temporary folder is not ours to use.
    if (::lstat(encoded.constData(), &info) != 0 || !S_ISDIR(info.st_mode) ||
        info.st_uid != ::getuid()) {
        fallback = QFile::decodeName(homeFolder().c_str()) + QStringLiteral("/.cache/keelbox");
        QDir().mkpath(fallback);
    }
    return fallback;
}

} // namespace keelbox::app
