#include "core/ShownText.h"

#include <gtest/gtest.h>

namespace keelbox {

TEST(ShownText, ControlsDirectionAndInvisibleCharactersAreShown) {
    // U+009B is the one-byte CSI in UTF-8; U+00A0 (no-break space) and U+05D0 are text.
    const std::pair<std::string, std::string> rows[] = {
        {"zażółć.txt", "zażółć.txt"},
        {"evil\x1b]0;title\x07.txt", "evil\\x1B]0;title\\x07.txt"},
        {"csi\xc2\x9b\x32J", "csi\\x9B2J"},
        {"nb\xc2\xa0sp \xd7\x90", "nb\xc2\xa0sp \xd7\x90"},
        {"line\nbreak\xe2\x80\xa8", "line\\x0Abreak\\u2028"},
        {"exe.\xe2\x80\xaegpj", "exe.\\u202Egpj"},
        {"ST\xe2\x80\x8bICK\xe2\x81\xa6\xef\xbb\xbf\xc2\xad", "ST\\u200BICK\\u2066\\uFEFF\\u00AD"},
        {"tag\xf3\xa0\x80\x81", "tag\\uE0001"},
        {"latin1 \xe9t\xe9 \xc0\xaf \xed\xa0\x80", "latin1 \\xE9t\\xE9 \\xC0\\xAF \\xED\\xA0\\x80"},
        {"<img src=/dev/zero> & <b>", "<img src=/dev/zero> & <b>"}, // markup is a face's business
    };
    for (const auto& [text, expected] : rows)
        EXPECT_EQ(inertText(text), expected) << text;
    EXPECT_EQ(inertLines("Notes\r\n\x1b[2Jcleared\n"), "Notes\n\\x1B[2Jcleared\n");
}

TEST(ShownText, NamesAreCutOnceAndIsolated) {
    const std::string long300(300, 'W'), cut = std::string(47, 'W') + "…";
    EXPECT_EQ(shownName(long300), cut);
    EXPECT_EQ(shownName(cut), cut);
    EXPECT_EQ(shownName(std::string(48, 'W')), std::string(48, 'W'));
    EXPECT_EQ(shownName("łódź", 3), "łó…"); // never in a character
    EXPECT_EQ(shownName("a\nb", 5), "a\\x0…");
    EXPECT_EQ(isolatedName("\xe2\x80\xae"
                           "KCITS"),
              "\u2068\\u202EKCITS\u2069");
}

} // namespace keelbox
