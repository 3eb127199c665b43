#pragma once
// The update feed: one small JSON document describing the newest release, and beside it a
// detached Ed25519 signature of its exact bytes (README, "Update feed").

#include <QByteArray>
#include <QDate>
#include <QString>
#include <QUrl>

#include <optional>

namespace keelbox::update {

struct FeedEntry {
    QString version;        // compared with ours (Version.h)
    QString displayVersion; // shown to the user; the version when the feed gives none
    QDate releaseDate;
    QString releaseNotes;
    QUrl downloadPage;
};

struct FeedParse {
    std::optional<FeedEntry> entry;
    QString error; // what is wrong, in the feed's own terms, when there is no entry
};

// Reads a feed whose signature was already checked.
FeedParse parseFeed(const QByteArray& document);

// A public key as the build options and --public-key give it: 32 bytes in base64. Empty when the
// text is not one.
QByteArray decodePublicKey(const QString& base64);

// Whether `signatureFile` (64 bytes in base64, surrounding white space allowed) is a valid
// signature of `document` by `publicKey` (32 raw bytes).
bool signatureMatches(const QByteArray& document, const QByteArray& signatureFile,
                      const QByteArray& publicKey);

// The addresses Keelbox fetches from or sends the user to: https, or http to this machine only.
bool isTrustedAddress(const QUrl& url);

} // namespace keelbox::update
