#pragma once
// The observable interface language: the current `language`, announced to every view when it
// changes and remembered under "appLanguage" between launches.

#include "app/Preferences.h"
#include "localization/Format.h"
#include "localization/Language.h"

#include <QObject>
#include <QProcessEnvironment>

#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox::app {

class Localizer : public QObject {
    Q_OBJECT

public:
    // Starts with the stored choice when it is "pl" or "en", otherwise with the first of
    // `preferredLanguages`. Writes nothing.
    Localizer(std::shared_ptr<Preferences> preferences,
              const std::vector<std::string>& preferredLanguages, QObject* parent = nullptr);

    // The process-wide instance, on the user's preferences and environment.
    static Localizer& shared();

    AppLanguage language() const { return m_language; }
    // Announces the new language, then stores its code under "appLanguage" (also when unchanged).
    // Gives the message of a failed store; the language stays in use for this run.
    std::optional<QString> setLanguage(AppLanguage language);
    // For this run only (the watch command's --language): announced, not stored.
    void useLanguageForSession(AppLanguage language);

    // The text of `key` in the current language, placeholders filled.
    std::string text(std::string_view key, std::initializer_list<FormatArg> args = {}) const;
    QString qtext(std::string_view key, std::initializer_list<FormatArg> args = {}) const;

signals:
    void languageChanged();

private:
    void apply(AppLanguage language);

    std::shared_ptr<Preferences> m_preferences;
    AppLanguage m_language = AppLanguage::english;
};

// The user's preferred languages, most wanted first, as the C library sees them: the entries of
// LANGUAGE, then LC_ALL, LC_MESSAGES and LANG; "C" and "POSIX" name no language.
std::vector<std::string> preferredLanguages(const QProcessEnvironment& environment);

} // namespace keelbox::app
