// libFuzzer target for the drive configuration reader: any bytes a drive carries must decode to a
// configuration or to nothing, and whatever decodes must survive a write and a second read.

#include "core/ConfigFile.h"

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
