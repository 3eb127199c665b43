// The pure parts of the command line: which command the arguments select, the language, and the
// progress line's text.

#include "cli/CommandLine.h"

#include <gtest/gtest.h>

namespace keelbox::cli {

TEST(ChooseCommand, FollowsTheArgumentRules) {
    // Each command word by itself, and no word without the desktop module, is chosen in the
    // binary's own tests (tests/cli/KeelboxBinaryTest).
    const struct {
        std::vector<std::string> args;
        bool withApplication;
        Command expected;
    } rows[] = {
        // --selftest wins wherever it stands; only the exact word, other options are usage errors.
        {{"-platform", "offscreen", "--selftest"}, true, Command::selfTest},
        {{"--SELFTEST"}, true, Command::usage},
        {{}, true, Command::application},
        {{"--language", "en", "--show=log", "--show", "panel"}, true, Command::application},
        {{"--show", "help"}, false, Command::usage},
        {{"--show"}, true, Command::usage},
        {{"/media/x", "backup"}, false, Command::usage},
    };
    // --language before the command word moves behind it, where every command reads it.
    EXPECT_EQ(commandFirst({"--language", "pl", "--language=en", "backup", "X"}),
              (std::vector<std::string>{"backup", "--language", "pl", "--language=en", "X"}));
    for (const auto& row : rows)
        EXPECT_EQ(chooseCommand(row.args, row.withApplication), row.expected)
            << testing::PrintToString(row.args) << " withApplication=" << row.withApplication;
}

TEST(FitToColumns, CutsByCharactersNotBytes) {
    // Polish letters take two bytes, the bullet three: neither may be split.
    const std::tuple<std::string, std::size_t, std::string> rows[] = {
        {"abcdef", 1, "…"},
        {"abcdef", 0, ""},
        {"łóżko • źdźbło", 14, "łóżko • źdźbło"},
        {"łóżko • źdźbło", 8, "łóżko •…"},
    };
    for (const auto& [text, columns, expected] : rows)
        EXPECT_EQ(fitToColumns(text, columns), expected) << text << " @" << columns;
}

TEST(FormatDuration, SecondsThenClockStyle) {
    constexpr auto en = AppLanguage::english, pl = AppLanguage::polish;
    const std::tuple<double, AppLanguage, std::string> rows[] = {
        {0.44, en, "0.4 s"}, {12.5, pl, "12,5 s"},    {59.9, en, "59.9 s"}, {59.97, en, "1:00"},
        {125.0, en, "2:05"}, {3725.0, pl, "1:02:05"}, {-3.0, en, "0.0 s"},
    };
    for (const auto& [seconds, language, expected] : rows)
        EXPECT_EQ(formatDuration(seconds, language), expected) << seconds;
}

TEST(ProgressLine, ShowsRateAndTimeLeftOnceBytesMove) {
    // 1 MB in 2 s is 500 kB/s, and 3 MB are left: 6 s at that rate. Nothing copied yet, or no time
    // gone: no rate and no estimate. The final snapshot has no current file and no time left.
    EXPECT_EQ(progressLine({120, 300, 1'000'000, 4'000'000, "a.txt"}, 2.0, AppLanguage::english),
              "25% • 120/300 files • 1.0 MB / 4.0 MB • 500.0 kB/s • 6.0 s left • a.txt");
    EXPECT_EQ(progressLine({0, 300, 0, 4'000'000, "first.txt"}, 0.0, AppLanguage::english),
              "0% • 0/300 files • 0 bytes / 4.0 MB • first.txt");
    EXPECT_EQ(progressLine({300, 300, 4'000'000, 4'000'000, ""}, 4.0, AppLanguage::polish),
              "100% • 300/300 plików • 4,0 MB / 4,0 MB • 1,0 MB/s");
}

} // namespace keelbox::cli
