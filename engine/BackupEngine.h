#pragma once
// One backup run of one drive: pre-count, copy with the skip-unchanged rule, mirror pruning.

#include "core/Records.h"

#include <atomic>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace keelbox {

using ProgressCallback = std::function<void(const BackupProgress&)>;

// What the caller may inject; defaults are the real environment.
struct RunEnvironment {
    // The user's home folder for "~" and for the refusal of trusted folders; empty means $HOME or
    // the password database.
    std::filesystem::path homeFolder;
    // When set and becoming true, the run stops after the file in hand (Ctrl-C in watch mode).
    const std::atomic<bool>* stopRequested = nullptr;
};

struct Totals {
    Int files = 0;
    Int64 bytes = 0;
};

class BackupEngine {
public:
    static BackupResult run(const DriveConfig& config, const std::filesystem::path& volumeRoot,
                            AppLanguage language, const ProgressCallback& onProgress = {},
                            const RunEnvironment& environment = {});
};

Totals scanTotals(const DriveConfig& config, const std::filesystem::path& volumeRoot);

// Path of `item` below `base` after resolving links on both; empty for `base` itself, nothing when
// outside.
std::optional<std::string> relativeSubpath(const std::filesystem::path& item,
                                           const std::filesystem::path& base);
// True when any "/"-separated component is one of the never-copied names.
bool isExcluded(std::string_view relativePath);
// "USB" for an empty name; "/" and ":" become "-".
std::string driveFolderName(std::string_view driveName);
// "yyyy-MM-dd" in the local time zone.
std::string dayFolderName(Date date);

} // namespace keelbox
