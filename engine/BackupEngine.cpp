#include "engine/BackupEngine.h"

#include "core/ErrnoText.h"
#include "engine/BackupFolder.h"
#include "engine/Destination.h"
#include "engine/FileOps.h"
#include "engine/MetadataLog.h"
#include "engine/PathSafety.h"
#include "engine/ReadAhead.h"
#include "engine/RunSetup.h"
#include "engine/StatWorker.h"
#include "engine/SystemError.h"
#include "engine/TailCount.h"
#include "engine/TreeCopy.h"
#include "engine/VolumeIds.h"
#include "localization/Format.h"

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <mutex>
#include <sys/resource.h>
#include <sys/statvfs.h>
#include <unistd.h>
#include <unordered_set>

// Where a run deliberately differs from a plain recursive copy, and why:
// - The configuration comes from the drive, so whoever wrote the drive chooses the sources, the
//   destination and the drive's name. Sources must stay on the drive (checked with links resolved
//   before anything is read); the backup folder must not lie on the drive, nor where the computer
//   or the desktop runs or trusts files, nor on a removable disk that is not there
//   (Destination.h); a drive name cannot climb out of the destination.
// - A drive folder belongs to one drive (BackupFolder.h): a folder with files of its own or another
//   drive's mark is never written to, and one process at a time writes it.
// - A run that started by itself never deletes most of a copy (holdBackDeletions).
// - Below the backup folder every name is reached relative to an open folder and never through a
//   symbolic link, so a link planted in the copy cannot redirect a write or a deletion.
// - Every copy is written unnamed (where nothing is under its name yet and the disk makes
//   unnamed files) or under a partial name, and named or renamed into place when complete, with
//   its source's time set after its last byte: an interrupted copy never sits under a final name,
//   an old copy (or a folder in the way) stays until the new one is whole, and partial copies a
//   killed run left behind are swept by the next run. The drive's file is looked at again after
//   its copy; one that changed meanwhile is copied again, or reported. Holes stay holes.
// - Set-user-ID, set-group-ID and sticky bits are dropped, execute bits a FAT, exFAT or NTFS drive
//   shows on every file are not carried, and no copy is more open than the umask allows;
//   permissions a file system cannot keep (FAT, exFAT) do not make a good copy fail.
// - A backup disk that takes "a" and "A" for one name, or cannot store ":" or "?", is found out
//   once per run: clashing names are reported instead of overwriting each other, and pruning keeps
//   what a drive name matches there.
// - Sources listed twice, or inside another listed source, are walked once.
// - A dated run hard-links files unchanged since the newest earlier day folder instead of copying
//   them; nothing is ever written into a linked file, so earlier days never change.
// - Mirror pruning deletes only what the drive definitely no longer holds: an unreadable or
//   vanished drive deletes nothing. It is done folder by folder during the copy walk, from the
//   listings the walk reads anyway, rather than by a second walk of both trees afterwards.
// - The copy's metadata is read on a second thread while the drive's is read on this one, and
//   files are copied on two threads; counters, issues and progress are still taken in on this
//   thread, in walk order. With progress shown, the pre-count's reads of the drive are reused;
//   over an existing copy the totals are counted from the far end of the trees while the walk
//   runs, and the count stops where it meets the walk.

