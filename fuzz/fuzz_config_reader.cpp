// libFuzzer target for the drive configuration reader: any bytes a drive carries must decode to a
// configuration or to nothing, and whatever decodes must survive a write and a second read.
// The text formatter gets the same bytes as a format string.

#include "core/ConfigFile.h"
#include "localization/Format.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string_view>

namespace {

void check(bool condition) {
    if (!condition)
        std::abort();
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using namespace keelbox;
    const std::string_view text(reinterpret_cast<const char*>(data), size);

    // The same bytes as a format with too few, fitting and mismatched arguments: never a crash,
    // and a format without '%' comes back unchanged.
    const std::string filled = formatText(text, {std::string("x"), std::int64_t(-1)});
    if (text.find('%') == std::string_view::npos)
        check(filled == text && formatText(text, {}) == text);

    const auto decoded = decodeConfig(text);
    if (!decoded)
        return 0;

    // Writing drops fractions of a second and nothing else.
    DriveConfig expected = *decoded;
    expected.createdAt = std::chrono::floor<std::chrono::seconds>(expected.createdAt);
    expected.updatedAt = std::chrono::floor<std::chrono::seconds>(expected.updatedAt);

    const std::string written = encodeConfig(*decoded);
    const auto reread = decodeConfig(written);
    check(reread.has_value());
    check(*reread == expected);
    check(encodeConfig(*reread) == written);
    return 0;
}
