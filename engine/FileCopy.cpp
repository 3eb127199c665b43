#include "engine/FileCopy.h"

#include "engine/SystemError.h"
#include "localization/Language.h"

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <optional>
#include <unistd.h>

namespace keelbox::detail {

namespace {

// Errors of the in-kernel copy that mean "not between these two files", after which reading and
// writing does the job.
bool fastCopyUnsupported(int error) {
    return error == EXDEV || error == EINVAL || error == ENOSYS || error == EOPNOTSUPP ||
           error == ENOTSUP || error == EBADF || error == ETXTBSY;
}

// Errors of chmod/utimens meaning the destination cannot hold that attribute (FAT and exFAT
// through FUSE: EPERM, ENOSYS, ENOTSUP). The bytes are all written by then, so the copy is good.
bool attributeUnsupported(int error) {
    return error == EPERM || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP ||
           error == EACCES;
}

} // namespace

std::string_view operationText(FileOp op) {
    switch (op) {
    case FileOp::openSource:
        return "open";
    case FileOp::readSource:
        return "read";
    case FileOp::listFolder:
        return "list";
    case FileOp::openFolder:
        return "open the folder";
    case FileOp::createFolder:
        return "create the folder";
    case FileOp::createCopy:
        return "create";
    case FileOp::writeCopy:
        return "write";
    case FileOp::finishCopy:
        return "finish writing";
    case FileOp::removeOld:
        return "remove";
    case FileOp::remove:
        return "remove";
    }
    return "copy";
}

namespace {

struct CopyOutcome {
    int error = 0;
    bool onSource = false; // whether the error came from reading
};

// Reads up to `expected` (both descriptors at `copied`), or to the end of `in` when `expected`
// is 0 (a file that says it is empty may still have bytes: procfs-like files). A file that grows
// meanwhile gets a newer time, which the check after the copy sees.
CopyOutcome readWriteCopy(char* buffer, int in, int out, off_t copied, off_t expected) {
    while (copied < expected || expected == 0) {
        std::size_t want = Tally::copyBufferSize;
        if (expected > 0 && static_cast<off_t>(want) > expected - copied)
            want = static_cast<std::size_t>(expected - copied);
        const ssize_t got = retryOnInterrupt([&] { return sysCalls().read(in, buffer, want); });
        if (got < 0)
            return {errno, true};
        if (got == 0)
            return {};
        if (!writeAll(out, {buffer, static_cast<std::size_t>(got)}, sysCalls().write))
            return {errno, false};
        copied += got;
    }
    return {};
}

// The two files of one copy, and the drive's device for the run's memory of refused copies.
struct CopyEnds {
    int in;
    dev_t device;
    int out;
};

// One in-kernel way of copying [done, to), `step` moving up to its count of bytes on from both
// files' positions. Nothing when read/write or another way is to go on from `done`: the drive's
// files do not take this one (noted in `refused`), or the kernel reported end of file at once.
template <typename Step>
std::optional<CopyOutcome> kernelCopy(SharedRunState::RefusedFrom& refused, const CopyEnds& ends,
                                      off_t& done, off_t to, Step step) {
    const off_t from = done;
    while (done < to) {
        const auto chunk = static_cast<std::size_t>(std::min<off_t>(to - done, off_t{1} << 30));
        const ssize_t n = retryOnInterrupt([&] { return step(chunk); });
        if (n > 0) {
            done += n;
            continue;
        }
        if (n == 0) {
            // Some file systems (procfs-like, a few FUSE drivers) report end of file at once;
            // read/write then finds out whether there really is nothing. Later on, the file has
            // shrunk, which the check after the copy sees.
            if (done == from)
                return std::nullopt;
            return CopyOutcome{};
        }
        if (done == from && fastCopyUnsupported(errno)) {
            refused.note(ends.device);
            return std::nullopt;
        }
        // After a partial in-kernel copy the side that failed is unknown; a full destination or a
        // read-only one is what it almost always is, and both are the copy's.
        return CopyOutcome{errno, errno == EIO};
    }
    if (to > 0)
        return CopyOutcome{};
    return std::nullopt;
}

// Copies the bytes [from, to) of `in` to the same place of `out`; both descriptors stand at
// `from`. First copy_file_range, with which file systems that share blocks (btrfs, XFS) make a
// reflink and one that copies on its server (NFS, SMB) sends nothing over the wire; between two
// file systems it is mostly refused, and sendfile then moves the drive's cached pages into the
// copy with one pass over the bytes instead of read/write's two. Read/write is what is left.
CopyOutcome copyRange(SharedRunState& shared, char* buffer, const CopyEnds& ends, off_t from,
                      off_t to) {
    off_t done = from;
    if (!shared.noRangeCopy.covers(ends.device)) {
        if (const std::optional<CopyOutcome> finished =
                kernelCopy(shared.noRangeCopy, ends, done, to, [&](std::size_t chunk) {
                    return sysCalls().copyFileRange(ends.in, nullptr, ends.out, nullptr, chunk, 0);
                }))
            return *finished;
    }
    if (!shared.noSplice.covers(ends.device)) {
        if (const std::optional<CopyOutcome> finished =
                kernelCopy(shared.noSplice, ends, done, to, [&](std::size_t chunk) {
                    return sysCalls().sendFile(ends.out, ends.in, nullptr, chunk);
                }))
            return *finished;
    }
    if (to - done >= (1 << 20))
        sysCalls().fadvise(ends.in, done, to - done, POSIX_FADV_SEQUENTIAL);
    return readWriteCopy(buffer, ends.in, ends.out, done, to);
}

// Copies all bytes of `in` (read from its start) to the empty file `out`. A file with fewer
// blocks than its size has holes: only its data is copied, found with SEEK_DATA/SEEK_HOLE, and the
// copy gets its size at the end, so its holes stay holes whatever path copies the data.
CopyOutcome copyData(SharedRunState& shared, char* buffer, int in, const struct stat& inStat,
                     int out) {
    const off_t size = inStat.st_size;
    const CopyEnds ends{in, inStat.st_dev, out};
    const bool sparse = size > 0 && static_cast<off_t>(inStat.st_blocks) * 512 < size;
    if (!sparse)
        return copyRange(shared, buffer, ends, 0, size);
    off_t position = 0;
    while (position < size) {
        const off_t data = sysCalls().lseek(in, position, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // nothing but a hole up to the end
            // No hole finding here (some FUSE drivers): the file is copied as it reads.
            if (sysCalls().lseek(in, 0, SEEK_SET) != 0 || sysCalls().lseek(out, 0, SEEK_SET) != 0 ||
                sysCalls().ftruncate(out, 0) != 0)
                return {errno, false};
            return copyRange(shared, buffer, ends, 0, size);
        }
        if (data >= size)
            break;
        off_t hole = sysCalls().lseek(in, data, SEEK_HOLE);
        if (hole < 0 || hole > size)
            hole = size;
        if (sysCalls().lseek(in, data, SEEK_SET) < 0 || sysCalls().lseek(out, data, SEEK_SET) < 0)
            return {errno, false};
        const CopyOutcome part = copyRange(shared, buffer, ends, data, hole);
        if (part.error != 0)
            return part;
        position = hole;
    }
    if (sysCalls().ftruncate(out, size) != 0)
        return {errno, false};
    return {};
}

// Whether the drive's file changed since `before` was read: its size, its modification time, or
// its change time (a rewrite that restores the old time still moves the change time).
bool changedSince(const struct stat& before, const struct stat& now) {
    return before.st_size != now.st_size || before.st_mtim.tv_sec != now.st_mtim.tv_sec ||
           before.st_mtim.tv_nsec != now.st_mtim.tv_nsec ||
           before.st_ctim.tv_sec != now.st_ctim.tv_sec ||
           before.st_ctim.tv_nsec != now.st_ctim.tv_nsec;
}

// Errors of link() meaning the backup disk makes no hard links (FAT, exFAT through FUSE).
// Errors of an O_TMPFILE open meaning the backup disk makes no unnamed files (EISDIR: a kernel
// that takes the flag for O_DIRECTORY alone).
bool unnamedUnsupported(int error) {
    return error == EOPNOTSUPP || error == ENOTSUP || error == EISDIR || error == EINVAL ||
           error == ENOSYS;
}

bool linksUnsupported(int error) {
    return error == EPERM || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP ||
           error == EXDEV;
}

// The partial copy of the run: a name no drive-listed file of this run gets (the process and the
// run's own counter), which a crash leaves behind as an obviously partial file, and which the
// next run removes (mirror pruning, or the sweep after a run cut short) once that process is gone.
void partialName(const RunRules& rules, SharedRunState& shared, char (&buffer)[64]) {
    std::snprintf(buffer, sizeof buffer, "%s%ld-%llu", partialPrefix, static_cast<long>(rules.pid),
                  static_cast<unsigned long long>(shared.partialCounter.fetch_add(1) + 1));
}

} // namespace

std::string Where::shown() const {
    if (shownPrefix.empty())
        return std::string{rel};
    return joinPath(shownPrefix, rel);
}

bool partialOfLiveRun(const char* name, pid_t self) {
    if (std::strncmp(name, partialPrefix, sizeof partialPrefix - 1) != 0)
        return false;
    const char* digits = name + sizeof partialPrefix - 1;
    char* end = nullptr;
    errno = 0;
    const long pid = std::strtol(digits, &end, 10);
    if (end == digits || *end != '-' || errno != 0 || pid <= 0 || pid == self)
        return false;
    // A process that exists (or exists under another user: EPERM) may still be writing it.
    return ::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM;
}

void addFileIssue(Tally& tally, int error, FileOp op, const std::string& file, std::string shown) {
    const bool onDrive = op == FileOp::openSource || op == FileOp::readSource ||
                         op == FileOp::listFolder || op == FileOp::openFolder;
    if (tally.absorbFailure(error, onDrive, shown))
        return; // the run's ending makes the one issue
    const FileError failure{error, std::string(operationText(op)), file};
    tally.result.errors.push_back(
        makeIssue(SystemError::posix(failure), std::move(shown), tally.language));
}

void addEngineIssue(Tally& tally, std::string path, std::string_view reasonKey,
                    std::string_view hintKey, std::string systemMessage) {
    BackupIssue issue;
    issue.path = std::move(path);
    issue.reason = localizedText(reasonKey, tally.language);
    issue.systemMessage = std::move(systemMessage);
    if (!hintKey.empty())
        issue.suggestion = localizedText(hintKey, tally.language);
    tally.result.errors.push_back(std::move(issue));
}

namespace {

using Subject = FileOutcome::Subject;

void setFailed(FileOutcome& outcome, int error, FileOp op, Subject subject) {
    outcome.kind = FileOutcome::Kind::failed;
    outcome.error = error;
    outcome.op = op;
    outcome.subject = subject;
}

// The values of `name` in `folder`: those read already, else read now into `looked`. A link is
// looked at, never followed: it is never taken as the copy, and never written through.
const StatSlot& valuesOf(int folder, const char* name, const StatSlot* known, StatSlot& looked) {
    if (known != nullptr)
        return *known;
    looked.error =
        sysCalls().fstatat(folder, name, &looked.st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    return looked;
}

// The mode the copy of a file of mode `sourceMode` has (Tally.h).
mode_t wantedMode(const Tally& tally, mode_t sourceMode) {
    return copyPermissions(sourceMode, false, tally.sourceInventsModes, tally.creationMask);
}

// A copy whose permission bits no longer match the drive's file (changed there alone, or left
// more open by an earlier release) is given the drive's. False when the copy shares its inode
// (with an earlier day folder): that is never changed, so the file is copied anew instead. A disk
// that keeps no permissions (FAT, exFAT, NTFS through FUSE) shows every file open to all whatever
// is set: found out at the first attempt.
bool matchCopyMode(Tally& tally, const Candidate& file, const struct stat& copy) {
    const mode_t wanted = wantedMode(tally, file.srcStat->st_mode);
    if ((copy.st_mode & 07777) == wanted || tally.modesIgnored)
        return true;
    if (copy.st_nlink != 1)
        return false;
    struct stat after {};
    if (sysCalls().fchmodat(file.dstDir, file.dstName, wanted, 0) != 0 ||
        sysCalls().fstatat(file.dstDir, file.dstName, &after, AT_SYMLINK_NOFOLLOW) != 0 ||
        (after.st_mode & 07777) != wanted)
        tally.modesIgnored = true;
    return true;
}

// Dated mode: whether the earlier day folder holds an unchanged copy (the skip rule again) to
// share; a copy of other permission bits is not shared, so that today's entry keeps today's.
bool earlierCopyUnchanged(const Tally& tally, const Candidate& file, Int64 size,
                          double sourceTime) {
    StatSlot looked;
    const StatSlot& previous = valuesOf(file.previousDir, file.dstName, file.knownPrevious, looked);
    return previous.error == 0 && S_ISREG(previous.st.st_mode) &&
           isUnchanged(size, sourceTime, previous.st.st_size, secondsOf(previous.st.st_mtim)) &&
           (tally.modesIgnored ||
            (previous.st.st_mode & 07777) == wantedMode(tally, file.srcStat->st_mode));
}

// The earlier day's copy becomes today's too: no data is written, and nothing is ever written
// into that file afterwards (a changed file is a new file, renamed into place). False when the
// file is to be copied instead (no earlier copy, no hard links on this disk, too many links to
// that file, something appeared meanwhile).
bool linkFromEarlierDay(SharedRunState& shared, const CopyJob& job) {
    if (job.linkDir < 0 || shared.linksRefused.load(std::memory_order_relaxed))
        return false;
    const char* name = job.dstName.c_str();
    if (sysCalls().linkat(job.linkDir, name, job.dstDir, name, 0) == 0)
        return true;
    if (linksUnsupported(errno))
        shared.linksRefused.store(true, std::memory_order_relaxed);
    return false;
}

// Opens the drive's file and reads its values from the open file. False, with the outcome set,
// when there is nothing to copy.
bool openDriveFile(CopyJob& job, UniqueFd& in, struct stat& inStat) {
    FileOutcome& outcome = job.outcome;
    // O_NONBLOCK: a pipe swapped in after the listing must not hang the run; O_NOFOLLOW: nor may
    // a link swapped in send it outside the drive.
    in.reset(openAt(job.srcDir, job.srcName.c_str(),
                    O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC));
    if (!in.valid()) {
        const int error = errno;
        if (job.srcStatDeferred) {
            // Read now what the listing did not tell: gone meanwhile, it counts nothing, as an
            // entry whose values cannot be read; otherwise its size counts as handled.
            struct stat st {};
            if (sysCalls().fstatat(job.srcDir, job.srcName.c_str(), &st, AT_SYMLINK_NOFOLLOW) !=
                0) {
                outcome.kind = FileOutcome::Kind::uncounted;
                return false;
            }
            outcome.size = st.st_size;
        }
        setFailed(outcome, error, FileOp::openSource, Subject::source);
        return false;
    }
    if (sysCalls().fstat(in.get(), &inStat) != 0) {
        setFailed(outcome, errno, FileOp::readSource, Subject::source);
        return false;
    }
    if (job.srcStatDeferred)
        outcome.size = inStat.st_size;
    if (!S_ISREG(inStat.st_mode)) {
        outcome.kind = FileOutcome::Kind::notRegular;
        return false;
    }
    return true;
}

// Every copy is written under a partial name beside its final one and renamed into place only
// when all its bytes and its time are in: an interrupted copy (a kill, the power going) never sits
// at a final name, an older copy stays until the new one is whole, and a folder in the way goes
// only then. The partial copy gets its final permissions at creation: they are the source's,
// already masked by the umask, so nothing is more open than the finished copy.
UniqueFd createPartial(const RunRules& rules, SharedRunState& shared, int dstDir, mode_t mode,
                       char (&partial)[64]) {
    UniqueFd out;
    for (int attempt = 0; attempt < 8 && !out.valid(); ++attempt) {
        partialName(rules, shared, partial);
        out.reset(
            openAt(dstDir, partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!out.valid() && errno != EEXIST)
            break;
    }
    return out;
}

// A new copy where nothing is under its name: an unnamed file in the copy's folder, named only
// once complete (linked in through /proc), which saves the partial name's entry and the rename;
// a crash leaves nothing behind. Invalid where the disk makes no unnamed files, or where /proc is
// not there to name it; the copy is then made under a partial name.
UniqueFd createUnnamed(SharedRunState& shared, int dstDir, mode_t mode) {
    static const bool procFds = ::access("/proc/self/fd", X_OK) == 0;
    UniqueFd out;
    if (!procFds || shared.unnamedRefused.load(std::memory_order_relaxed))
        return out;
    out.reset(openAt(dstDir, ".", O_TMPFILE | O_WRONLY | O_CLOEXEC, mode));
    if (!out.valid() && unnamedUnsupported(errno))
        shared.unnamedRefused.store(true, std::memory_order_relaxed);
    return out;
}

// Copies the bytes, then looks at the drive's file again: one that changed meanwhile (saved
// during the backup) gives a copy that matches neither version. It is copied once more; if it
// changes again, `changing` is set and the copy is kept. `inStat` ends as the values copied.
CopyOutcome copyUntilStill(SharedRunState& shared, char* buffer, int in, struct stat& inStat,
                           int out, bool& changing) {
    for (int attempt = 0;; ++attempt) {
        const CopyOutcome copied = copyData(shared, buffer, in, inStat, out);
        if (copied.error != 0)
            return copied;
        struct stat after {};
        if (sysCalls().fstat(in, &after) != 0)
            return {errno, true};
        if (!changedSince(inStat, after))
            return {};
        if (attempt == 1) {
            changing = true;
            return {};
        }
        inStat = after;
        if (sysCalls().lseek(in, 0, SEEK_SET) != 0 || sysCalls().lseek(out, 0, SEEK_SET) != 0 ||
            sysCalls().ftruncate(out, 0) != 0)
            return {errno, false};
    }
}

struct StepFailure {
    int error = 0;
    FileOp op = FileOp::writeCopy;
};

// Names the complete unnamed copy. Where something took the name since the walk looked, the copy
// replaces it as a renamed partial copy would: linked in under a partial name, then renamed.
StepFailure nameUnnamed(const RunRules& rules, SharedRunState& shared, const CopyJob& job,
                        UniqueFd& out, char (&partial)[64]) {
    char self[32];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", out.get());
    const int dstDir = job.dstDir;
    const char* dstName = job.dstName.c_str();
    if (sysCalls().linkat(AT_FDCWD, self, dstDir, dstName, AT_SYMLINK_FOLLOW) != 0) {
        if (errno != EEXIST)
            return {errno, FileOp::finishCopy};
        int error = EEXIST;
        for (int attempt = 0; attempt < 8 && error == EEXIST; ++attempt) {
            partialName(rules, shared, partial);
            error = sysCalls().linkat(AT_FDCWD, self, dstDir, partial, AT_SYMLINK_FOLLOW) == 0
                        ? 0
                        : errno;
        }
        if (error != 0) {
            partial[0] = '\0'; // nothing of this run's under that name
            return {error, FileOp::finishCopy};
        }
        if (sysCalls().renameat(dstDir, partial, dstDir, dstName) != 0)
            return {errno, FileOp::finishCopy};
        partial[0] = '\0';
    }
    // close() reports write-back failures of network and FUSE file systems; it is not retried.
    // The copy has its name by then, and loses it again.
    if (sysCalls().close(out.release()) != 0 && errno != EINTR) {
        const int error = errno;
        sysCalls().unlinkat(dstDir, dstName, 0);
        return {error, FileOp::writeCopy};
    }
    return {};
}

// Gives the complete copy its time (after every byte: a write after it would move it to "now"; a
// file still changing is dated 1970, so that the next run copies it). An unnamed copy is then
// named; a partial one is closed, a folder in the way cleared, and it is renamed to its name.
StepFailure finishCopy(const RunRules& rules, SharedRunState& shared, const CopyJob& job,
                       UniqueFd& out, char (&partial)[64], const struct stat& inStat,
                       bool changing) {
    // The disk starts writing the copy now, while the next files are read, rather than all of
    // the run's data at its closing sync. Nothing waits for it here; a failure to write is the
    // closing sync's to report.
    if (inStat.st_size > 0)
        sysCalls().syncFileRange(out.get(), 0, 0, SYNC_FILE_RANGE_WRITE);
    struct timespec times[2] = {inStat.st_atim, inStat.st_mtim};
    if (changing)
        times[1] = {0, 0};
    if (sysCalls().futimens(out.get(), times) != 0 && !attributeUnsupported(errno))
        return {errno, FileOp::writeCopy};
    if (partial[0] == '\0')
        return nameUnnamed(rules, shared, job, out, partial);
    // close() reports write-back failures of network and FUSE file systems; it is not retried.
    if (sysCalls().close(out.release()) != 0 && errno != EINTR)
        return {errno, FileOp::writeCopy};
    const int dstDir = job.dstDir;
    const char* dstName = job.dstName.c_str();
    if (job.replaceFolder) {
        struct stat folder {};
        const int error = sysCalls().fstat(dstDir, &folder) != 0
                              ? errno
                              : removeEntry(dstDir, dstName, folder.st_dev);
        if (error != 0 && error != ENOENT)
            return {error, FileOp::removeOld};
    }
    if (sysCalls().renameat(dstDir, partial, dstDir, dstName) != 0)
        return {errno, FileOp::finishCopy};
    return {};
}

} // namespace

bool decideCopy(Tally& tally, const Candidate& file, CopyJob& job) {
    FileOutcome& outcome = job.outcome;
    outcome = {};
    outcome.size = file.srcStatDeferred ? 0 : file.srcStat->st_size;
    // What the copy adds to the backup disk: a new copy all of it, a replacing one the difference.
    Int64 replaced = 0;
    if (file.dstDir < 0) {
        // The error is the folder's; the issue is about each file that could not go into it.
        setFailed(outcome, file.dstError, FileOp::createFolder, Subject::folder);
        return false;
    }
    const double sourceTime = file.srcStatDeferred ? 0 : secondsOf(file.srcStat->st_mtim);
    StatSlot looked;
    const StatSlot& target = valuesOf(file.dstDir, file.dstName, file.knownTarget, looked);
    if (target.error == 0) {
        const Int64 copySize = S_ISREG(target.st.st_mode) ? target.st.st_size : -1;
        if (!file.srcStatDeferred &&
            isUnchanged(outcome.size, sourceTime, copySize, secondsOf(target.st.st_mtim)) &&
            matchCopyMode(tally, file, target.st)) {
            outcome.kind = FileOutcome::Kind::skipped;
            tally.expectGrowth(outcome.size, 0);
            return false;
        }
        replaced = std::max<Int64>(copySize, 0);
        // A folder in the way of a file goes only once the new file is complete; a file or a
        // link in the way is replaced by the rename. A link is never written through.
        job.replaceFolder = S_ISDIR(target.st.st_mode);
    } else {
        job.targetAbsent = target.error == ENOENT;
        if (file.previousDir >= 0 && !file.srcStatDeferred &&
            !tally.linksRefused.load(std::memory_order_relaxed) &&
            earlierCopyUnchanged(tally, file, outcome.size, sourceTime))
            job.linkDir = file.previousDir;
    }
    tally.expectGrowth(outcome.size, job.linkDir >= 0 ? 0 : outcome.size - replaced);
    job.srcDir = file.srcDir;
    job.dstDir = file.dstDir;
    job.srcName = file.srcName;
    job.dstName = file.dstName;
    job.srcStatDeferred = file.srcStatDeferred;
    return true;
}

void performCopy(const RunRules& rules, SharedRunState& shared, CopyJob& job, char* buffer) {
    FileOutcome& outcome = job.outcome;
    if (linkFromEarlierDay(shared, job)) {
        outcome.kind = FileOutcome::Kind::linked;
        return;
    }
    UniqueFd in;
    struct stat inStat {};
    if (!openDriveFile(job, in, inStat))
        return;
    const mode_t mode =
        copyPermissions(inStat.st_mode, false, rules.sourceInventsModes, rules.creationMask);
    char partial[64] = "";
    UniqueFd out;
    if (job.targetAbsent)
        out = createUnnamed(shared, job.dstDir, mode);
    if (!out.valid())
        out = createPartial(rules, shared, job.dstDir, mode, partial);
    if (!out.valid()) {
        setFailed(outcome, errno, FileOp::createCopy, Subject::target);
        return;
    }
    bool changing = false;
    const CopyOutcome copied =
        copyUntilStill(shared, buffer, in.get(), inStat, out.get(), changing);
    if (changing)
        outcome.size = inStat.st_size;
    const StepFailure failure =
        copied.error != 0
            ? StepFailure{copied.error, copied.onSource ? FileOp::readSource : FileOp::writeCopy}
            : finishCopy(rules, shared, job, out, partial, inStat, changing);
    if (failure.error != 0) {
        out.reset();
        if (partial[0] != '\0')
            sysCalls().unlinkat(job.dstDir, partial, 0);
        setFailed(outcome, failure.error, failure.op,
                  failure.op == FileOp::readSource ? Subject::source : Subject::target);
        return;
    }
    outcome.kind = changing ? FileOutcome::Kind::changing : FileOutcome::Kind::copied;
}

void applyOutcome(Tally& tally, const Where& where, const char* name, const FileOutcome& outcome) {
    switch (outcome.kind) {
    case FileOutcome::Kind::uncounted:
        return;
    case FileOutcome::Kind::skipped:
        ++tally.result.filesSkipped;
        break;
    case FileOutcome::Kind::copied:
        ++tally.result.filesCopied;
        tally.result.bytesCopied += outcome.size;
        break;
    case FileOutcome::Kind::linked:
        ++tally.result.filesLinked;
        break;
    case FileOutcome::Kind::changing:
        addEngineIssue(tally, where.shown(), "engine.changing", "engine.changingHint");
        break;
    case FileOutcome::Kind::notRegular:
        addEngineIssue(tally, where.shown(), "engine.notRegular", "engine.notRegularHint");
        break;
    case FileOutcome::Kind::failed: {
        std::string file;
        switch (outcome.subject) {
        case FileOutcome::Subject::source:
            file = where.source();
            break;
        case FileOutcome::Subject::target:
            file = where.target();
            break;
        case FileOutcome::Subject::folder: {
            file = where.target();
            const std::size_t slash = file.rfind('/');
            if (slash != std::string::npos)
                file.resize(slash);
            break;
        }
        }
        addFileIssue(tally, outcome.error, outcome.op, file, where.shown());
        break;
    }
    }
    tally.advance(outcome.size, name);
}

void copyOne(Tally& tally, const Where& where, const Candidate& file) {
    CopyJob job;
    if (decideCopy(tally, file, job))
        performCopy(tally, tally, job, tally.copyBuffer());
    applyOutcome(tally, where, file.dstName, job.outcome);
}

} // namespace keelbox::detail
