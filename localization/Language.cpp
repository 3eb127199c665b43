#include "localization/Language.h"

#include "localization/StringTable.h"

namespace keelbox {

std::string_view rawValue(AppLanguage language) {
    return language == AppLanguage::polish ? "pl" : "en";
}

std::optional<AppLanguage> appLanguageFromRaw(std::string_view raw) {
    if (raw == "pl")
        return AppLanguage::polish;
    if (raw == "en")
        return AppLanguage::english;
    return std::nullopt;
}

std::string_view displayName(AppLanguage language) {
    return language == AppLanguage::polish ? "Polski" : "English";
}

std::string localizedText(std::string_view key, AppLanguage language) {
    return StringTable::shared().text(key, language);
}

AppLanguage startingLanguage(const std::optional<std::string>& stored,
                             const std::vector<std::string>& preferredLanguages) {
    if (stored) {
        if (const auto language = appLanguageFromRaw(*stored))
            return *language;
    }
    const std::string_view first =
        preferredLanguages.empty() ? std::string_view("en") : preferredLanguages.front();
    // Case-sensitive prefix test: "pl", "pl_PL", "pl-PL" and "pl_PL.UTF-8" all mean Polish.
    return first.starts_with("pl") ? AppLanguage::polish : AppLanguage::english;
}

} // namespace keelbox
