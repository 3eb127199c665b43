#include "app/SingleInstance.h"

#include "engine/PathSafety.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QLocalSocket>
#include <QThread>

#include <cerrno>
#include <cstring>

#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

namespace keelbox::app {

namespace {
const QByteArray activateMessage = "activate\n";
// "show WHAT TOKEN\n", both parts percent-encoded and possibly empty.
const QByteArray showPrefix = "show ";
constexpr int acceptRetryMs = 200;

std::pair<quint64, quint64> fileId(const QByteArray& path) {
    struct stat info {};
    if (::lstat(path.constData(), &info) != 0 || !S_ISSOCK(info.st_mode))
        return {};
    return {info.st_dev, info.st_ino};
}
} // namespace

// One connection of a later launch: one line, read as it arrives and never past the bound, then
// closed; a client that stays silent is closed too.
class SingleInstance::Client : public QObject {
public:
    Client(int descriptor, SingleInstance& instance)
        : QObject(&instance), m_descriptor(descriptor), m_instance(instance),
          m_readable(descriptor, QSocketNotifier::Read) {
        connect(&m_readable, &QSocketNotifier::activated, this, &Client::readSome);
        m_idle.setSingleShot(true);
        connect(&m_idle, &QTimer::timeout, this, &Client::drop);
        m_idle.start(clientTimeoutMs);
    }
    ~Client() override { ::close(m_descriptor); }

private:
    void readSome() {
        char buffer[1024];
        const ssize_t count = ::read(m_descriptor, buffer, sizeof buffer);
        if (count < 0 && (errno == EINTR || errno == EAGAIN))
            return;
        if (count <= 0)
            return drop();
        const qsizetype searched = m_line.size();
        m_line.append(buffer, count);
        if (const qsizetype end = m_line.indexOf('\n', searched);
            end >= 0 && end < maxRequestLine) {
            m_instance.handle(m_line.left(end + 1));
            return drop();
        }
        if (m_line.size() >= maxRequestLine)
            drop();
    }
    void drop() {
        m_readable.setEnabled(false);
        m_idle.stop();
        deleteLater();
    }

    int m_descriptor;
    SingleInstance& m_instance;
    QSocketNotifier m_readable;
    QTimer m_idle;
    QByteArray m_line;
};

SingleInstance::SingleInstance(QString runtimeDir, QString name, QObject* parent)
    : QObject(parent), m_runtimeDir(std::move(runtimeDir)), m_name(std::move(name)) {
    m_retry.setSingleShot(true);
    connect(&m_retry, &QTimer::timeout, this, [this] {
        checkSocket();
        if (m_pending)
            m_pending->setEnabled(true);
        acceptPending();
    });
    connect(&m_watcher, &QFileSystemWatcher::fileChanged, this, &SingleInstance::checkSocket);
}

SingleInstance::~SingleInstance() {
    stopListening();
}

void SingleInstance::handle(const QByteArray& line) {
    if (line == activateMessage) {
        emit activationRequested();
        emit showRequested({}, {});
    } else if (line.startsWith(showPrefix) && line.endsWith('\n')) {
        const QList<QByteArray> parts = line.mid(showPrefix.size()).chopped(1).split(' ');
        emit activationRequested();
        emit showRequested(QString::fromUtf8(QByteArray::fromPercentEncoding(parts.value(0))),
                           QString::fromUtf8(QByteArray::fromPercentEncoding(parts.value(1))));
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
    if (m_lock && m_listener >= 0)
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
    if (!listen())
        return Claim::failed;
    m_lock = std::move(lock);
    return Claim::primary;
}

bool SingleInstance::listen() {
    stopListening();
    const QByteArray path = QFile::encodeName(socketPath());
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    const int descriptor = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    const auto fail = [&](const char* what) {
        m_error = QStringLiteral("Could not listen on “%1”: %2 (%3)")
                      .arg(socketPath(), QString::fromLocal8Bit(std::strerror(errno)),
                           QLatin1String(what));
        if (descriptor >= 0)
            ::close(descriptor);
        return false;
    };
    if (static_cast<std::size_t>(path.size()) >= sizeof address.sun_path) {
        errno = ENAMETOOLONG;
        return fail("path");
    }
    std::memcpy(address.sun_path, path.constData(), static_cast<std::size_t>(path.size()));
    if (descriptor < 0)
        return fail("socket");
    ::unlink(path.constData());
    if (::bind(descriptor, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
        return fail("bind");
    // The runtime folder is the user's own already; the peer's credentials are checked as well.
    ::chmod(path.constData(), S_IRUSR | S_IWUSR);
    if (::listen(descriptor, 16) != 0)
        return fail("listen");
    m_listener = descriptor;
    m_socketFile = fileId(path);
    m_pending = std::make_unique<QSocketNotifier>(descriptor, QSocketNotifier::Read);
    connect(m_pending.get(), &QSocketNotifier::activated, this, &SingleInstance::acceptPending);
    m_watcher.addPath(socketPath());
    return true;
}

void SingleInstance::stopListening() {
    if (m_listener < 0)
        return;
    m_pending.reset();
    m_retry.stop();
    m_watcher.removePaths(m_watcher.files());
    const QByteArray path = QFile::encodeName(socketPath());
    if (fileId(path) == m_socketFile)
        ::unlink(path.constData());
    ::close(m_listener);
    m_listener = -1;
}

void SingleInstance::acceptPending() {
    while (m_listener >= 0) {
        const int client = ::accept4(m_listener, nullptr, nullptr, SOCK_CLOEXEC | SOCK_NONBLOCK);
        if (client < 0) {
            if (errno == EINTR || errno == ECONNABORTED)
                continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK && m_pending) {
                // Out of descriptors or memory: the connection stays queued. Try again in a
                // moment instead of spinning on a socket that stays readable.
                m_pending->setEnabled(false);
                m_retry.start(acceptRetryMs);
            }
            return;
        }
        ucred peer{};
        socklen_t length = sizeof peer;
        if (::getsockopt(client, SOL_SOCKET, SO_PEERCRED, &peer, &length) != 0 ||
            peer.uid != ::geteuid()) {
            ::close(client);
            continue;
        }
        new Client(client, *this);
    }
}

void SingleInstance::checkSocket() {
    if (m_listener < 0)
        return;
    if (fileId(QFile::encodeName(socketPath())) != m_socketFile)
        listen();
    else if (!m_watcher.files().contains(socketPath()))
        m_watcher.addPath(socketPath());
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
