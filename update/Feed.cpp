#include "update/Feed.h"

#include "core/ShownText.h"
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
    // Sizes no release needs: the fields are shown, and a version is parsed.
    for (const auto& [key, limit] : {std::pair{"version", 64},
                                     {"displayVersion", 64},
                                     {"releaseDate", 10},
                                     {"releaseNotes", 20000},
                                     {"downloadPage", 2000}}) {
        if (object.value(QLatin1String(key)).toString().size() > limit)
            return {std::nullopt,
                    QStringLiteral("“%1” is longer than %2 characters").arg(key).arg(limit)};
    }
    FeedEntry entry;
    entry.version = object.value(QLatin1String("version")).toString();
    if (!parseVersion(entry.version.toStdString()))
        return {std::nullopt, QStringLiteral("“%1” is not a version").arg(entry.version)};
    // Shown in the panel, the dialog and the terminal: inert from here on, like the notes.
    entry.displayVersion = QString::fromStdString(shownName(
        object.value(QLatin1String("displayVersion")).toString().trimmed().toStdString(), 64));
    if (entry.displayVersion.isEmpty())
        entry.displayVersion = entry.version;
    const QString date = object.value(QLatin1String("releaseDate")).toString();
    entry.releaseDate = QDate::fromString(date, Qt::ISODate);
    if (!entry.releaseDate.isValid())
        return {std::nullopt, QStringLiteral("“%1” is not a date (YYYY-MM-DD)").arg(date)};
    entry.releaseNotes = QString::fromStdString(
        inertLines(object.value(QLatin1String("releaseNotes")).toString().toStdString()));
    const QString page = object.value(QLatin1String("downloadPage")).toString();
    entry.downloadPage = QUrl(page, QUrl::StrictMode);
    // The user's browser opens it: https only, this machine included.
    if (!entry.downloadPage.isValid() || entry.downloadPage.scheme() != QLatin1String("https") ||
        entry.downloadPage.host().isEmpty())
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
