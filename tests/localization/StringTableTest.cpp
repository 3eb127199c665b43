#include "localization/StringTable.h"
#include "localization/Format.h"
#include "localization/Localizer.h"

#include <gtest/gtest.h>

#include <algorithm>
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

const StringEntry* linuxEntry(std::string_view key) {
    for (const auto& entry : linuxWording()) {
        if (entry.key == key)
            return &entry;
    }
    return nullptr;
}

// Every list's entries, and the Linux wording over them: both languages present, the same
// placeholders, and what the lookup shows never names the other desktop platform.
TEST(StringTable, EveryEntryOfEveryListIsCompleteAndConsistent) {
    std::set<std::string_view> seen;
    for (const auto& list : allStringLists()) {
        for (const auto& entry : list) {
            SCOPED_TRACE(std::string(entry.key));
            EXPECT_TRUE(seen.insert(entry.key).second) << "duplicate key";
            EXPECT_FALSE(entry.english.empty());
            EXPECT_FALSE(entry.polish.empty());
            EXPECT_EQ(placeholders(entry.english), placeholders(entry.polish));
            const StringEntry* linux = linuxEntry(entry.key);
            const StringEntry& shown = linux ? *linux : entry;
            EXPECT_EQ(Localizer::text(entry.key, AppLanguage::english), shown.english);
            EXPECT_EQ(Localizer::text(entry.key, AppLanguage::polish), shown.polish);
            for (const std::string_view text : {shown.english, shown.polish}) {
                for (const std::string_view word :
                     {"Mac", "System Settings", "Disk Utility", "Ustawienia systemowe",
                      "Narzędzie dyskowe", "menu bar", "menu-bar", "w pasku"})
                    EXPECT_EQ(text.find(word), std::string_view::npos) << text;
            }
        }
    }
    EXPECT_EQ(Localizer::allKeys().size(), seen.size());
    for (const auto& linux : linuxWording()) {
        SCOPED_TRACE(std::string(linux.key));
        const auto base = std::find_if(baseStrings().begin(), baseStrings().end(),
                                       [&](const StringEntry& e) { return e.key == linux.key; });
        ASSERT_NE(base, baseStrings().end()) << "the Linux wording overlays only base keys";
        EXPECT_FALSE(linux.english.empty());
        EXPECT_FALSE(linux.polish.empty());
        EXPECT_EQ(placeholders(linux.english), placeholders(base->english));
        EXPECT_EQ(placeholders(linux.polish), placeholders(base->polish));
    }
}

// The base table keeps its size and build order, and typographic characters arrive literally.
TEST(StringTable, BaseTableKeepsItsOrderAndCharacters) {
    const auto keys = Localizer::allKeys();
    EXPECT_EQ(baseStrings().size(), 126u);
    ASSERT_GE(keys.size(), 126u);
    EXPECT_EQ(keys.front(), "menu.refresh");
    EXPECT_EQ(keys[125], "help.config.body");
    EXPECT_EQ(Localizer::text("menu.settings", AppLanguage::english), "Settings…");
    EXPECT_EQ(Localizer::text("err.busyEject", AppLanguage::english),
              "A backup is running — wait for it to finish before ejecting.");
    EXPECT_EQ(Localizer::text("cfg.dest.note", AppLanguage::english),
              "A subfolder named after the drive is created; in dated mode, also a subfolder with "
              "today’s date.");
    EXPECT_EQ(Localizer::text("menu.refresh", AppLanguage::polish), "Odśwież listę nośników");
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
    static const StringEntry overlay[] = {
        {"late", "Later", "Później"},
        {"overlayOnly", "Never added", "Nigdy"},
    };
    const StringTable table({first, second}, overlay);
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
        {"neither", AppLanguage::english, "neither"},
        {"late", AppLanguage::polish, "Później"},
        {"overlayOnly", AppLanguage::english, "overlayOnly"},
        {"missing", AppLanguage::english, "missing"},
        {"BOTH", AppLanguage::english, "BOTH"},
        {"", AppLanguage::polish, ""},
    };
    for (const auto& row : rows)
        EXPECT_EQ(table.text(row.key, row.language), row.expected) << row.key;
    EXPECT_EQ(table.keys(), (std::vector<std::string>{"both", "englishOnly", "neither", "late"}));
    EXPECT_TRUE(table.contains("late"));
    EXPECT_FALSE(table.contains("Late"));
    EXPECT_EQ(Localizer::text("menu.nonexistent", AppLanguage::polish), "menu.nonexistent");
    EXPECT_FALSE(Localizer::hasKey("menu.nonexistent"));
}

TEST(StringTable, FilledTextsReadAsWritten) {
    EXPECT_EQ(formatLocalized("progress.files", AppLanguage::english, {3, 10, "1.5 MB"}),
              "3/10 files • 1.5 MB");
    EXPECT_EQ(formatLocalized("log.more", AppLanguage::polish, {4}), "…i 4 więcej problemów");
    EXPECT_EQ(formatLocalized("err.ejectNamed", AppLanguage::polish, {"STICK", "busy"}),
              "Nie udało się wysunąć STICK: busy");
}

} // namespace
} // namespace keelbox
