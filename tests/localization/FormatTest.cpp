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
    EXPECT_EQ(formatText("%%%ld", {Int64(7)}), "%7");
    EXPECT_EQ(formatText("%@ and %@", {S("one")}), "one and ");   // too few
    EXPECT_EQ(formatText("%@", {S("a"), S("b"), Int64(3)}), "a"); // too many
    EXPECT_EQ(formatText("Errors: %@", {Int64(42)}), "Errors: 42");
    EXPECT_EQ(formatText("%ld items", {S("17 apples")}), "17 items");
    EXPECT_EQ(formatText("%ld", {S("many")}), "0");
    EXPECT_EQ(formatText("%ld", {S("99999999999999999999")}), "0");
    EXPECT_EQ(formatText("%d %s %l %", {S("x")}), "%d %s %l %");   // not sequences of ours
    EXPECT_EQ(formatText("%@ %@", {S("%@"), S("%ld")}), "%@ %ld"); // arguments are not formats
    EXPECT_EQ(formatText(std::string_view("a\0%@", 4), {S("b")}), S("a\0b", 3));
    // Plural forms by the last count: English one/other, Polish one/few/many.
    std::string plurals;
    for (const Int64 count : {0, 1, 2, 12, 22})
        plurals += formatText("%ld %{file|files} %{plik|pliki|plików}, ", {count});
    EXPECT_EQ(plurals,
              "0 files plików, 1 file plik, 2 files pliki, 12 files plików, 22 files pliki, ");
    EXPECT_EQ(formatText("%{a|b", {Int64(1)}), "%{a|b"); // unclosed: as it is
}

} // namespace
} // namespace keelbox
