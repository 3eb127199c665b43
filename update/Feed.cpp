#include "update/Feed.h"

#include "update/Version.h"

#include <QHostAddress>
#include <QJsonDocument>
#include <QJsonObject>

#include <sodium.h>

namespace keelbox::update {

namespace {

bool sodiumReady() {
    static const bool ready = ::sodium_init() >= 0;
    return ready;
}

QByteArray strictBase64(const QByteArray& text) {
    const auto decoded = QByteArray::fromBase64Encoding(
        text.trimmed(), QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? *decoded : QByteArray();
}

} // namespace

FeedParse parseFeed(const QByteArray& document) {
    QJsonParseError jsonError{};
    const QJsonDocument json = QJsonDocument::fromJson(document, &jsonError);
    if (jsonError.error != QJsonParseError::NoError)
        return {std::nullopt, jsonError.errorString()};
    if (!json.isObject())
        return {std::nullopt, QStringLiteral("not a JSON object")};
    const QJsonObject object = json.object();
    for (const char* key :
         {"version", "displayVersion", "releaseDate", "releaseNotes", "downloadPage"}) {
        if (!object.value(QLatin1String(key)).isString())
            return {std::nullopt, QStringLiteral("“%1” is missing or not text").arg(key)};
    }
    FeedEntry entry;
    entry.version = object.value(QLatin1String("version")).toString();
    if (!parseVersion(entry.version.toStdString()))
        return {std::nullopt, QStringLiteral("“%1” is not a version").arg(entry.version)};
    entry.displayVersion = object.value(QLatin1String("displayVersion")).toString().trimmed();
    if (entry.displayVersion.isEmpty())
        entry.displayVersion = entry.version;
    const QString date = object.value(QLatin1String("releaseDate")).toString();
    entry.releaseDate = QDate::fromString(date, Qt::ISODate);
    if (!entry.releaseDate.isValid())
        return {std::nullopt, QStringLiteral("“%1” is not a date (YYYY-MM-DD)").arg(date)};
    entry.releaseNotes = object.value(QLatin1String("releaseNotes")).toString();
    const QString page = object.value(QLatin1String("downloadPage")).toString();
    entry.downloadPage = QUrl(page, QUrl::StrictMode);
    if (!entry.downloadPage.isValid() || !isTrustedAddress(entry.downloadPage))
        return {std::nullopt, QStringLiteral("“%1” is not an https address").arg(page)};
    return {entry, {}};
}

QByteArray decodePublicKey(const QString& base64) {
    const QByteArray key = strictBase64(base64.toLatin1());
    return key.size() == crypto_sign_PUBLICKEYBYTES ? key : QByteArray();
}

bool signatureMatches(const QByteArray& document, const QByteArray& signatureFile,
                      const QByteArray& publicKey) {
    const QByteArray signature = strictBase64(signatureFile);
    if (!sodiumReady() || signature.size() != crypto_sign_BYTES ||
        publicKey.size() != crypto_sign_PUBLICKEYBYTES)
        return false;
    return ::crypto_sign_verify_detached(
               reinterpret_cast<const unsigned char*>(signature.constData()),
               reinterpret_cast<const unsigned char*>(document.constData()),
               static_cast<unsigned long long>(document.size()),
               reinterpret_cast<const unsigned char*>(publicKey.constData())) == 0;
}

bool isTrustedAddress(const QUrl& url) {
    if (url.scheme() == QLatin1String("https"))
        return !url.host().isEmpty();
    if (url.scheme() != QLatin1String("http"))
        return false;
    const QString host = url.host();
    return host == QLatin1String("localhost") || QHostAddress(host).isLoopback();
}

} // namespace keelbox::update
