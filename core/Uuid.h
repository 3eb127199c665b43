#pragma once
// Random (version 4) UUIDs from the kernel's random source, and their canonical text form.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace keelbox {

// The value of one hexadecimal digit of either case; -1 for any other character.
constexpr int hexDigitValue(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    if (c >= 'A' && c <= 'F')
        return c - 'A' + 10;
    return -1;
}

class Uuid {
public:
    Uuid() = default; // the nil UUID
    explicit Uuid(const std::array<std::uint8_t, 16>& bytes) : m_bytes(bytes) {}

    // A fresh version-4 UUID from getrandom(2).
    static Uuid random();
    // The canonical 36-character form with hyphens, any letter case; nothing else is accepted.
    static std::optional<Uuid> parse(std::string_view text);

    // Canonical 36-character form, upper-case hexadecimal.
    std::string toString() const;
    const std::array<std::uint8_t, 16>& bytes() const { return m_bytes; }

    friend bool operator==(const Uuid&, const Uuid&) = default;
    friend auto operator<=>(const Uuid&, const Uuid&) = default;

private:
    std::array<std::uint8_t, 16> m_bytes{};
};

} // namespace keelbox
