#include "localization/StringTable.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <regex>
#include <set>

namespace keelbox {
namespace {

// The placeholders of a text in order, e.g. {"%ld", "%@"}; "%%" is a plain percent sign, and a
// plural choice "%{…}" is the language's own.
std::vector<std::string> placeholders(std::string_view view) {
    static const std::regex sequence("%(%|@|ld|\\{[^}]*\\})?");
    const std::string text(view);
    std::vector<std::string> found;
    for (std::sregex_iterator it(text.begin(), text.end(), sequence), end; it != end; ++it)
        if (it->str() != "%%" && !it->str().starts_with("%{"))
            found.push_back(it->str() == "%" ? "stray %" : it->str());
    return found;
}

// Every list's entries, and the Linux wording over them: both languages present, the same
// placeholders, and what the lookup shows never names the other desktop platform.
TEST(StringTable, EveryEntryOfEveryListIsCompleteAndConsistent) {
    std::set<std::string_view> seen;
    for (const auto& list : allStringLists()) {
        for (const auto& entry : list) {
            SCOPED_TRACE(std::string(entry.key));
            EXPECT_TRUE(seen.insert(entry.key).second) << "duplicate key";
            EXPECT_FALSE(entry.english.empty() || entry.polish.empty());
            EXPECT_EQ(placeholders(entry.english), placeholders(entry.polish));
            for (const AppLanguage language : allLanguages) {
                const std::string text = localizedText(entry.key, language);
                for (const std::string_view word :
                     {"Mac", "System Settings", "Disk Utility", "Ustawienia systemowe",
                      "Narzędzie dyskowe", "menu bar", "menu-bar", "w pasku"})
                    EXPECT_EQ(text.find(word), std::string::npos) << text;
            }
        }
    }
    for (const auto& linux : linuxWording()) {
        SCOPED_TRACE(std::string(linux.key));
        const auto base = std::find_if(baseStrings().begin(), baseStrings().end(),
                                       [&](const StringEntry& e) { return e.key == linux.key; });
        ASSERT_NE(base, baseStrings().end()) << "the Linux wording overlays only base keys";
        EXPECT_FALSE(linux.english.empty() || linux.polish.empty());
        EXPECT_EQ(placeholders(linux.english), placeholders(base->english));
        EXPECT_EQ(placeholders(linux.polish), placeholders(base->polish));
        EXPECT_EQ(localizedText(linux.key, AppLanguage::english), linux.english);
    }
}

TEST(StringTable, LookupFallsBackToEnglishThenToTheKey) {
    static const StringEntry first[] = {
        {"both", "English", "Polski"}, {"englishOnly", "Only English", ""}, {"neither", "", ""}};
    static const StringEntry second[] = {{"both", "Shadowed", "Przesłonięty"}, {"late", "L", "P"}};
    static const StringEntry overlay[] = {{"late", "Later", "Później"}, {"overlayOnly", "N", "N"}};
    const StringTable table({first, second}, overlay);
    std::string got;
    for (const char* key : {"both", "englishOnly", "neither", "late"})
        got += table.text(key, AppLanguage::polish) + '|';
    for (const char* key : {"both", "overlayOnly", "BOTH"})
        got += table.text(key, AppLanguage::english) + '|';
    EXPECT_EQ(got, "Polski|Only English|neither|Później|English|overlayOnly|BOTH|");
}

} // namespace
} // namespace keelbox
