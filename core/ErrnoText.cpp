#include "core/ErrnoText.h"

#include <cstring>

namespace keelbox {

namespace {

// strerror_r comes in two flavours; overloading on its result type picks the one in use.
[[maybe_unused]] std::string fromStrerror(const char* text, const char*) {
    return text;
}

[[maybe_unused]] std::string fromStrerror(int result, const char* buffer) {
    return result == 0 ? std::string(buffer) : std::string();
}

} // namespace

std::string errnoText(int errnum) {
    char buffer[256] = {};
    std::string text = fromStrerror(::strerror_r(errnum, buffer, sizeof buffer), buffer);
    if (text.empty())
        text = "Unknown error " + std::to_string(errnum);
    return text;
}

} // namespace keelbox
