#include "update/UpdateService.h"

#include "core/ShownText.h"
#include "localization/Format.h"

#ifndef KEELBOX_VERSION
#error "KEELBOX_VERSION, KEELBOX_UPDATE_FEED_URL and KEELBOX_UPDATE_PUBLIC_KEY come from CMake"
#endif

namespace keelbox::update {

FeedSource builtInFeed() {
    return {QUrl(QStringLiteral(KEELBOX_UPDATE_FEED_URL)),
            decodePublicKey(QStringLiteral(KEELBOX_UPDATE_PUBLIC_KEY))};
}

FeedSource configuredFeed(const FeedSource& builtIn, const app::Preferences& preferences,
                          const QProcessEnvironment& environment) {
    if (!builtIn.usable())
        return {};
    FeedSource source = builtIn;
    QString address = environment.value(QStringLiteral("KEELBOX_UPDATE_FEED"));
    if (address.isEmpty())
        address = preferences.stringValue(app::PreferenceKey::feedAddress).value_or(QString());
    if (!address.isEmpty())
        source.address = QUrl(address);
    return source;
}

FeedSource applicationFeed(const app::Preferences& preferences) {
    return configuredFeed(builtInFeed(), preferences, QProcessEnvironment::systemEnvironment());
}

QString runningVersion() {
    return QStringLiteral(KEELBOX_VERSION);
}

std::string failureText(const CheckResult& result, AppLanguage language) {
    // Addresses, the server's reason phrase, what is wrong with a feed: the server's words, inert.
    const std::string detail = shownName(result.detail.toStdString(), 200);
    switch (result.failure) {
    case CheckFailure::none:
        break;
    case CheckFailure::noFeed:
        return localizedText("update.err.noFeed", language);
    case CheckFailure::insecureAddress:
        return formatText(localizedText("update.err.insecure", language), {detail});
    case CheckFailure::network:
        return formatText(localizedText("update.err.network", language), {detail});
    case CheckFailure::timeout:
        return localizedText("update.err.timeout", language);
    case CheckFailure::tooLarge:
        return localizedText("update.err.tooLarge", language);
    case CheckFailure::tooManyRedirects:
        return localizedText("update.err.redirects", language);
    case CheckFailure::httpStatus:
        return formatText(localizedText("update.err.http", language), {detail});
    case CheckFailure::unsigned_:
        return localizedText("update.err.unsigned", language);
    case CheckFailure::badSignature:
        return localizedText("update.err.badSignature", language);
    case CheckFailure::malformedFeed:
        return formatText(localizedText("update.err.malformed", language), {detail});
    case CheckFailure::cancelled:
        return localizedText("update.err.cancelled", language);
    }
    return {};
}

UpdateService::UpdateService(FeedSource source, QString currentVersion,
                             std::shared_ptr<app::Preferences> preferences, CheckLimits limits,
                             QObject* parent)
    : QObject(parent), m_checker(std::move(source), std::move(currentVersion), limits),
      m_preferences(std::move(preferences)) {
    connect(&m_checker, &UpdateChecker::checkingChanged, this,
            [this] { emit canCheckChanged(canCheck()); });
    connect(&m_checker, &UpdateChecker::finished, this, &UpdateService::finished);
    connect(&m_daily, &QTimer::timeout, this, [this] {
        if (automaticChecks())
            check(CheckKind::background);
    });
}

std::unique_ptr<UpdateService> UpdateService::forApplication() {
    auto preferences = app::Preferences::shared();
    const FeedSource source = applicationFeed(*preferences);
    return std::make_unique<UpdateService>(source, runningVersion(), std::move(preferences));
}

bool UpdateService::canCheck() const {
    return hasFeed() && !m_checker.isChecking();
}

bool UpdateService::automaticChecks() const {
    return hasFeed() && m_preferences->boolValue(app::PreferenceKey::automaticChecks, true);
}

void UpdateService::setAutomaticChecks(bool on) {
    m_preferences->setBool(app::PreferenceKey::automaticChecks, on);
}

QString UpdateService::skippedVersion() const {
    return m_preferences->stringValue(app::PreferenceKey::skippedVersion).value_or(QString());
}

void UpdateService::skipVersion(const QString& version) {
    m_preferences->setString(app::PreferenceKey::skippedVersion, version);
    // The announced update was this one: nothing is announced any more.
    emit foundNoUpdate();
}

void UpdateService::start(std::chrono::milliseconds interval) {
    if (!hasFeed())
        return;
    // The timer runs either way, so that switching automatic checks on later needs no restart.
    m_daily.start(interval);
    if (automaticChecks())
        check(CheckKind::background);
}

bool UpdateService::check(CheckKind kind) {
    if (!canCheck())
        return false;
    m_running = kind;
    return m_checker.start();
}

void UpdateService::finished(const CheckResult& result) {
    const CheckKind kind = m_running;
    switch (result.outcome) {
    case CheckResult::Outcome::updateFound:
        // The user asked: tell them even about the version they skipped.
        if (kind == CheckKind::userInitiated || result.entry.version != skippedVersion())
            emit foundUpdate(result.entry);
        else
            emit foundNoUpdate();
        break;
    case CheckResult::Outcome::upToDate:
        emit foundNoUpdate();
        break;
    case CheckResult::Outcome::failed:
        break;
    }
    emit checkFinished(result, kind);
}

} // namespace keelbox::update
