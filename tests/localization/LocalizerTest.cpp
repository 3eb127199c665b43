#include "localization/Localizer.h"

#include <gtest/gtest.h>

#include <thread>

namespace keelbox {
namespace {

TEST(AppLanguage, OnlyExactRawValuesRoundTrip) {
    for (const auto language : allLanguages)
        EXPECT_EQ(appLanguageFromRaw(rawValue(language)), language);
    for (const char* raw : {"PL", "En", "pl ", " en", "pl-PL", "", "de", "polish"})
        EXPECT_EQ(appLanguageFromRaw(raw), std::nullopt) << raw;
}

TEST(Localizer, StartingLanguage) {
    using Prefs = std::vector<std::string>;
    struct Row {
        std::optional<std::string> stored;
        Prefs preferred;
        AppLanguage expected;
    };
    const Row rows[] = {
        {"en", {"pl-PL"}, AppLanguage::english},
        {"pl", {"en-US"}, AppLanguage::polish},
        {"de", {"pl"}, AppLanguage::polish},
        {"de", {"en-GB"}, AppLanguage::english},
        {"PL", {"en"}, AppLanguage::english},
        {std::nullopt, {}, AppLanguage::english},
        {std::nullopt, {"pl-PL", "en"}, AppLanguage::polish},
        {std::nullopt, {"pl_PL.UTF-8"}, AppLanguage::polish},
        {std::nullopt, {"en-US", "pl"}, AppLanguage::english},
        {std::nullopt, {"de-DE"}, AppLanguage::english},
        {std::nullopt, {"PL"}, AppLanguage::english},
        {"", {}, AppLanguage::english},
    };
    for (const auto& row : rows) {
        EXPECT_EQ(Localizer::startingLanguage(row.stored, row.preferred), row.expected)
            << row.stored.value_or("<none>") << " / "
            << (row.preferred.empty() ? "<empty>" : row.preferred.front());
    }
}

TEST(Localizer, ConcurrentFirstLookupsAgree) {
    std::vector<std::string> seen(8);
    std::vector<std::thread> threads;
    for (std::size_t i = 0; i < seen.size(); ++i)
        threads.emplace_back(
            [&seen, i] { seen[i] = Localizer::text("engine.noSpace", AppLanguage::polish); });
    for (auto& thread : threads)
        thread.join();
    for (const auto& text : seen)
        EXPECT_EQ(text, "Za mało miejsca na dysku docelowym.");
}

} // namespace
} // namespace keelbox
