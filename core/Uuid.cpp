#include "core/Uuid.h"

#include "core/PosixFile.h"

#include <cstdlib>
#include <fcntl.h>
#include <unistd.h>

namespace keelbox {

namespace {

// For kernels or sandboxes without getrandom(2).
bool fillFromUrandom(std::uint8_t* data, std::size_t size) {
    const UniqueFd fd(::open("/dev/urandom", O_RDONLY | O_CLOEXEC));
    return fd &&
           readFull(fd.get(), reinterpret_cast<char*>(data), size) == static_cast<ssize_t>(size);
}

constexpr bool isHyphenPosition(std::size_t i) {
    return i == 8 || i == 13 || i == 18 || i == 23;
}

} // namespace

Uuid Uuid::random() {
    std::array<std::uint8_t, 16> bytes{};
    // getentropy retries on EINTR itself and fails only without getrandom(2).
    if (::getentropy(bytes.data(), bytes.size()) != 0 &&
        !fillFromUrandom(bytes.data(), bytes.size())) {
        // Without any source of randomness identifiers would collide; nothing sensible is left.
        std::abort();
    }
    bytes[6] = static_cast<std::uint8_t>((bytes[6] & 0x0F) | 0x40); // version 4
    bytes[8] = static_cast<std::uint8_t>((bytes[8] & 0x3F) | 0x80); // RFC 4122 variant
    return Uuid(bytes);
}

std::optional<Uuid> Uuid::parse(std::string_view text) {
    if (text.size() != 36)
        return std::nullopt;
    std::array<std::uint8_t, 16> bytes{};
    std::size_t out = 0;
    for (std::size_t i = 0; i < text.size();) {
        if (isHyphenPosition(i)) {
            if (text[i] != '-')
                return std::nullopt;
            ++i;
            continue;
        }
        const int high = hexDigitValue(text[i]);
        const int low = hexDigitValue(text[i + 1]);
        if (high < 0 || low < 0 || isHyphenPosition(i + 1))
            return std::nullopt;
        bytes[out++] = static_cast<std::uint8_t>(high * 16 + low);
        i += 2;
    }
    return Uuid(bytes);
}

std::string Uuid::toString() const {
    static constexpr char digits[] = "0123456789ABCDEF";
    std::string text;
    text.reserve(36);
    for (std::size_t i = 0; i < m_bytes.size(); ++i) {
        if (i == 4 || i == 6 || i == 8 || i == 10)
            text.push_back('-');
        text.push_back(digits[m_bytes[i] >> 4]);
        text.push_back(digits[m_bytes[i] & 0x0F]);
    }
    return text;
}

} // namespace keelbox
