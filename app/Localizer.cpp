#include "app/Localizer.h"

namespace keelbox::app {

Localizer::Localizer(std::shared_ptr<Preferences> preferences,
                     const std::vector<std::string>& preferredLanguages, QObject* parent)
    : QObject(parent), m_preferences(std::move(preferences)) {
    std::optional<std::string> stored;
    if (m_preferences) {
        if (auto value = m_preferences->stringValue(PreferenceKey::appLanguage))
            stored = value->toStdString();
    }
    m_language = keelbox::startingLanguage(stored, preferredLanguages);
}

Localizer& Localizer::shared() {
    static Localizer* const instance = new Localizer(
        Preferences::shared(), preferredLanguages(QProcessEnvironment::systemEnvironment()));
    return *instance;
}

void Localizer::apply(AppLanguage language) {
    if (language == m_language)
        return;
    m_language = language;
    emit languageChanged();
}

std::optional<QString> Localizer::setLanguage(AppLanguage language) {
    apply(language);
    if (!m_preferences)
        return std::nullopt;
    return m_preferences->setString(PreferenceKey::appLanguage,
                                    QString::fromUtf8(rawValue(language)));
}

void Localizer::useLanguageForSession(AppLanguage language) {
    apply(language);
}

std::string Localizer::text(std::string_view key, std::initializer_list<FormatArg> args) const {
    return formatLocalized(key, m_language, args);
}

QString Localizer::qtext(std::string_view key, std::initializer_list<FormatArg> args) const {
    return QString::fromStdString(text(key, args));
}

std::vector<std::string> preferredLanguages(const QProcessEnvironment& environment) {
    std::vector<std::string> languages;
    auto add = [&](const QString& entry) {
        const QString trimmed = entry.trimmed();
        if (trimmed.isEmpty() || trimmed == QLatin1String("C") ||
            trimmed == QLatin1String("POSIX") || trimmed.startsWith(QLatin1String("C.")))
            return;
        languages.push_back(trimmed.toStdString());
    };
    const QString languageList = environment.value(QStringLiteral("LANGUAGE"));
    for (const QString& entry : languageList.split(QLatin1Char(':'), Qt::SkipEmptyParts))
        add(entry);
    for (const char* name : {"LC_ALL", "LC_MESSAGES", "LANG"})
        add(environment.value(QString::fromLatin1(name)));
    return languages;
}

} // namespace keelbox::app
