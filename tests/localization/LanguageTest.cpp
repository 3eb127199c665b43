#include "localization/Language.h"

#include <gtest/gtest.h>

namespace keelbox {

TEST(AppLanguage, StartingLanguage) {
    using Prefs = std::vector<std::string>;
    const struct {
        std::optional<std::string> stored;
        Prefs preferred;
        AppLanguage expected;
    } rows[] = {
        // A stored language that is not offered, and one that is (English, with Polish preferred),
        // are ServicesTest::languageChoiceIsRemembered…'s.
        {"PL", {"en"}, AppLanguage::english},
        {std::nullopt, {"pl_PL.UTF-8", "en"}, AppLanguage::polish},
        {std::nullopt, {"en-US", "pl"}, AppLanguage::english},
        {std::nullopt, {"PL"}, AppLanguage::english},
        {"", {}, AppLanguage::english},
    };
    for (const auto& row : rows)
        EXPECT_EQ(startingLanguage(row.stored, row.preferred), row.expected)
            << row.stored.value_or("<none>") << " / " << testing::PrintToString(row.preferred);
}

} // namespace keelbox
