#include "localization/StringTable.h"
#include "localization/Format.h"

#include <gtest/gtest.h>

#include <set>
#include <string>
#include <vector>

namespace keelbox {
namespace {

// The placeholders of a text in order, e.g. {"%ld", "%@"}.
std::vector<std::string> placeholders(std::string_view text) {
    std::vector<std::string> found;
    for (std::size_t i = 0; i + 1 < text.size(); ++i) {
        if (text[i] != '%')
            continue;
        if (text[i + 1] == '%') {
            ++i;
        } else if (text[i + 1] == '@') {
            found.emplace_back("%@");
            ++i;
        } else if (text.substr(i + 1, 2) == "ld") {
            found.emplace_back("%ld");
            i += 2;
        } else {
            found.emplace_back("stray %");
        }
    }
    return found;
}

TEST(StringTable, EveryEntryOfEveryListIsCompleteAndConsistent) {
    std::set<std::string_view> seen;
    for (const auto& list : allStringLists()) {
        for (const auto& entry : list) {
            SCOPED_TRACE(std::string(entry.key));
            EXPECT_TRUE(seen.insert(entry.key).second) << "duplicate key";
            EXPECT_FALSE(entry.english.empty());
            EXPECT_FALSE(entry.polish.empty());
            EXPECT_EQ(placeholders(entry.english), placeholders(entry.polish));
        }
    }
}

TEST(StringTable, LookupFallsBackToEnglishThenToTheKey) {
    static const StringEntry first[] = {
        {"both", "English", "Polski"},
        {"englishOnly", "Only English", ""},
        {"neither", "", ""},
    };
    static const StringEntry second[] = {
        {"both", "Shadowed", "Przesłonięty"},
        {"late", "Late", "Późny"},
    };
    const StringTable table({first, second});
    struct Row {
        const char* key;
        AppLanguage language;
        const char* expected;
    };
    const Row rows[] = {
        {"both", AppLanguage::polish, "Polski"},
        {"both", AppLanguage::english, "English"},
        {"englishOnly", AppLanguage::polish, "Only English"},
        {"neither", AppLanguage::polish, "neither"},
        {"late", AppLanguage::polish, "Późny"},
        {"missing", AppLanguage::english, "missing"},
        {"BOTH", AppLanguage::english, "BOTH"},
        {"", AppLanguage::polish, ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(table.text(row.key, row.language), row.expected) << row.key;
    // The shared table: looked up in the asked language, then filled.
    EXPECT_EQ(formatLocalized("err.ejectNamed", AppLanguage::polish, {"STICK", "busy"}),
              "Nie udało się wysunąć STICK: busy");
    EXPECT_EQ(formatLocalized("menu.nonexistent", AppLanguage::polish, {}), "menu.nonexistent");
}

} // namespace
} // namespace keelbox
