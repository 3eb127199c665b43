#pragma once
// The update checks of the running application: the feed this build trusts, the automatic-check
// preference (at start, then once a day), the skipped version, and the results handed on as
// "found" or "nothing new". A check that fails changes nothing.

#include "app/Preferences.h"
#include "localization/Language.h"
#include "update/UpdateChecker.h"

#include <QObject>
#include <QProcessEnvironment>
#include <QTimer>

#include <memory>

namespace keelbox::update {

// The feed built in (the KEELBOX_UPDATE_FEED_URL and KEELBOX_UPDATE_PUBLIC_KEY CMake options).
// A build without both has no feed, whatever is set at run time. With one, the address can be
// replaced by KEELBOX_UPDATE_FEED in the environment or "updates/feedURL" in the preferences
// (administrators put it in /etc/xdg/keelbox/keelbox.conf).
FeedSource builtInFeed();
FeedSource configuredFeed(const FeedSource& builtIn, const app::Preferences& preferences,
                          const QProcessEnvironment& environment);

// The feed the running Keelbox uses with the user's preferences.
FeedSource applicationFeed(const app::Preferences& preferences);

// Keelbox's own version.
QString runningVersion();

// A failed check in plain words.
std::string failureText(const CheckResult& result, AppLanguage language);

class UpdateService : public QObject {
    Q_OBJECT

public:
    enum class CheckKind { background, userInitiated };

    UpdateService(FeedSource source, QString currentVersion,
                  std::shared_ptr<app::Preferences> preferences, CheckLimits limits = {},
                  QObject* parent = nullptr);
    // The running application's: built-in feed with its overrides, the user's preferences.
    static std::unique_ptr<UpdateService> forApplication();

    // A feed is configured and no check runs.
    bool canCheck() const;
    bool hasFeed() const { return m_checker.source().usable(); }
    const UpdateChecker& checker() const { return m_checker; }

    // Stored under "updates/automaticChecks"; on by default only where there is a feed.
    bool automaticChecks() const;
    void setAutomaticChecks(bool on);

    // The version the user chose to skip: background checks keep quiet about it, and the update
    // announced now is withdrawn.
    QString skippedVersion() const;
    void skipVersion(const QString& version);

    // With automatic checks on: a background check now and then once every `interval`.
    void start(std::chrono::milliseconds interval = std::chrono::hours(24));

    // False when no check can start now (no feed, or one is running).
    bool check(CheckKind kind);
    void cancel() { m_checker.cancel(); }

signals:
    void canCheckChanged(bool can);
    // The outcome of a completed check, as the update state shows it.
    void foundUpdate(const keelbox::update::FeedEntry& entry);
    void foundNoUpdate();
    // Every check's end, failures and cancelled ones included.
    void checkFinished(const keelbox::update::CheckResult& result,
                       keelbox::update::UpdateService::CheckKind kind);

private:
    void finished(const CheckResult& result);

    UpdateChecker m_checker;
    std::shared_ptr<app::Preferences> m_preferences;
    QTimer m_daily;
    CheckKind m_running = CheckKind::background;
};

} // namespace keelbox::update
