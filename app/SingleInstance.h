#pragma once
// One application per user session: the first launch holds a lock and listens on a local socket in
// the user's runtime folder; a later launch hands over to it and exits. Only the same user's
// processes are heard, one request line of at most 4 KiB each, within a few seconds; the socket
// outlives a failed accept() and comes back when somebody removes it.

#include <QFileSystemWatcher>
#include <QLockFile>
#include <QObject>
#include <QSocketNotifier>
#include <QString>
#include <QTimer>

#include <memory>

namespace keelbox::app {

class SingleInstance : public QObject {
    Q_OBJECT

public:
    enum class Claim {
        primary,    // this process is the instance now
        handedOver, // another instance runs and was asked to show itself
        failed,     // neither: see errorString()
    };

    // `runtimeDir` is private to the user ($XDG_RUNTIME_DIR); `name` keeps tests apart.
    explicit SingleInstance(QString runtimeDir, QString name = QStringLiteral("keelbox"),
                            QObject* parent = nullptr);
    ~SingleInstance() override;

    Claim claim();
    // What a handing-over launch asks for: a window ("panel", "log", …; empty for the usual
    // activation) and the desktop's activation token that lets that window take the focus.
    void setRequest(const QString& what, const QString& activationToken);
    QString errorString() const { return m_error; }
    QString socketPath() const;
    QString lockPath() const;

signals:
    // A later launch asked this instance to come forward.
    void activationRequested();
    // The same, with what the later launch asked to see (see setRequest).
    void showRequested(const QString& what, const QString& activationToken);

private:
    class Client;

    bool handOver();
    // Binds and listens at socketPath(), replacing whatever is there (the lock is ours).
    bool listen();
    void stopListening();
    void acceptPending();
    // Listens anew when the socket file was removed or replaced.
    void checkSocket();
    void handle(const QByteArray& line);

    QString m_runtimeDir;
    QString m_name;
    std::unique_ptr<QLockFile> m_lock;
    int m_listener = -1;
    std::unique_ptr<QSocketNotifier> m_pending;
    // The socket file as bound: its device and inode.
    std::pair<quint64, quint64> m_socketFile{};
    QFileSystemWatcher m_watcher;
    // Accepting again a moment after the process ran out of descriptors.
    QTimer m_retry;
    QString m_error;
    QByteArray m_request;
};

// $XDG_RUNTIME_DIR, or a private folder under the temporary folder when the session has none.
QString userRuntimeDir();

inline constexpr qsizetype maxRequestLine = 4096;
inline constexpr int clientTimeoutMs = 3000;

} // namespace keelbox::app
