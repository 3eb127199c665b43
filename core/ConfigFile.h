#pragma once
// The drive's own rules, stored as ".keelbox.json" at the drive's root.

#include "core/Records.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <system_error>

namespace keelbox {

inline constexpr std::string_view configFileName = ".keelbox.json";
// A configuration is a few hundred bytes; anything far larger is not one of ours.
inline constexpr std::size_t maxConfigSize = 1024 * 1024;

// The error of a failed write or removal: what was attempted, on which file, and errno's words.
struct ConfigError {
    std::error_code code;
    std::string
        message; // e.g. "Could not write “/media/stick/.keelbox.json”: No space left on device"
};

// The file's text: two-space indentation, sorted keys, unescaped slashes, UTC dates without
// fractions, a final newline.
std::string encodeConfig(const DriveConfig& config);
// Nothing for any text that is not a complete, well-typed configuration.
std::optional<DriveConfig> decodeConfig(std::string_view text);

// Nothing when the file is missing, unreadable, too large or malformed.
std::optional<DriveConfig> readConfig(const std::filesystem::path& driveRoot);
// Atomic: a temp file beside the target, fsync, rename over it, fsync the folder.
std::optional<ConfigError> writeConfig(const DriveConfig& config,
                                       const std::filesystem::path& driveRoot);
// Succeeds when there is nothing to remove.
std::optional<ConfigError> removeConfig(const std::filesystem::path& driveRoot);

// ISO 8601 in UTC without fractions ("2026-12-04T18:00:00Z"), and its reader, which also takes a
// numeric offset ("+01:00") and fractional seconds.
std::string formatIsoDate(Date date);
std::optional<Date> parseIsoDate(std::string_view text);

} // namespace keelbox
