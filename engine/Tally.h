#pragma once
// The state of one run: the rules set before its copy, the atomics its copying threads share, the
// counters its walking thread owns; and the rules every copy follows.

#include "engine/BackupEngine.h"

#include <atomic>
#include <chrono>
#include <cstddef>
#include <cstdint>
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
class ReadAhead;
class TailCount;
} // namespace detail

struct Totals {
    Int files = 0;
    Int64 bytes = 0;
};

// The rules of one run, found before its copy starts: the language of its issues, the process
// and umask its copies are made under, and what the two disks keep. Every thread reads them; the
// copying threads get them const.
struct RunRules {
    AppLanguage language;
    pid_t pid;
    // The process's umask: permission bits that a new file does not get from its creation mode.
    mode_t creationMask;
    // The drive's file system keeps no permissions of its own (FAT, exFAT, NTFS): the execute
    // bits it shows on every file are not carried.
    bool sourceInventsModes = false;
    // The backup disk takes "A" and "a" for the same name (exFAT, FAT, NTFS, a casefolded ext4).
    bool caseInsensitiveDestination = false;
    // The backup disk cannot store some characters in names (FAT, exFAT: ":", "?", "*", ...).
    bool restrictedNames = false;
};

// All that the copying threads of a run change: a few atomics, and nothing else.
class SharedRunState {
public:
    explicit SharedRunState(const std::atomic<bool>* stop) : m_stop(stop) {}

    // Whether the run is to stop: the caller asked, or it ended by itself (halt).
    bool stopRequested() const;
    // Whether the caller asked the run to stop.
    bool stopAsked() const;

    // A run ends by itself at the first sign that the drive was disconnected, or that the backup
    // disk is full: the files in hand finish, nothing more starts, and one issue tells why
    // instead of one per remaining file.
    enum class Halt : unsigned char { none, driveGone, noSpace };
    std::atomic<Halt> halt{Halt::none};
    // A way of copying in the kernel that a drive's files were found not to take: the run then
    // skips it for the rest of that drive's files (a run writes into one backup folder).
    struct RefusedFrom {
        std::atomic<dev_t> device{0};
        std::atomic<bool> refused{false};

        bool covers(dev_t drive) const {
            return refused.load(std::memory_order_relaxed) &&
                   device.load(std::memory_order_relaxed) == drive;
        }
        void note(dev_t drive) {
            device.store(drive, std::memory_order_relaxed);
            refused.store(true, std::memory_order_relaxed);
        }
    };
    // copy_file_range: refused between two file systems unless they share a driver that copies.
    RefusedFrom noRangeCopy;
    // sendfile: the page cache to the copy without passing through user space; refused by drives
    // whose driver cannot splice (some FUSE drivers).
    RefusedFrom noSplice;
    // Names the partial copies of this run, unique within the run.
    std::atomic<std::uint64_t> partialCounter{0};
    // Set when the backup disk refuses hard links (FAT, exFAT): dated runs then copy.
    std::atomic<bool> linksRefused{false};
    // Set when the backup disk makes no unnamed files (FAT, exFAT, most FUSE and network file
    // systems): new copies are then written under a partial name and renamed.
    std::atomic<bool> unnamedRefused{false};
    // Set when a stop request left something undone.
    std::atomic<bool> cutShort{false};

private:
    const std::atomic<bool>* m_stop;
};

// The state of one run, handed to every copy and prune operation of that run: its rules, the
// atomics its copying threads share, and what the walking thread alone counts and decides.
class Tally : public RunRules, public SharedRunState {
public:
    explicit Tally(AppLanguage runLanguage, ProgressCallback progress = {},
                   const std::atomic<bool>* stop = nullptr);
    ~Tally();
    Tally(const Tally&) = delete;
    Tally& operator=(const Tally&) = delete;

    const RunRules& rules() const { return *this; }
    SharedRunState& shared() { return *this; }

    // The counts and issues so far; where the copy went and how long it took are added at the end.
    BackupResult result;
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

    // Over a copy that is there already, the walk starts at once and the totals come while it
    // runs: from the read-ahead pool once the walk waits for the disk; on a warm cache, once the
    // walk has run for `countAfter`, from a count that starts at the far end and stops where it
    // meets the walk; or (where neither can count) from `countNow`. A run over without changes on
    // a warm cache is done before `countAfter`, and counts nothing twice. No progress is reported
    // before the totals are known.
    bool totalsPending = false;
    static inline std::chrono::milliseconds countAfter{1000}; // tests shorten it
    std::chrono::steady_clock::time_point walkStarted;
    // The files listed by name, counted at once; and a count of every source.
    Totals listedTotals;
    std::function<Totals()> countNow;
    // At the end of the walk: the pool's totals when its count is over by then. Totals that are
    // still unknown for the final snapshot are what the run handled.
    void settleTotals();
    // Where the pool has not read (a warm cache), the count goes from the far end of the trees
    // and meets the walk (TailCount.h). The walk says which folder it enters and leaves, and
    // each regular file it finds there.
    detail::TailCount* tailCount = nullptr;
    void enteredFolder(dev_t device, ino_t inode);
    void leftFolder();
    void fileInFolder(Int64 size) {
        if (!m_openFolders.empty()) {
            ++m_openFolders.back().files.files;
            m_openFolders.back().files.bytes += size;
        }
    }