namespace keelbox {

namespace fs = std::filesystem;
using detail::DirStream;

std::string driveFolderName(std::string_view driveName) {
    if (driveName.empty())
        return "USB";
    std::string name{driveName};
    for (char& c : name) {
        // A NUL would end the name early at the system call; it is treated like a separator.
        if (c == '/' || c == ':' || c == '\0')
            c = '-';
    }
    // The drive chooses its own name: "." and ".." would put its files into the destination
    // itself or above it.
    if (name == "." || name == "..")
        return "USB";
    return name;
}

std::string dayFolderName(Date date) {
    const auto seconds = std::chrono::floor<std::chrono::seconds>(date).time_since_epoch().count();
    const std::time_t t = static_cast<std::time_t>(seconds);
    std::tm local{};
    ::localtime_r(&t, &local);
    char buffer[32];
    std::snprintf(buffer, sizeof buffer, "%04d-%02d-%02d", local.tm_year + 1900, local.tm_mon + 1,
                  local.tm_mday);
    return buffer;
}

namespace {

fs::path normalisedAbsolute(const fs::path& path) {
    fs::path resolved = resolvedLocation(path);
    // "a/b/" and "a/b" are the same location.
    if (!resolved.has_filename() && resolved.has_relative_path())
        resolved = resolved.parent_path();
    return resolved;
}

} // namespace

std::optional<std::string> relativeSubpath(const fs::path& item, const fs::path& base) {
    const fs::path resolvedItem = normalisedAbsolute(item);
    const fs::path resolvedBase = normalisedAbsolute(base);
    if (!isWithin(resolvedItem, resolvedBase))
        return std::nullopt;
    std::string out;
    auto it = resolvedItem.begin();
    for (auto b = resolvedBase.begin(); b != resolvedBase.end(); ++b) {
        if (!b->empty())
            ++it;
    }
    for (; it != resolvedItem.end(); ++it) {
        if (it->empty())
            continue;
        if (!out.empty())
            out.push_back('/');
        out += it->string();
    }
    return out;
}

namespace {

// A drive's tree can be deep, and a walk holds two folder descriptors per level.
void raiseOpenFileLimit() {
    static std::once_flag once;
    std::call_once(once, [] {
        rlimit limit{};
        if (::getrlimit(RLIMIT_NOFILE, &limit) != 0)
            return;
        const rlim_t wanted = limit.rlim_max == RLIM_INFINITY ? 65536 : limit.rlim_max;
        if (limit.rlim_cur < wanted && limit.rlim_cur < 65536) {
            limit.rlim_cur = wanted < 65536 ? wanted : 65536;
            ::setrlimit(RLIMIT_NOFILE, &limit);
        }
    });
}

struct OpenedSource {
    enum class Kind { missing, refused, folder, file, other, failed };
    Kind kind = Kind::missing;
    UniqueFd folder;  // the source folder, or the folder that holds the source file
    std::string name; // the source file's name within `folder`
    struct stat st {};
    int error = 0;

