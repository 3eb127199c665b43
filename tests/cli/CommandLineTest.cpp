// The pure parts of the command line: which command the arguments select, the language, and the
// progress line's text.

#include "cli/CommandLine.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

namespace keelbox::cli {
namespace {

struct DispatchRow {
    std::vector<std::string> args;
    bool withApplication;
    Command expected;
};

TEST(ChooseCommand, FollowsTheArgumentRules) {
    const DispatchRow rows[] = {
        {{"--selftest"}, true, Command::selfTest},
        // Position does not matter, and the rest of the line does not either.
        {{"-platform", "offscreen", "--selftest"}, true, Command::selfTest},
        {{"backup", "/media/x", "--selftest"}, false, Command::selfTest},
        // Only the exact word selects it; near misses and unknown options are usage errors.
        {{"--SELFTEST"}, true, Command::usage},
        {{"--selftest=1"}, true, Command::usage},
        {{"--anything-unknown"}, true, Command::usage},
        {{}, true, Command::application},
        {{}, false, Command::usage},
        {{"backup", "/media/x"}, true, Command::backup},
        {{"config", "/media/x", "--mode", "dated"}, false, Command::config},
        {{"demo"}, false, Command::demo},
        {{"--help"}, false, Command::help},
        {{"--version"}, true, Command::version},
        {{"--language", "pl", "backup", "/media/x"}, false, Command::backup},
        {{"--show", "help"}, true, Command::application},
        {{"--language", "en", "--show=log", "--show", "panel"}, true, Command::application},
        {{"--show", "help"}, false, Command::usage},
        {{"--show"}, true, Command::usage},
        {{"/media/x", "backup"}, false, Command::usage},
    };
    // --language before the command word moves behind it, where every command reads it.
    EXPECT_EQ(commandFirst({"--language", "pl", "--language=en", "backup", "X"}),
              (std::vector<std::string>{"backup", "--language", "pl", "--language=en", "X"}));
    for (const DispatchRow& row : rows) {
        std::string shown;
        for (const auto& a : row.args)
            shown += "[" + a + "]";
        EXPECT_EQ(chooseCommand(row.args, row.withApplication), row.expected)
            << shown << " withApplication=" << row.withApplication;
    }
}

TEST(FitToColumns, CutsByCharactersNotBytes) {
    const struct {
        std::string text;
        std::size_t columns;
        std::string expected;
    } rows[] = {
        {"abcdef", 6, "abcdef"},
        {"abcdef", 5, "abcd…"},
        {"abcdef", 1, "…"},
        {"abcdef", 0, ""},
        // Polish letters take two bytes, the bullet three: neither may be split.
        {"łóżko • źdźbło", 14, "łóżko • źdźbło"},
        {"łóżko • źdźbło", 8, "łóżko •…"},
        {"łóżko", 3, "łó…"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(fitToColumns(row.text, row.columns), row.expected)
            << row.text << " @" << row.columns;
}

TEST(Printable, NeutralisesTerminalControls) {
    const struct {
        std::string text;
        std::string expected;
    } rows[] = {
        {"zażółć.txt", "zażółć.txt"},
        {"evil\x1b]0;title\x07.txt", "evil\\x1B]0;title\\x07.txt"},
        {"line\nbreak\r", "line\\x0Abreak\\x0D"},
        {"del\x7f", "del\\x7F"},
        // U+009B, the one-byte CSI, written in UTF-8.
        {"csi\xc2\x9b"
         "2J",
         "csi\\x9B2J"},
        // U+00A0 (no-break space) is text, not a control.
        {"nb\xc2\xa0sp", "nb\xc2\xa0sp"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(printable(row.text), row.expected);
}

TEST(FormatDuration, SecondsThenClockStyle) {
    const struct {
        double seconds;
        AppLanguage language;
        std::string expected;
    } rows[] = {
        {0.0, AppLanguage::english, "0.0 s"},     {0.44, AppLanguage::english, "0.4 s"},
        {12.5, AppLanguage::polish, "12,5 s"},    {59.9, AppLanguage::english, "59.9 s"},
        {59.97, AppLanguage::english, "1:00"},    {125.0, AppLanguage::english, "2:05"},
        {3725.0, AppLanguage::polish, "1:02:05"}, {-3.0, AppLanguage::english, "0.0 s"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(formatDuration(row.seconds, row.language), row.expected) << row.seconds;
}

TEST(ProgressLine, ShowsRateAndTimeLeftOnceBytesMove) {
    BackupProgress progress{120, 300, 1'000'000, 4'000'000, "a.txt"};
    const std::string line = progressLine(progress, 2.0, AppLanguage::english);
    EXPECT_EQ(line.rfind("25% • 120/300 files • ", 0), 0u) << line;
    // 1 MB in 2 s is 500 kB/s; 3 MB are left, 6 s at that rate.
    EXPECT_NE(line.find("/s • 6.0 s left • a.txt"), std::string::npos) << line;

    // Nothing copied yet, or no time gone: no rate and no estimate.
    const std::string start =
        progressLine({0, 300, 0, 4'000'000, "first.txt"}, 0.0, AppLanguage::english);
    EXPECT_EQ(start.find("/s"), std::string::npos) << start;
    EXPECT_EQ(start.find("left"), std::string::npos) << start;

    // The final snapshot has no current file; a finished run has no time left.
    const std::string done =
        progressLine({300, 300, 4'000'000, 4'000'000, ""}, 4.0, AppLanguage::polish);
    EXPECT_EQ(done.rfind("100% • 300/300 plików • ", 0), 0u) << done;
    EXPECT_EQ(done.find("zostało"), std::string::npos) << done;
    EXPECT_NE(done.back(), ' ');
}

} // namespace
} // namespace keelbox::cli
