#pragma once
// One backup run of one drive: pre-count, copy with the skip-unchanged rule, mirror pruning.

#include "core/Records.h"

#include <atomic>
#include <cstddef>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace keelbox {

namespace detail {
class StatWorker;
class MetadataLog;
} // namespace detail

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
    // A folder the caller made itself for this run (the self-test's tree), allowed wherever it
    // lies, also below /run or a hidden folder.
    std::filesystem::path callersOwnFolder;
};

struct Totals {
    Int files = 0;
    Int64 bytes = 0;
};

// The state of one run, handed to every copy and prune operation of that run.
class Tally {
public:
    explicit Tally(AppLanguage runLanguage, ProgressCallback progress = {},
                   const std::atomic<bool>* stop = nullptr);
    ~Tally();
    Tally(const Tally&) = delete;
    Tally& operator=(const Tally&) = delete;

    Int filesCopied = 0;
    Int64 bytesCopied = 0;
    Int filesSkipped = 0;
    Int filesDeleted = 0;
    std::vector<BackupIssue> errors;
    AppLanguage language;
    Int processedFiles = 0;
    Int64 processedBytes = 0;
    Int filesTotal = 0;
    Int64 bytesTotal = 0;
    ProgressCallback onProgress;
    Int lastReportedFiles = -1;

    // Counts one handled file (copied, unchanged or failed) and reports progress about once per
    // hundredth of the expected files.
    void advance(Int64 bytes, std::string_view currentFile);
    // The final snapshot of a run, whatever was reported last.
    void reportFinal();
    // Whether the caller asked the run to stop.
    bool stopRequested() const;

    // Reused by every copy of the run, so copying allocates nothing per file.
    char* copyBuffer();
    static constexpr std::size_t copyBufferSize = 256 * 1024;
    // The drive's device from which the in-kernel copy was found unsupported; the run then goes
    // straight to reading and writing for its files. Shared by the run's copying threads.
    std::atomic<dev_t> noFastCopyFrom{0};
    std::atomic<bool> fastCopyRefused{false};
    // Names the partial copies of this run, unique within the run.
    std::atomic<std::uint64_t> partialCounter{0};
    pid_t pid;
    // The process's umask: permission bits that a new file does not get from its creation mode.
    mode_t creationMask;

    // The run's second thread for metadata reads, started on first use.
    detail::StatWorker& statWorker();
    // What the pre-count read, for the copy walk; null when there was no pre-count.
    detail::MetadataLog* metadataLog() { return m_log.get(); }
    detail::MetadataLog& startMetadataLog();

private:
    const std::atomic<bool>* m_stop;
    std::unique_ptr<char[]> m_buffer;
    std::unique_ptr<detail::StatWorker> m_worker;
    std::unique_ptr<detail::MetadataLog> m_log;
};

class BackupEngine {
public:
    static BackupResult run(const DriveConfig& config, const std::filesystem::path& volumeRoot,
                            AppLanguage language, const ProgressCallback& onProgress = {},
                            const RunEnvironment& environment = {});
};

Totals scanTotals(const DriveConfig& config, const std::filesystem::path& volumeRoot);

// Reproduces the folder `source` below `target`, leaving unchanged files alone. Links met inside
// `source` or `target` are never followed. `shownPrefix` is the source's path on the drive.
void copyTree(const std::filesystem::path& source, const std::filesystem::path& target,
              std::string_view shownPrefix, Tally& tally);
// Copies one file to the full path `target` unless its copy there is up to date.
void copyFile(const std::filesystem::path& source, const std::filesystem::path& target,
              std::string_view shownPath, Tally& tally);
// Deletes from the copy `target` what no longer exists in `source`; never follows a link and
// never deletes above `target`.
void pruneRemoved(const std::filesystem::path& source, const std::filesystem::path& target,
                  Tally& tally);

// Path of `item` below `base` after resolving links on both; empty for `base` itself, nothing when
// outside.
std::optional<std::string> relativeSubpath(const std::filesystem::path& item,
                                           const std::filesystem::path& base);
// The skip-unchanged rule: equal sizes, and the source's modification time at most 2 seconds
// after the copy's (FAT keeps times in 2-second steps). A copy newer than its source counts as
// unchanged; a copy that is not a regular file has size -1 and never does.
bool isUnchanged(Int64 sourceSize, double sourceSeconds, Int64 copySize, double copySeconds);
// True when any "/"-separated component is one of the never-copied names.
bool isExcluded(std::string_view relativePath);
// "USB" for an empty name; "/" and ":" become "-".
std::string driveFolderName(std::string_view driveName);
// "yyyy-MM-dd" in the local time zone.
std::string dayFolderName(Date date);

} // namespace keelbox
