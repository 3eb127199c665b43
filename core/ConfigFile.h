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

// A configuration, or nothing and the fault that says why not.
class ConfigReading : public std::optional<DriveConfig> {
public:
    ConfigReading(DriveConfig config) : std::optional<DriveConfig>(std::move(config)) {}
    ConfigReading(ConfigFault why) : fault(std::move(why)) {}

    ConfigFault fault;
};

// The fault in the user's words ("JSON syntax error at line 3, column 3").
std::string configFaultText(const ConfigFault& fault, AppLanguage language);
// A file that is there but that the system would not hand over (permissions, an I/O error): it
// may still name the drive's identity, so it must not be replaced by a new configuration.
bool faultHidesContent(const ConfigFault& fault);

// The file's text: two-space indentation, sorted keys, unescaped slashes, UTC dates without
// fractions, a final newline.
std::string encodeConfig(const DriveConfig& config);
// Nothing, and why, for any text that is not a complete, well-typed configuration.
ConfigReading decodeConfig(std::string_view text);

// Reads only a plain file, never blocking on a FIFO or opening a device.
ConfigReading readConfig(const std::filesystem::path& driveRoot);
// The drive identity a configuration file still names, however broken the rest is; read as
// carefully as readConfig. `fault` says why there is none when the file could not be read.
std::optional<std::string> salvageDriveID(const std::filesystem::path& driveRoot,
                                          ConfigFault* fault = nullptr);
// Atomic: a temp file beside the target, fsync, rename over it, fsync the folder.
std::optional<ConfigError> writeConfig(const DriveConfig& config,
                                       const std::filesystem::path& driveRoot);
// Succeeds when there is nothing to remove.
std::optional<ConfigError> removeConfig(const std::filesystem::path& driveRoot);
// Renames the drive's file, whatever it holds, to ".keelbox.json.old-2026-12-04-180000" (the
// time `at` in UTC) before a new configuration replaces it. The new name, or nothing when there
// was no file; `error` says why it could not be moved.
std::optional<std::filesystem::path> setConfigAside(const std::filesystem::path& driveRoot, Date at,
                                                    std::error_code& error);

// ISO 8601 in UTC without fractions ("2026-12-04T18:00:00Z"), and its reader, which also takes a
// numeric offset ("+01:00") and fractional seconds.
std::string formatIsoDate(Date date);
std::optional<Date> parseIsoDate(std::string_view text);

} // namespace keelbox
