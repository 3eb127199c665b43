#include "localization/Format.h"

#include <gtest/gtest.h>

#include <limits>

namespace keelbox {
namespace {

using Int64 = std::int64_t;

TEST(FormatText, FillsAndToleratesMismatchedArguments) {
    using S = std::string;
    constexpr Int64 min = std::numeric_limits<Int64>::min(),
                    max = std::numeric_limits<Int64>::max();
    EXPECT_EQ(formatText("%ld %ld", {min, max}), "-9223372036854775808 9223372036854775807");
    EXPECT_EQ(formatText("→ %ld/%ld files • %@", {Int64(3), Int64(10), S("1 MB")}),
              "→ 3/10 files • 1 MB");
    EXPECT_EQ(formatText("100%% done", {}), "100% done");
    EXPECT_EQ(formatText("%%%ld", {Int64(7)}), "%7");
    EXPECT_EQ(formatText("%@ and %@", {S("one")}), "one and ");   // too few
    EXPECT_EQ(formatText("%@", {S("a"), S("b"), Int64(3)}), "a"); // too many
    EXPECT_EQ(formatText("Errors: %@", {Int64(42)}), "Errors: 42");
    EXPECT_EQ(formatText("%ld items", {S("17 apples")}), "17 items");
    EXPECT_EQ(formatText("%ld", {S("many")}), "0");
    EXPECT_EQ(formatText("%ld", {S("99999999999999999999")}), "0");
    EXPECT_EQ(formatText("50%", {Int64(1)}), "50%");
    EXPECT_EQ(formatText("%d %s %l %", {S("x")}), "%d %s %l %");   // not sequences of ours
    EXPECT_EQ(formatText("%@ %@", {S("%@"), S("%ld")}), "%@ %ld"); // arguments are not formats
    EXPECT_EQ(formatText(std::string_view("a\0%@", 4), {S("b")}), S("a\0b", 3));
    // Plural forms by the last count: English one/other, Polish one/few/many.
    for (const auto& [count, english, polish] : {std::tuple(0, "0 files", "0 plików"),
                                                 {1, "1 file", "1 plik"},
                                                 {2, "2 files", "2 pliki"},
                                                 {12, "12 files", "12 plików"},
                                                 {22, "22 files", "22 pliki"},
                                                 {25, "25 files", "25 plików"}})
        EXPECT_EQ(formatText("%ld %{file|files} / %ld %{plik|pliki|plików}",
                             {Int64(count), Int64(count)}),
                  std::string(english) + " / " + polish);
    EXPECT_EQ(formatText("%{a|b", {Int64(1)}), "%{a|b"); // unclosed: as it is
}

} // namespace
} // namespace keelbox
