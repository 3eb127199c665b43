#pragma once
// One application per user session: the first launch holds a lock and listens on a local socket in
// the user's runtime folder; a later launch hands over to it and exits.

#include <QLocalServer>
#include <QLockFile>
#include <QObject>
#include <QString>

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
    bool handOver();

    QString m_runtimeDir;
    QString m_name;
    std::unique_ptr<QLockFile> m_lock;
    QLocalServer m_server;
    QString m_error;
    QByteArray m_request;
};

// $XDG_RUNTIME_DIR, or a private folder under the temporary folder when the session has none.
QString userRuntimeDir();

} // namespace keelbox::app