    void fail(int errnum, bool missing) {
        error = errnum;
        kind = missing ? Kind::missing : Kind::failed;
    }
};

struct DriveRoot {
    UniqueFd fd;
    fs::path real;
};

// The mount point comes from the computer, not from the drive: it is opened as given.
DriveRoot openDriveRoot(const fs::path& volumeRoot) {
    DriveRoot root;
    root.fd.reset(detail::openAt(AT_FDCWD, volumeRoot.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (root.fd.valid())
        root.real = normalisedAbsolute(volumeRoot);
    return root;
}

// The source's path below the drive's root with links resolved, as components (none for the
// whole drive); nothing, with `out` saying why, when it cannot be resolved or leads off the drive.
std::optional<std::vector<std::string>> resolvedComponents(const DriveRoot& root,
                                                           const fs::path& volumeRoot,
                                                           std::string_view relativePath,
                                                           OpenedSource& out) {
    if (pathComponents(relativePath).empty())
        return std::vector<std::string>{};
    char real[PATH_MAX];
    const std::string full = (volumeRoot / fs::path{relativePath}).string();
    if (sysCalls().realpath(full.c_str(), real) == nullptr) {
        out.fail(errno, errno == ENOENT || errno == ENOTDIR);
        return std::nullopt;
    }
    const fs::path resolved{real};
    if (!isWithin(resolved, root.real)) {
        out.kind = OpenedSource::Kind::refused;
        return std::nullopt;
    }
    return pathComponents(resolved.lexically_relative(root.real).generic_string());
}

// The last component below its open parent: a folder is opened, anything else stays named in
// its parent.
void openLast(UniqueFd parent, const std::string& last, OpenedSource& out) {
    if (sysCalls().fstatat(parent.get(), last.c_str(), &out.st, AT_SYMLINK_NOFOLLOW) != 0) {
        out.fail(errno, errno == ENOENT);
        return;
    }
    if (!S_ISDIR(out.st.st_mode)) {
        out.folder = std::move(parent);
        out.name = last;
        out.kind = S_ISREG(out.st.st_mode) ? OpenedSource::Kind::file : OpenedSource::Kind::other;
        return;
    }
    out.folder.reset(detail::openAt(parent.get(), last.c_str(), detail::folderOpenFlags));
    if (!out.folder.valid())
        out.fail(errno, false);
    else
        out.kind = OpenedSource::Kind::folder;
}

// Opens a configured source below the drive's root. The path comes from the drive and is checked
// before anything is read: written without ".." and not absolute, and, with links resolved, still
// below the drive's root. The resolved path is then opened one component at a time without
// following links, so that a link swapped in between the check and the opening fails instead of
// leading elsewhere.
OpenedSource openSource(const DriveRoot& root, const fs::path& volumeRoot,
                        std::string_view relativePath) {
    OpenedSource out;
    if (!isSafeRelativePath(relativePath)) {
        out.kind = OpenedSource::Kind::refused;
        return out;
    }
    if (!root.fd.valid())
        return out;
    const auto components = resolvedComponents(root, volumeRoot, relativePath, out);
    if (!components)
        return out;
    UniqueFd current{sysCalls().dupFd(root.fd.get())};
    for (std::size_t i = 0; i + 1 < components->size(); ++i) {
        current.reset(
            detail::openAt(current.get(), (*components)[i].c_str(), detail::folderOpenFlags));
        if (!current.valid()) {
            out.fail(errno, errno == ENOENT);
            return out;
        }
    }
    if (!components->empty()) {
        openLast(std::move(current), components->back(), out);
    } else if (sysCalls().fstat(current.get(), &out.st) != 0) {
        out.fail(errno, false);
    } else {
        out.folder = std::move(current);
        out.kind = OpenedSource::Kind::folder;
    }
    return out;
}

// Opens (creating where needed) the folders `components` below `base`, never through a link; a
// link in the way is replaced by a folder.
UniqueFd openFolderChain(int base, const std::vector<std::string>& components, std::size_t count,
                         int& error) {
    UniqueFd current{sysCalls().dupFd(base)};
    if (!current.valid()) {
        error = errno;
        return current;
    }
    for (std::size_t i = 0; i < count; ++i) {
        UniqueFd next{detail::openOrMakeFolder(current.get(), components[i].c_str(),
                                               detail::LinkInWay::replace, error)};
        if (!next.valid())
            return next;
        current = std::move(next);
    }
    return current;
}

} // namespace

namespace {

// The regular files of every source and their sizes; nothing when the counting was left to the
// read-ahead `ahead`. The listed files alone without `withFolders`.
std::optional<Totals> countIn(const DriveConfig& config, const fs::path& volumeRoot, Tally& tally,
                              detail::MetadataLog* log, detail::ReadAhead* ahead,
                              bool withFolders) {
    Totals totals;
    DriveRoot root = openDriveRoot(volumeRoot);
    for (const SourceItem* listed : detail::distinctSources(config.sources)) {
        OpenedSource source = openSource(root, volumeRoot, listed->relativePath);
        if (source.kind == OpenedSource::Kind::folder && withFolders) {
            if (!detail::countContents(source.folder.get(), totals, tally.statWorker(), log, ahead))
                return std::nullopt;
        } else if (source.kind == OpenedSource::Kind::file) {
            ++totals.files;
            totals.bytes += source.st.st_size;
        }
    }
    return totals;
}

// The pre-count before a first copy. What it reads is kept (up to a bound) for the copy walk;
// but once its reads wait for the disk, it leaves the counting to the read-ahead, which reads
// many folders at a time.
Totals countSources(const DriveConfig& config, const fs::path& volumeRoot, Tally& tally,
                    detail::ReadAhead& readAhead) {
    std::optional<Totals> totals =
        countIn(config, volumeRoot, tally, &tally.startMetadataLog(), &readAhead, true);
    if (!totals) {
        tally.dropMetadataLog();
        if (const std::optional<Totals> inFolders = readAhead.count()) {
            totals = countIn(config, volumeRoot, tally, nullptr, nullptr, false);
            totals->files += inFolders->files;
            totals->bytes += inFolders->bytes;
        } else {
            totals = countIn(config, volumeRoot, tally, &tally.startMetadataLog(), nullptr, true);
        }
    }
    if (detail::MetadataLog* log = tally.metadataLog())
        log->seal();
    return *totals;
}

} // namespace

namespace {

// The safety rule for runs that started by themselves (on connect, at start): a mirror run that
// would empty most of a copy deletes nothing, because a drive that comes back reformatted,
// swapped or half-mounted looks just like one whose files were deleted. The user's own run
// deletes as configured.
constexpr Int massDeletionMinimum = 50;

struct CopyCount {
    Int files = 0; // regular files of the copy
    Int gone = 0;  // of them, those the drive no longer holds
};

// What pruning `target` against the open source folder would delete, counted in files.
CopyCount countDeletions(int source, const fs::path& target) {
    CopyCount count;
    std::error_code ec;
    fs::recursive_directory_iterator it(target, fs::directory_options::skip_permission_denied, ec);
    for (const fs::recursive_directory_iterator end; !ec && it != end; it.increment(ec)) {
        const fs::path rel = it->path().lexically_relative(target);
        const std::string relText = rel.generic_string();
        if (isExcluded(relText)) {
            if (it->is_directory(ec))
                it.disable_recursion_pending();
            continue;
        }
        if (!it->is_regular_file(ec) || it->is_symlink(ec))
            continue;
        ++count.files;
        struct stat st {};
        if (sysCalls().fstatat(source, relText.c_str(), &st, 0) != 0 &&
            (errno == ENOENT || errno == ENOTDIR))
            ++count.gone;
    }
    return count;
}

bool holdsEntries(int source) {
    DirStream listing{UniqueFd{detail::openAt(source, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)}};
    int error = 0;
    while (const dirent64* entry = listing.next(error)) {
        if (!isExcluded(entry->d_name))
            return true;
    }
    return false;
}

// Whether an automatic run holds back its deletions for this source, with the issue saying so.
bool holdBackDeletions(Tally& tally, int source, const fs::path& target, const std::string& shown) {
    const CopyCount count = countDeletions(source, target);
    const bool emptied = count.files > 0 && !holdsEntries(source);
    if (!emptied && !(count.gone >= massDeletionMinimum && count.gone * 2 > count.files))
        return false;
    BackupIssue issue;
    issue.path = shown;
    issue.reason = formatText(localizedText("engine.massDeleteHeld", tally.language),
                              {count.gone, count.files});
    issue.suggestion = localizedText("engine.massDeleteHeldHint", tally.language);
    tally.result.errors.push_back(std::move(issue));
    return true;
}

void addRefusal(Tally& tally, const DestinationPlan& plan) {
    BackupIssue issue;
    issue.path = plan.shown.string();
    issue.reason = formatText(localizedText(plan.reasonKey, tally.language), {plan.missingDisk});
    if (plan.reasonKey != "engine.destOnDrive")
        issue.systemMessage = plan.detail;
    issue.suggestion = localizedText(plan.hintKey, tally.language);
    tally.result.errors.push_back(std::move(issue));
}

// The identity the drive folder is claimed with: the configuration's, and the file system's UUID
// when the drive is a mounted file system that has one.
detail::DriveFingerprint driveIdentity(const DriveConfig& config, const fs::path& volumeRoot,
                                       const RunEnvironment& environment) {
    const VolumeIds ids = volumeIds(volumeRoot);
    detail::DriveFingerprint identity{config.driveID,
                                      environment.volumeUUID ? *environment.volumeUUID : ids.uuid,
                                      ids.hardware, 0};
    struct statvfs fs {};
    if (ids.mountPoint && sysCalls().statvfs(volumeRoot.c_str(), &fs) == 0)
        identity.size = static_cast<Int64>(fs.f_blocks) * static_cast<Int64>(fs.f_frsize);
    return identity;
}

// Where every source of a run goes: the prepared folder, how its copy is cleaned up, and the
// earlier day folder of a dated run.
struct RunTarget {
    int folder = -1;
    std::string folderText;
    detail::CopyCleanup cleanup;
    UniqueFd previousDay;
};

RunTarget runTarget(const DriveConfig& config, const detail::PreparedFolder& folder,
                    std::string folderText, const std::string& day, Tally& tally) {
    RunTarget target;
    target.folder = folder.folder.get();
    target.folderText = std::move(folderText);
    target.cleanup.device = folder.device;
    // The first run into a folder taken over from the drive's earlier setup deletes nothing.
    target.cleanup.mirror =
        config.mode == BackupMode::sync && config.deleteRemovedFiles && !folder.adopted;
    target.cleanup.sweepPartials = folder.sweepPartials;
    detail::probeDestination(tally, target.folder);
    if (!day.empty())
        target.previousDay =
            detail::earlierDayFolders(target.folder, day, folder.device, detail::runningAttribute);
    return target;
}

// Whether the opened source is a folder or a file to copy; otherwise its issue is made.
bool usableSource(Tally& tally, const OpenedSource& source, const std::string& shown,
                  const std::string& sourceText) {
    switch (source.kind) {
    case OpenedSource::Kind::missing:
        detail::addEngineIssue(tally, shown, "engine.srcMissing", "engine.srcMissingHint");
        return false;
    case OpenedSource::Kind::refused:
        detail::addEngineIssue(tally, shown, "engine.srcOutside", "engine.srcOutsideHint");
        return false;
    case OpenedSource::Kind::failed:
        detail::addFileIssue(tally, source.error, detail::FileOp::openSource, sourceText, shown);
        return false;
    case OpenedSource::Kind::other:
        detail::addEngineIssue(tally, shown, "engine.notRegular", "engine.notRegularHint");
        return false;
    case OpenedSource::Kind::folder:
    case OpenedSource::Kind::file:
        break;
    }
    return true;
}

// The folders of `components` (the first `count`) below the day folder before this one.
UniqueFd earlierDayChain(const RunTarget& target, const std::vector<std::string>& components,
                         std::size_t count) {
    if (!target.previousDay.valid())
        return {};
    return detail::openExistingChain(target.previousDay.get(), components, count);
}

// A source folder; mirror pruning runs inside the copy walk, folder by folder.
void copySourceFolder(Tally& tally, const RunTarget& target, const OpenedSource& source,
                      const std::vector<std::string>& components, const detail::Where& where,
                      const std::string& shown, bool automatic) {
    int targetError = 0;
    const UniqueFd copy =
        openFolderChain(target.folder, components, components.size(), targetError);
    detail::CopyCleanup cleanup = target.cleanup;
    if (cleanup.mirror && automatic && copy.valid())
        cleanup.mirror =
            !holdBackDeletions(tally, source.folder.get(), std::string{where.targetBase}, shown);
    const UniqueFd previous = earlierDayChain(target, components, components.size());
    detail::copyContents(tally, where, source.folder.get(),
                         {copy.get(), targetError, false, previous.get()}, cleanup);
}

// A file listed as a source is copied whatever its name; only what is found inside folders is
// tested against the never-copied names.
void copySourceFile(Tally& tally, const RunTarget& target, const OpenedSource& source,
                    const std::vector<std::string>& components, const detail::Where& where) {
    int targetError = 0;
    const UniqueFd parent =
        openFolderChain(target.folder, components, components.size() - 1, targetError);
    const UniqueFd previous = earlierDayChain(target, components, components.size() - 1);
    detail::Candidate file;
    file.srcDir = source.folder.get();
    file.srcName = source.name.c_str();
    file.srcStat = &source.st;
    file.dstDir = parent.get();
    file.dstError = targetError;
    file.dstName = components.back().c_str();
    file.previousDir = previous.get();
    detail::copyOne(tally, where, file);
}

// The trees of every source folder for the read-ahead: the drive's, the copy's and the earlier
// day's where they exist (nothing is made for it).
void addReadAheadTrees(detail::ReadAhead& readAhead, detail::TailCount* tailCount,
                       const DriveConfig& config, const fs::path& volumeRoot,
                       const RunTarget& target) {
    const DriveRoot root = openDriveRoot(volumeRoot);
    for (const SourceItem* item : detail::distinctSources(config.sources)) {
        const OpenedSource source = openSource(root, volumeRoot, item->relativePath);
        if (source.kind != OpenedSource::Kind::folder)
            continue;
        const std::vector<std::string> components = pathComponents(item->relativePath);
        const UniqueFd copy =
            detail::openExistingChain(target.folder, components, components.size());
        const UniqueFd previous = earlierDayChain(target, components, components.size());
        readAhead.add(source.folder.get(), copy.get(), previous.get());
        if (tailCount != nullptr)
            tailCount->add(source.folder.get());
    }
}

// Each source in list order into the prepared folder.
void copySources(const DriveConfig& config, const fs::path& volumeRoot, const RunTarget& target,
                 const RunEnvironment& environment, Tally& tally) {
    const DriveRoot root = openDriveRoot(volumeRoot);
    tally.sourceInventsModes = root.fd.valid() && detail::keepsNoPermissions(root.fd.get());
    for (const SourceItem* item : detail::distinctSources(config.sources)) {
        if (tally.stopRequested()) {
            tally.cutShort.store(true);
            break;
        }
        const std::string& relativePath = item->relativePath;
        const std::string shown =
            relativePath.empty() ? localizedText("cfg.wholeName", tally.language) : relativePath;
        const OpenedSource source = openSource(root, volumeRoot, relativePath);
        const std::string sourceText = (volumeRoot / fs::path{relativePath}).string();
        if (!usableSource(tally, source, shown, sourceText))
            continue;
        // The copy keeps the source's place below the backup folder, as written in the
        // configuration (checked above to hold no ".." and no leading "/").
        const std::vector<std::string> components = pathComponents(relativePath);
        const std::string targetText = detail::joinPath(target.folderText, relativePath);
        const detail::Where where{sourceText, targetText, relativePath, {}};
        if (source.kind == OpenedSource::Kind::folder)
            copySourceFolder(tally, target, source, components, where, shown,
                             environment.automatic);
        else
            copySourceFile(tally, target, source, components, where);
    }
}

// Whether the open folder holds nothing a run copied (marks and never-copied names aside).
bool holdsNoCopies(int folder) {
    DirStream listing{UniqueFd{detail::openAt(folder, ".", detail::folderOpenFlags)}};
    int error = 0;
    while (const dirent64* entry = listing.next(error)) {
        if (!isExcluded(entry->d_name) && !detail::isPartialName(entry->d_name))
            return false;
    }
    return error == 0;
}

// A first copy: a folder that holds no copies yet, and no earlier day to link from. Nothing in
// it can be unchanged.
bool copyIsNew(const RunTarget& target) {
    return !target.previousDay.valid() && holdsNoCopies(target.folder);
}

// Before a first copy, everything the pre-count found is to be written: when that exceeds the
// free space, the run says so at once, then copies what fits. Elsewhere the walk tells, as it
// finds what has changed (Tally::expectGrowth).
void warnIfTooLarge(Tally& tally) {
    if (tally.freeAtStart >= 0 && tally.bytesTotal > tally.freeAtStart)
        tally.warnOfShortage({tally.bytesTotal, tally.freeAtStart});
}

Int filesBackedUp(const BackupResult& result) {
    return result.filesCopied + result.filesSkipped + result.filesLinked;
}

// The one issue of a run that ended early, and how it ended.
void endRun(Tally& tally) {
    BackupResult& result = tally.result;
    // Files that failed without a word (their values unreadable) leave only the mount to tell.
    if (tally.halt.load() == Tally::Halt::none &&
        (tally.totalsPending || tally.processedFiles < tally.filesTotal) && tally.driveVanished())
        tally.halt.store(Tally::Halt::driveGone);
    switch (tally.halt.load()) {
    case Tally::Halt::driveGone: {
        result.ending = BackupResult::Ending::driveGone;
        const Int done = filesBackedUp(result);
        BackupIssue issue;
        issue.reason = formatText(localizedText("engine.driveGone", tally.language),
                                  {done, std::max(tally.filesTotal, done)});
        issue.suggestion = localizedText("engine.driveGoneHint", tally.language);
        result.errors.insert(result.errors.begin(), std::move(issue));
        return;
    }
    case Tally::Halt::noSpace: {
        // The figures once the disk is full: what was still to write, the figure the run
        // warned with less what it wrote since (else what the walk had not reached, when the
        // totals are known), and the space left now.
        const Int64 available = std::max<Int64>(tally.freeSpace(), 0);
        Int64 needed = tally.bytesRemaining();
        if (tally.spaceShortage && !tally.spaceShortage->atLeast && tally.freeAtStart >= 0)
            needed =
                tally.spaceShortage->needed - std::max<Int64>(tally.freeAtStart - available, 0);
        BackupIssue issue;
        issue.path = tally.haltPath;
        issue.reason = needed > available
                           ? formatText(localizedText("engine.noSpaceFigures", tally.language),
                                        {formatFileSize(needed, tally.language),
                                         formatFileSize(available, tally.language)})
                           : formatText(localizedText("engine.noSpaceFree", tally.language),
                                        {formatFileSize(available, tally.language)});
        issue.systemMessage = errnoText(ENOSPC);
        issue.suggestion = localizedText("engine.noSpaceHint", tally.language);
        result.errors.push_back(std::move(issue));
        break;
    }
    case Tally::Halt::none:
        break;
    }
    // A stop request that came when everything was done already changes nothing.
    if (tally.cutShort.load() && tally.stopAsked()) {
        result.ending = BackupResult::Ending::stopped;
        detail::addEngineIssue(tally, {}, "engine.stopped", {});
    }
}

// "Done" means on the disk: a run that wrote anything waits for its copies to leave the page
// cache, so that a user who then wipes the drive and loses power still has them.
void flushBackupDisk(Tally& tally, int folder, const std::string& shown) {
    const BackupResult& result = tally.result;
    if (result.filesCopied + result.filesLinked + result.filesDeleted == 0)
        return;
    if (sysCalls().syncfs(folder) != 0)
        detail::addEngineIssue(tally, shown, "engine.syncFailed", "engine.syncFailedHint",
                               FileError{errno, "write out", shown}.message());
}

BackupResult resultOf(Tally& tally, const DestinationPlan& plan,
                      std::chrono::steady_clock::time_point started) {
    BackupResult result = std::move(tally.result);
    result.destinationRoot = plan.shown;
    result.duration =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    return result;
}

} // namespace

BackupResult BackupEngine::run(const DriveConfig& config, const fs::path& volumeRoot,
                               AppLanguage language, const ProgressCallback& onProgress,
                               const RunEnvironment& environment) {
    const auto started = std::chrono::steady_clock::now();
    raiseOpenFileLimit();
    Tally tally{language, onProgress, environment.stopRequested};

    // The destination comes from the drive: it is vetted before anything is made (Destination.h).
    std::string day;
    if (config.mode == BackupMode::dated)
        day = dayFolderName(environment.clock ? environment.clock() : now());
    const DestinationPlan plan = planDestination(
        config.destinationPath, driveFolderName(config.driveName), day,
        destinationFacts(environment.homeFolder, volumeRoot, environment.callersOwnFolder));
    const auto finish = [&] { return resultOf(tally, plan, started); };
    if (plan.refused()) {
        addRefusal(tally, plan);
        return finish();
    }

    // The drive folder must be this drive's (BackupFolder.h); it stays locked for the run.
    detail::PreparedFolder folder =
        detail::prepareBackupFolder(plan, driveIdentity(config, volumeRoot, environment));
    if (!folder.usable()) {
        const std::string shown = plan.shown.string();
        // The real folder is worth a line of its own only where the shown path hides it.
        const std::string real = plan.driveFolder.string();
        if (!folder.reasonKey.empty())
            detail::addEngineIssue(tally, shown, folder.reasonKey, folder.hintKey,
                                   !folder.detail.empty() ? folder.detail
                                   : real != shown        ? real
                                                          : std::string{});
        else
            detail::addFileIssue(tally, folder.error, detail::FileOp::createFolder, shown, shown);
        return finish();
    }

    tally.watchDrive(volumeRoot.string());
    tally.destinationFolder = folder.folder.get();
    if (environment.onSpaceShortage) {
        tally.onSpaceShortage = environment.onSpaceShortage;
        tally.freeAtStart = tally.freeSpace();
    }
    RunTarget target = runTarget(config, folder, plan.shown.string(), day, tally);
    detail::ReadAhead readAhead;
    detail::TailCount tailCount;
    const bool countsWhileWalking = onProgress && !copyIsNew(target);
    addReadAheadTrees(readAhead, countsWhileWalking ? &tailCount : nullptr, config, volumeRoot,
                      target);
    tally.readAhead = &readAhead;
    if (copyIsNew(target)) {
        // A first copy takes long whatever its count costs, and is all to be written. The pool
        // reads the drive's metadata many folders at a time before the copying threads need it
        // (they would find it one file at a time, and compete with the pool for the disk).
        const Totals totals = countSources(config, volumeRoot, tally, readAhead);
        tally.filesTotal = totals.files;
        tally.bytesTotal = totals.bytes;
        warnIfTooLarge(tally);
    } else if (countsWhileWalking) {
        tally.tailCount = &tailCount;
        tally.totalsPending = true;
        tally.listedTotals = *countIn(config, volumeRoot, tally, nullptr, nullptr, false);
        tally.countNow = [&] {
            return *countIn(config, volumeRoot, tally, nullptr, nullptr, true);
        };
    }
    tally.walkStarted = std::chrono::steady_clock::now();
    copySources(config, volumeRoot, target, environment, tally);
    tally.settleTotals();
    endRun(tally);
    // Only a run that went through says when the drive was last backed up.
    detail::finishBackupFolder(folder,
                               !tally.cutShort.load() && tally.halt.load() == Tally::Halt::none);
    flushBackupDisk(tally, folder.folder.get(), plan.shown.string());
    tally.reportFinal();
    BackupResult result = finish();
    result.filesTotal = tally.filesTotal;
    return result;
}

} // namespace keelbox
