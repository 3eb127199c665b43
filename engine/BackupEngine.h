#pragma once
// One backup run of one drive: pre-count, copy with the skip-unchanged rule, mirror pruning.
// The state of a run and the rules each copy follows are in Tally.h.

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
    // The clock for the day folder of dated mode; empty means the system clock.
    std::function<Date()> clock;
    // The run started by itself (on connect, at start) rather than at the user's request: a mirror
    // run then never deletes most of a copy.
    bool automatic = false;
    // The UUID of the drive's file system when the caller knows it (UDisks2); otherwise it is
    // read from udev's records. It lets a drive whose configuration was made anew keep its folder.
    std::optional<std::string> volumeUUID;
    // Called once, as soon as the run knows that what is to be written exceeds the free space of
    // the backup disk: before anything is copied when the copy is new, otherwise once the walk
    // has found more to write than fits, before the copy fails. The run then copies what fits.
    std::function<void(const SpaceShortage&)> onSpaceShortage;
    // A folder the caller made itself for this run (the self-test's tree), allowed wherever it
    // lies, also below /run or a hidden folder.
    std::filesystem::path callersOwnFolder;
};

class BackupEngine {
public:
    static BackupResult run(const DriveConfig& config, const std::filesystem::path& volumeRoot,
                            AppLanguage language, const ProgressCallback& onProgress = {},
                            const RunEnvironment& environment = {});
};

// Path of `item` below `base` after resolving links on both; empty for `base` itself, nothing when
// outside.
std::optional<std::string> relativeSubpath(const std::filesystem::path& item,
                                           const std::filesystem::path& base);
// "USB" for an empty name; "/" and ":" become "-".
std::string driveFolderName(std::string_view driveName);
// "yyyy-MM-dd" in the local time zone.
std::string dayFolderName(Date date);

} // namespace keelbox