    // Where the drive is mounted and its file system there, for telling a pulled drive from a
    // damaged file; set before the copy.
    void watchDrive(std::string root);
    // Takes a failure with `error` in the walking thread: true when it is part of the run ending
    // by itself (so it makes no issue of its own). `onDrive`: the failing call was on the drive.
    bool absorbFailure(int error, bool onDrive, const std::string& shown);
    // The file whose failure ended the run for want of space.
    std::string haltPath;
    // Whether the drive's mount point no longer holds the file system the run started with.
    bool driveVanished() const;
    // The copy will not fit: found before the copy or while walking, and told then.
    std::optional<SpaceShortage> spaceShortage;
    // Told once, as soon as the run knows that its copy will not fit, before that fails.
    std::function<void(const SpaceShortage&)> onSpaceShortage;
    // The free space on the backup disk when the copy began, or -1 when unknown.
    Int64 freeAtStart = -1;
    // Takes a file the walk has decided on, of `size` bytes, whose copy adds `growth` bytes to
    // the backup disk (none when it is unchanged or linked, less when it replaces an older copy).
    // Once what the files so far add exceeds the free space, the run says so before the copy
    // fails.
    void expectGrowth(Int64 size, Int64 growth);
    void warnOfShortage(SpaceShortage shortage);
    // Where the backup disk's free space is read (the drive folder, once it is prepared).
    int destinationFolder = -1;
    // The free space on the backup disk for this user, or -1 when unknown.
    Int64 freeSpace() const;
    // Told how long the walk's reads take, to read ahead of it when they wait for the disk.
    detail::ReadAhead* readAhead = nullptr;
    // The bytes still to write at most: what the pre-count found, less what was handled.
    Int64 bytesRemaining() const { return bytesTotal - processedBytes; }

    // The walking thread's copy buffer, reused by every copy it makes, so copying allocates
    // nothing per file.
    char* copyBuffer();
    static constexpr std::size_t copyBufferSize = 256 * 1024;
    // Set when the backup disk keeps no permissions: copies left too open are not closed up.
    bool modesIgnored = false;

    // The run's second thread for metadata reads, started on first use.
    detail::StatWorker& statWorker();
    // What the pre-count read, for the copy walk; null when there was no pre-count.
    detail::MetadataLog* metadataLog() { return m_log.get(); }
    detail::MetadataLog& startMetadataLog();
    void dropMetadataLog();

private:
    bool takeTotals();
    Totals countedTotals() const;
    std::optional<Totals> tailTotals() const;
    void setTotals(Totals found);

    // The folders the walk is inside of, and whether each is the walk's to count.
    struct OpenFolder {
        dev_t device;
        ino_t inode;
        bool walks;
        Totals files;
    };
    std::vector<OpenFolder> m_openFolders;
    // The files of the folders the walk counted and has left.
    Totals m_walkedFiles;

    std::string m_driveRoot;
    dev_t m_driveDevice = 0;
    // The block device's node in sysfs, which goes the moment the device is unplugged.
    std::string m_deviceNode;
    std::unique_ptr<char[]> m_buffer;
    std::unique_ptr<detail::StatWorker> m_worker;
    std::unique_ptr<detail::MetadataLog> m_log;
    Int64 m_bytesDecided = 0;
    Int64 m_growth = 0;
};

// The skip-unchanged rule: equal sizes, and the source's modification time at most 2 seconds
// after the copy's (FAT keeps times in 2-second steps). A copy newer than its source counts as
// unchanged; a copy that is not a regular file has size -1 and never does.
bool isUnchanged(Int64 sourceSize, double sourceSeconds, Int64 copySize, double copySeconds);
// The permissions of a copy: the source's, without set-user-ID, set-group-ID and sticky bits,
// without the execute bits of a file whose drive keeps no permissions, and never more open than
// the umask allows. A folder always stays usable by its owner, so later runs can update it.
mode_t copyPermissions(mode_t sourceMode, bool folder, bool sourceInventsModes, mode_t umask);
// True when any "/"-separated component is one of the never-copied names.
bool isExcluded(std::string_view relativePath);
// The same for one entry's name, first by a cheap test of its first letter: every never-copied
// name starts with '.', 'S' or '$'.
inline bool isExcludedName(const char* name) {
    return (name[0] == '.' || name[0] == 'S' || name[0] == '$') && isExcluded(name);
}

} // namespace keelbox
