#pragma once
// Release versions as Keelbox numbers them: "1.10.2", "2.0", "1.3.0-beta.2", optionally with a
// leading "v" and a "+build" suffix, which is ignored.

#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox::update {

struct Version {
    std::vector<unsigned long> numbers;
    // Dot-separated identifiers after "-"; empty for a release.
    std::vector<std::string> preRelease;
};

// Nothing for text that is not a version (empty parts, letters among the numbers, a bare "-").
std::optional<Version> parseVersion(std::string_view text);

// Negative, zero or positive as `a` is older than, the same as or newer than `b`. Numbers compare
// one by one, missing ones count as 0 (1.2 = 1.2.0); a pre-release is older than its release;
// pre-release identifiers compare as numbers when both are numeric, numbers before words.
int compareVersions(const Version& a, const Version& b);

// Both texts parsed; text that is not a version is never newer than anything.
bool isNewerVersion(std::string_view candidate, std::string_view current);

} // namespace keelbox::update
