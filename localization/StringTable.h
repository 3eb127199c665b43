#pragma once
// The table behind localizedText: entries from the base table and from each owner's extra
// table, merged once into one read-only index.

#include "localization/Language.h"

#include <span>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace keelbox {

// One key with its two texts. Both texts carry the same placeholders in the same order.
struct StringEntry {
    std::string_view key;
    std::string_view english;
    std::string_view polish;
};

// The base vocabulary of the application.
std::span<const StringEntry> baseStrings();
// Extra texts, one list per owner: EngineStrings.cpp, AppStrings.cpp, CliStrings.cpp,
// UpdateStrings.cpp, WindowStrings.cpp.
std::span<const StringEntry> engineStrings();
std::span<const StringEntry> appStrings();
std::span<const StringEntry> cliStrings();
std::span<const StringEntry> updateStrings();
std::span<const StringEntry> windowStrings();

// Every list above, in the order in which they are merged.
std::vector<std::span<const StringEntry>> allStringLists();
// The Linux desktop's wording of base texts that name another platform (LinuxWording.cpp).
std::span<const StringEntry> linuxWording();

// A lookup over a set of lists. A key that appears twice keeps its first entry; an empty text
// counts as missing, so the lookup falls back to English and then to the key. An entry of
// `overlay` replaces the texts of a key the lists have and adds no key of its own.
class StringTable {
public:
    explicit StringTable(const std::vector<std::span<const StringEntry>>& lists,
                         std::span<const StringEntry> overlay = {});

    std::string text(std::string_view key, AppLanguage language) const;

    // The process-wide table, built on first use.
    static const StringTable& shared();

private:
    std::unordered_map<std::string_view, const StringEntry*> m_index;
};

} // namespace keelbox
