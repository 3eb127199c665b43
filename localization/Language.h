#pragma once
// The interface languages and the lookup of texts by key. Qt-free: the engine calls it from its own
// thread, the application state and the views from the main thread.

#include <array>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox {

enum class AppLanguage { polish, english };

inline constexpr std::array<AppLanguage, 2> allLanguages{AppLanguage::polish, AppLanguage::english};

// "pl" or "en".
std::string_view rawValue(AppLanguage language);
// Exactly "pl" or "en" (case-sensitive); anything else gives nothing.
std::optional<AppLanguage> appLanguageFromRaw(std::string_view raw);
// The language's own name for itself: "Polski", "English".
std::string_view displayName(AppLanguage language);

// The language to start with: the stored choice when it is "pl" or "en", otherwise the first of the
// user's preferred languages ("pl", "pl_PL", "pl-PL" mean Polish), English when the list is empty.
AppLanguage startingLanguage(const std::optional<std::string>& stored,
                             const std::vector<std::string>& preferredLanguages);

// The text of `key` in `language`; falls back to English, then to the key itself.
// Safe from any thread: the table is built once on first use and never changes.
std::string localizedText(std::string_view key, AppLanguage language);

} // namespace keelbox
