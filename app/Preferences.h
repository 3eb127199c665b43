#pragma once
// The per-user preferences in an ini file under the XDG config folder
// (~/.config/keelbox/keelbox.conf unless XDG_CONFIG_HOME says otherwise, with
// /etc/xdg/keelbox/keelbox.conf behind it). Every key Keelbox stores is in `PreferenceKey`.

#include <QString>
#include <QVariant>

#include <memory>
#include <optional>

class QSettings;

namespace keelbox::app {

// The keys of the store, in one table.
struct PreferenceKey {
    static inline const QString autoBackup = QStringLiteral("autoBackup");
    static inline const QString notify = QStringLiteral("notify");
    static inline const QString appLanguage = QStringLiteral("appLanguage");
    // The [updates] group, which the README documents.
    static inline const QString automaticChecks = QStringLiteral("updates/automaticChecks");
    static inline const QString skippedVersion = QStringLiteral("updates/skippedVersion");
    static inline const QString feedAddress = QStringLiteral("updates/feedURL");
};

class Preferences {
public:
    // The user's own store.
    Preferences();
    // A store in the given ini file (tests, tools).
    explicit Preferences(const QString& iniFile);
    ~Preferences();
    Preferences(const Preferences&) = delete;
    Preferences& operator=(const Preferences&) = delete;

    // The process-wide store, created on first use.
    static std::shared_ptr<Preferences> shared();

    // The stored boolean, or nothing when the key is missing or holds anything else.
    std::optional<bool> boolValue(const QString& key) const;
    // A stored boolean, or `fallback` for a missing or non-boolean value.
    bool boolValue(const QString& key, bool fallback) const;
    // Stores the value and writes the file at once: a relaunch or a second process reads the
    // file, not this object. Gives a message naming the file when it could not be written.
    std::optional<QString> setBool(const QString& key, bool value);

    std::optional<QString> stringValue(const QString& key) const;
    std::optional<QString> setString(const QString& key, const QString& value);

    // Where the values live (for messages and tests).
    QString fileName() const;

private:
    std::optional<QString> store(const QString& key, const QVariant& value);

    std::unique_ptr<QSettings> m_settings;
};

// How a stored value reads as a boolean: a real boolean, or the words "true" and "false" that the
// ini format writes for one. Anything else (numbers, other words, lists) is not a boolean.
std::optional<bool> storedBoolean(const QVariant& value);

} // namespace keelbox::app
