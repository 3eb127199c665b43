#pragma once
// The value records passed between the engine, the application state and the views.

#include "core/Uuid.h"
#include "localization/Language.h"

#include <chrono>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox {

using Int = std::int64_t;
using Int64 = std::int64_t;
// Microseconds reach from year 1 (the "distant past" of the placeholder) far beyond any real date.
using Date = std::chrono::sys_time<std::chrono::microseconds>;

Date now();
// 0001-01-01T00:00:00Z.
Date distantPast();

enum class BackupMode { sync, dated };

inline constexpr BackupMode allBackupModes[] = {BackupMode::sync, BackupMode::dated};
std::string_view rawValue(BackupMode mode);
std::optional<BackupMode> backupModeFromRaw(std::string_view raw);

struct SourceItem {
    Uuid id;
    // Relative to the drive's root, "/"-separated, no leading "/"; empty means the whole drive.
    std::string relativePath;

    friend bool operator==(const SourceItem&, const SourceItem&) = default;
};

inline constexpr std::string_view defaultDestinationPath = "~/Backups/Keelbox";

struct DriveConfig {
    Int schemaVersion = 1;
    std::string driveID;
    std::string driveName;
    Date createdAt = distantPast();
    Date updatedAt = distantPast();
    std::string destinationPath{defaultDestinationPath};
    BackupMode mode = BackupMode::sync;
    bool deleteRemovedFiles = false;
    bool autoRunOnMount = true;
    std::vector<SourceItem> sources;

    // The configuration window's working copy before a drive is loaded.
    static DriveConfig placeholder();
    // A new configuration for a drive that has none: fresh driveID, both dates `at`.
    static DriveConfig makeNew(std::string volumeName, Date at);

    friend bool operator==(const DriveConfig&, const DriveConfig&) = default;
};

// A copy that cannot fit on the backup disk: what it still has to write, and the room there is.
struct SpaceShortage {
    Int64 needed = 0;
    Int64 available = 0;
    // `needed` is only what the walk has found so far, without totals to add the rest: at least
    // that much is to be written.
    bool atLeast = false;

    // The key of the warning that says so.
    const char* warningKey() const { return atLeast ? "ev.spaceShortAtLeast" : "ev.spaceShort"; }

    friend bool operator==(const SpaceShortage&, const SpaceShortage&) = default;
};

struct BackupProgress {
    Int filesDone = 0;
    Int filesTotal = 0;
    Int64 bytesDone = 0;
    Int64 bytesTotal = 0;
    std::string currentFile;

    // Completed share in 0…1: by bytes when known, else by files, else 0.
    double fraction() const;
    // fraction × 100 truncated, then "%": "99%".
    std::string percentText() const;

    friend bool operator==(const BackupProgress&, const BackupProgress&) = default;
};

struct BackupIssue {
    std::string path;
    std::string reason;
    std::string systemMessage;
    std::optional<std::string> suggestion;

    // "path — reason", or the reason alone when there is no path.
    std::string summaryLine() const;

    friend bool operator==(const BackupIssue&, const BackupIssue&) = default;
};

struct BackupResult {
    // How the run ended: with every source walked, at the user's stop, or because the drive was
    // disconnected (then its only issue says so, with how far it got).
    enum class Ending { finished, stopped, driveGone };
    Ending ending = Ending::finished;
    Int filesCopied = 0;
    Int64 bytesCopied = 0;
    Int filesSkipped = 0;
    Int filesDeleted = 0;
    // Dated mode: unchanged files shared with the earlier day folder instead of copied again.
    Int filesLinked = 0;
    std::vector<BackupIssue> errors;
    std::optional<std::filesystem::path> destinationRoot;
    double duration = 0;
    // The regular files the pre-count found; 0 without one.
    Int filesTotal = 0;

    // "12 files • 1.5 MB • 3 unchanged • 1 deleted • 40 shared with the previous day" (the last
    // three only when non-zero).
    std::string summary(AppLanguage language) const;
};

// Words kept for later that can be said again when the language changes.
using Wording = std::function<std::string(AppLanguage)>;

struct BackupStatus {
    enum class Kind { idle, configured, running, done, failed };
    Kind kind = Kind::idle;
    // Only for done and failed.
    std::string message;
    // Says the message in another language; empty where the words cannot change.
    Wording wording = {};

    static BackupStatus idle() { return {Kind::idle, {}}; }
    static BackupStatus configured() { return {Kind::configured, {}}; }
    static BackupStatus running() { return {Kind::running, {}}; }
    static BackupStatus done(std::string message, Wording wording = {}) {
        return {Kind::done, std::move(message), std::move(wording)};
    }
    static BackupStatus failed(std::string message, Wording wording = {}) {
        return {Kind::failed, std::move(message), std::move(wording)};
    }

    friend bool operator==(const BackupStatus& a, const BackupStatus& b) {
        if (a.kind != b.kind)
            return false;
        return (a.kind != Kind::done && a.kind != Kind::failed) || a.message == b.message;
    }
};

// Why a file is not a configuration.
struct ConfigFault {
    enum class Kind {
        none,
        missing,      // no file of that name
        notPlainFile, // a folder, FIFO, device or link
        tooLarge,     // far larger than any configuration
        unreadable,   // refused by the system (permissions, …): see systemMessage
        ioError,      // the drive could not deliver it: the drive may be failing
        syntax,       // not JSON: at line and column
        notObject,    // JSON, but not an object
        missingKey,   // key
        badValue,     // key, and value as written
        invalid,      // nested beyond any configuration
    };
    Kind kind = Kind::none;
    int errnum = 0;
    std::string systemMessage; // "Could not read “/media/stick/.keelbox.json”: Permission denied"
    Int line = 0;
    Int column = 0;
    std::string key;
    std::string value;

    bool operator==(const ConfigFault&) const = default;
};

struct VolumeInfo {
    std::string id; // the mount path
    std::filesystem::path url;
    std::string name;
    std::string device = {}; // "/dev/sdb1"; may be empty
    std::optional<DriveConfig> config;
    // Why there is no configuration, when there is none.
    ConfigFault configFault;
    BackupStatus status;
    std::optional<BackupProgress> progress;
    std::optional<Int64> totalCapacity;
    std::optional<Int64> availableCapacity;
    // The drive's backup folder on this computer, once a backup has made it, and when the last
    // complete backup went into it.
    std::filesystem::path copyFolder = {};
    std::optional<Date> lastBackup = {};

    bool isConfigured() const { return config.has_value(); }
    // "31.9 GB • 12.4 GB free"; nothing unless both capacities are known.
    std::optional<std::string> capacityText(AppLanguage language) const;
};

struct LogEntry {
    enum class Kind { info, success, failure };
    Uuid id = Uuid::random();
    Date date = now();
    std::string volume;
    std::string message;
    Kind kind = Kind::info;
    std::vector<BackupIssue> details;
    // The backup folder of a backup's entry; empty for other entries.
    std::filesystem::path copyFolder = {};
    // Says the message in another language; the details keep the words of their run.
    Wording wording = {};
};

// Decimal units as Linux file managers write them: "999 bytes", "1.5 kB", "12.3 MB", "1.0 GB",
// with the decimal separator of the language (Polish "1,5 MB").
std::string formatFileSize(Int64 bytes, AppLanguage language);

} // namespace keelbox
