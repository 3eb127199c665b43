#include "update/UpdateChecker.h"

#include "update/Version.h"

#include <QHostAddress>
#include <QNetworkProxyFactory>
#include <QNetworkReply>

namespace keelbox::update {

namespace {

// The desktop's proxy settings (the proxy environment variables on Linux), except for this
// machine, which is never reached through a proxy.
class SystemProxies : public QNetworkProxyFactory {
public:
    QList<QNetworkProxy> queryProxy(const QNetworkProxyQuery& query) override {
        const QString host = query.peerHostName();
        if (host == QLatin1String("localhost") || QHostAddress(host).isLoopback())
            return {QNetworkProxy(QNetworkProxy::NoProxy)};
        return systemProxyForQuery(query);
    }
};

QUrl signatureAddress(QUrl feed) {
    feed.setPath(feed.path() + QLatin1String(".sig"));
    return feed;
}

} // namespace

UpdateChecker::UpdateChecker(FeedSource source, QString currentVersion, CheckLimits limits,
                             QObject* parent)
    : QObject(parent), m_source(std::move(source)), m_currentVersion(std::move(currentVersion)),
      m_limits(limits) {
    m_network.setProxyFactory(new SystemProxies);
    m_deadline.setSingleShot(true);
    connect(&m_deadline, &QTimer::timeout, this, [this] {
        if (m_reply) {
            m_abortReason = CheckFailure::timeout;
            m_reply->abort();
        }
    });
}

UpdateChecker::~UpdateChecker() {
    if (m_reply) {
        m_reply->disconnect(this);
        m_reply->abort();
    }
}

bool UpdateChecker::start() {
    if (m_checking)
        return false;
    m_checking = true;
    emit checkingChanged(true);
    if (!m_source.usable()) {
        QMetaObject::invokeMethod(
            this, [this] { fail(CheckFailure::noFeed); }, Qt::QueuedConnection);
    } else if (!isTrustedAddress(m_source.address)) {
        QMetaObject::invokeMethod(
            this, [this] { fail(CheckFailure::insecureAddress, m_source.address.toString()); },
            Qt::QueuedConnection);
    } else {
        m_deadline.start(m_limits.timeout);
        fetch(m_source.address);
    }
    return true;
}

void UpdateChecker::cancel() {
    if (m_reply) {
        m_abortReason = CheckFailure::cancelled;
        m_reply->abort();
    }
}

void UpdateChecker::fetch(const QUrl& url) {
    QNetworkRequest request(url);
    // Redirects are followed here, so that every hop is checked like the address itself.
    request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                         QNetworkRequest::ManualRedirectPolicy);
    request.setHeader(QNetworkRequest::UserAgentHeader,
                      QStringLiteral("Keelbox/%1").arg(m_currentVersion));
    QNetworkReply* reply = m_network.get(request);
    m_reply = reply;
    connect(reply, &QNetworkReply::downloadProgress, this,
            [this, reply](qint64 received, qint64 total) {
                if (received > m_limits.maxBytes || total > m_limits.maxBytes) {
                    m_abortReason = CheckFailure::tooLarge;
                    reply->abort();
                }
            });
    connect(reply, &QNetworkReply::finished, this, [this, reply] { fetched(reply); });
}

void UpdateChecker::fetched(QNetworkReply* reply) {
    reply->deleteLater();
    m_reply = nullptr;
    const bool isSignature = !m_document.isNull();
    if (m_abortReason != CheckFailure::none)
        return fail(m_abortReason);
    const int status = reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    if (status == 0)
        return fail(CheckFailure::network, reply->errorString());
    const QUrl target = reply->attribute(QNetworkRequest::RedirectionTargetAttribute).toUrl();
    if (status >= 300 && status < 400 && target.isValid()) {
        const QUrl next = reply->url().resolved(target);
        if (++m_redirects > m_limits.maxRedirects)
            return fail(CheckFailure::tooManyRedirects);
        if (!isTrustedAddress(next))
            return fail(CheckFailure::insecureAddress, next.toString());
        return fetch(next);
    }
    if (isSignature && status == 404)
        return fail(CheckFailure::unsigned_);
    if (status != 200) {
        const QString phrase =
            reply->attribute(QNetworkRequest::HttpReasonPhraseAttribute).toString();
        return fail(CheckFailure::httpStatus, QStringLiteral("%1 %2").arg(status).arg(phrase));
    }
    const QByteArray body = reply->readAll();
    if (body.size() > m_limits.maxBytes)
        return fail(CheckFailure::tooLarge);
    if (!isSignature) {
        // Not null from here on, even for an empty feed: the next reply is the signature, which
        // has redirects of its own to follow.
        m_document = body.isNull() ? QByteArray("") : body;
        m_redirects = 0;
        return fetch(signatureAddress(m_source.address));
    }
    if (!signatureMatches(m_document, body, m_source.publicKey))
        return fail(CheckFailure::badSignature);
    FeedParse feed = parseFeed(m_document);
    if (!feed.entry)
        return fail(CheckFailure::malformedFeed, feed.error);
    CheckResult result;
    result.entry = *feed.entry;
    result.outcome =
        isNewerVersion(result.entry.version.toStdString(), m_currentVersion.toStdString())
            ? CheckResult::Outcome::updateFound
            : CheckResult::Outcome::upToDate;
    finish(std::move(result));
}

void UpdateChecker::fail(CheckFailure failure, const QString& detail) {
    CheckResult result;
    result.failure = failure;
    result.detail = detail;
    finish(std::move(result));
}

void UpdateChecker::finish(CheckResult result) {
    m_deadline.stop();
    m_document = QByteArray();
    m_abortReason = CheckFailure::none;
    m_redirects = 0;
    m_checking = false;
    emit checkingChanged(false);
    emit finished(result);
}

} // namespace keelbox::update
