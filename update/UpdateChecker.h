#pragma once
// One check of the update feed over the network: fetch the feed and its signature, verify,
// compare with the running version. One check at a time; the result arrives on the thread the
// checker lives on (the main thread in the application).

#include "update/Feed.h"

#include <QNetworkAccessManager>
#include <QObject>
#include <QPointer>
#include <QTimer>

#include <chrono>

class QNetworkReply;

namespace keelbox::update {

// Where to look and whom to trust. An empty address or key means no checks at all.
struct FeedSource {
    QUrl address;
    QByteArray publicKey; // 32 raw bytes
    bool usable() const { return address.isValid() && !address.isEmpty() && !publicKey.isEmpty(); }
};

struct CheckLimits {
    std::chrono::milliseconds timeout{15000}; // for the whole check, both files
    qint64 maxBytes = 1 << 20;                // for each file
    int maxRedirects = 5;                     // for each file
};

enum class CheckFailure {
    none,
    noFeed,          // this build has no feed (or no key)
    insecureAddress, // not https, or a redirect to such an address; detail: the address
    network,         // detail: the network layer's message
    timeout,
    tooLarge,
    tooManyRedirects,
    httpStatus,    // detail: "404 Not Found"
    unsigned_,     // no signature file
    badSignature,  // a signature that does not match
    malformedFeed, // detail: what is wrong
    cancelled,
};

struct CheckResult {
    enum class Outcome { updateFound, upToDate, failed };
    Outcome outcome = Outcome::failed;
    FeedEntry entry; // the feed as read (also when up to date)
    CheckFailure failure = CheckFailure::none;
    QString detail;
};

class UpdateChecker : public QObject {
    Q_OBJECT

public:
    UpdateChecker(FeedSource source, QString currentVersion, CheckLimits limits = {},
                  QObject* parent = nullptr);
    ~UpdateChecker() override;

    const FeedSource& source() const { return m_source; }
    const QString& currentVersion() const { return m_currentVersion; }
    bool isChecking() const { return m_checking; }

    // Starts a check; false (and nothing happens) while one runs. A source that is not usable
    // finishes at once, still through `finished`, with `noFeed` or `insecureAddress`.
    bool start();
    // Ends a running check with the `cancelled` failure.
    void cancel();

signals:
    void checkingChanged(bool checking);
    // Always queued after start() returned, never from inside it.
    void finished(const keelbox::update::CheckResult& result);

private:
    void fetch(const QUrl& url);
    void fetched(QNetworkReply* reply);
    void fail(CheckFailure failure, const QString& detail = {});
    void finish(CheckResult result);

    FeedSource m_source;
    QString m_currentVersion;
    CheckLimits m_limits;
    QNetworkAccessManager m_network;
    QTimer m_deadline;
    QPointer<QNetworkReply> m_reply;
    CheckFailure m_abortReason = CheckFailure::none;
    int m_redirects = 0;   // followed for the file being fetched
    QByteArray m_document; // the feed, while its signature is fetched
    bool m_checking = false;
};

} // namespace keelbox::update

Q_DECLARE_METATYPE(keelbox::update::CheckResult)
