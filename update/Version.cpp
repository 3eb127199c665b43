#include "update/Version.h"

#include <algorithm>
#include <charconv>

namespace keelbox::update {

namespace {

std::vector<std::string_view> split(std::string_view text, char separator) {
    std::vector<std::string_view> parts;
    std::size_t start = 0;
    while (true) {
        const std::size_t end = text.find(separator, start);
        parts.push_back(text.substr(start, end - start));
        if (end == std::string_view::npos)
            return parts;
        start = end + 1;
    }
}

std::optional<unsigned long> number(std::string_view text) {
    unsigned long value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (text.empty() || error != std::errc() || end != text.data() + text.size())
        return std::nullopt;
    return value;
}

int compareIdentifiers(const std::string& a, const std::string& b) {
    const auto na = number(a), nb = number(b);
    if (na && nb)
        return *na < *nb ? -1 : (*na > *nb ? 1 : 0);
    if (na || nb)
        return na ? -1 : 1;
    return a.compare(b) < 0 ? -1 : (a == b ? 0 : 1);
}

} // namespace

std::optional<Version> parseVersion(std::string_view text) {
    if (!text.empty() && (text.front() == 'v' || text.front() == 'V'))
        text.remove_prefix(1);
    text = text.substr(0, text.find('+'));
    const std::size_t dash = text.find('-');
    Version version;
    for (std::string_view part : split(text.substr(0, dash), '.')) {
        const auto value = number(part);
        if (!value)
            return std::nullopt;
        version.numbers.push_back(*value);
    }
    if (dash != std::string_view::npos) {
        for (std::string_view part : split(text.substr(dash + 1), '.')) {
            const bool plain = !part.empty() && std::all_of(part.begin(), part.end(), [](char c) {
                return (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') ||
                       c == '-';
            });
            if (!plain)
                return std::nullopt;
            version.preRelease.emplace_back(part);
        }
    }
    return version;
}

int compareVersions(const Version& a, const Version& b) {
    const std::size_t count = std::max(a.numbers.size(), b.numbers.size());
    for (std::size_t i = 0; i < count; ++i) {
        const unsigned long x = i < a.numbers.size() ? a.numbers[i] : 0;
        const unsigned long y = i < b.numbers.size() ? b.numbers[i] : 0;
        if (x != y)
            return x < y ? -1 : 1;
    }
    if (a.preRelease.empty() || b.preRelease.empty())
        return a.preRelease.empty() == b.preRelease.empty() ? 0 : (a.preRelease.empty() ? 1 : -1);
    for (std::size_t i = 0; i < std::min(a.preRelease.size(), b.preRelease.size()); ++i) {
        if (const int order = compareIdentifiers(a.preRelease[i], b.preRelease[i]))
            return order;
    }
    // beta < beta.1
    return a.preRelease.size() == b.preRelease.size()
               ? 0
               : (a.preRelease.size() < b.preRelease.size() ? -1 : 1);
}

bool isNewerVersion(std::string_view candidate, std::string_view current) {
    const auto a = parseVersion(candidate), b = parseVersion(current);
    return a && b && compareVersions(*a, *b) > 0;
}

} // namespace keelbox::update
