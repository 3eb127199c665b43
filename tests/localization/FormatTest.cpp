#include "localization/Format.h"

#include <gtest/gtest.h>

#include <limits>

namespace keelbox {
namespace {

using Int64 = std::int64_t;

struct Row {
    const char* name;
    std::string_view format;
    std::vector<FormatArg> args;
    std::string expected;
};

// initializer_list cannot be built from a vector; the rows use at most three arguments.
std::string fill(std::string_view format, const std::vector<FormatArg>& a) {
    switch (a.size()) {
    case 0:
        return formatText(format, {});
    case 1:
        return formatText(format, {a[0]});
    case 2:
        return formatText(format, {a[0], a[1]});
    default:
        return formatText(format, {a[0], a[1], a[2]});
    }
}

TEST(FormatText, FillsAndToleratesMismatchedArguments) {
    using S = std::string;
    const Row rows[] = {
        {"extremes",
         "%ld %ld",
         {std::numeric_limits<std::int64_t>::min(), std::numeric_limits<std::int64_t>::max()},
         "-9223372036854775808 9223372036854775807"},
        {"in order", "%ld/%ld files • %@", {Int64(3), Int64(10), S("1 MB")}, "3/10 files • 1 MB"},
        {"percent", "100%% done", {}, "100% done"},
        {"percent before placeholder", "%%%ld", {Int64(7)}, "%7"},
        {"too few", "%@ and %@", {S("one")}, "one and "},
        {"too many", "%@", {S("a"), S("b"), Int64(3)}, "a"},
        {"integer for text", "Errors: %@", {Int64(42)}, "Errors: 42"},
        {"text for integer", "%ld items", {S("17 apples")}, "17 items"},
        {"signed text for integer", "%ld", {S(" -3x")}, "-3"},
        {"non-number for integer", "%ld", {S("many")}, "0"},
        {"huge text for integer", "%ld", {S("99999999999999999999")}, "0"},
        {"lone percent at end", "50%", {Int64(1)}, "50%"},
        {"unknown sequence", "%d %s %l %", {S("x")}, "%d %s %l %"},
        {"empty format", "", {S("x")}, ""},
        {"argument with placeholders", "%@ %@", {S("%@"), S("%ld")}, "%@ %ld"},
        {"multi-byte text", "→ %@ …", {S("żółć")}, "→ żółć …"},
        {"embedded NUL", std::string_view("a\0%@", 4), {S("b")}, S("a\0b", 3)},
    };
    for (const auto& row : rows)
        EXPECT_EQ(fill(row.format, row.args), row.expected) << row.name;
}

} // namespace
} // namespace keelbox
