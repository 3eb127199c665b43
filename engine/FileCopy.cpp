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
        ssize_t got = sysCalls().read(in, buffer, want);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            return {errno, true};
        }
        if (got == 0)
            return {};
        ssize_t written = 0;
        while (written < got) {
            ssize_t n = sysCalls().write(out, buffer + written, static_cast<size_t>(got - written));
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                return {errno, false};
            }
            written += n;
        }
        copied += got;
    }
    return {};
}

// Copies the bytes [from, to) of `in` to the same place of `out`; both descriptors stand at
// `from`. The in-kernel copy goes first: no data passes through user space, and file systems that
// can share blocks (btrfs, XFS) make a reflink. Where the kernel cannot copy between the two
// files, read/write takes over, and the run remembers the drive's device so that its next file
// goes straight there (a run writes into one backup folder).
CopyOutcome copyRange(Tally& tally, char* buffer, int in, dev_t device, int out, off_t from,
                      off_t to) {
    const bool knownUnsupported = tally.fastCopyRefused.load(std::memory_order_relaxed) &&
                                  tally.noFastCopyFrom.load(std::memory_order_relaxed) == device;
    off_t done = from;
    if (!knownUnsupported) {
        while (done < to) {
            const auto chunk = static_cast<std::size_t>(std::min<off_t>(to - done, off_t{1} << 30));
            ssize_t n = sysCalls().copyFileRange(in, nullptr, out, nullptr, chunk, 0);
            if (n > 0) {
                done += n;
                continue;
            }
            if (n == 0) {
                // Some file systems (procfs-like, a few FUSE drivers) report end of file at
                // once; read/write then finds out whether there really is nothing. Later on,
                // the file has shrunk, which the check after the copy sees.
                if (done == from)
                    break;
                return {};
            }
            if (errno == EINTR)
                continue;
            if (done == from && fastCopyUnsupported(errno)) {
                tally.noFastCopyFrom.store(device, std::memory_order_relaxed);
                tally.fastCopyRefused.store(true, std::memory_order_relaxed);
                break;
            }
            // After a partial in-kernel copy the side that failed is unknown; a full destination or
            // a read-only one is what it almost always is, and both are the copy's.
            return {errno, errno == EIO};
        }
        if (done >= to && to > 0)
            return {};
    }
    if (to - done >= (1 << 20))
        ::posix_fadvise(in, done, to - done, POSIX_FADV_SEQUENTIAL);
    return readWriteCopy(buffer, in, out, done, to);
}

// Copies all bytes of `in` (read from its start) to the empty file `out`. A file with fewer
// blocks than its size has holes: only its data is copied, found with SEEK_DATA/SEEK_HOLE, and the
// copy gets its size at the end, so its holes stay holes whatever path copies the data.
CopyOutcome copyData(Tally& tally, char* buffer, int in, const struct stat& inStat, int out) {
    const off_t size = inStat.st_size;
    const bool sparse = size > 0 && static_cast<off_t>(inStat.st_blocks) * 512 < size;
    if (!sparse)
        return copyRange(tally, buffer, in, inStat.st_dev, out, 0, size);
    off_t position = 0;
    while (position < size) {
        const off_t data = ::lseek(in, position, SEEK_DATA);
        if (data < 0) {
            if (errno == ENXIO)
                break; // nothing but a hole up to the end
            // No hole finding here (some FUSE drivers): the file is copied as it reads.
            if (::lseek(in, 0, SEEK_SET) != 0 || ::lseek(out, 0, SEEK_SET) != 0 ||
                ::ftruncate(out, 0) != 0)
                return {errno, false};
            return copyRange(tally, buffer, in, inStat.st_dev, out, 0, size);
        }
        if (data >= size)
            break;
        off_t hole = ::lseek(in, data, SEEK_HOLE);
        if (hole < 0 || hole > size)
            hole = size;
        if (::lseek(in, data, SEEK_SET) < 0 || ::lseek(out, data, SEEK_SET) < 0)
            return {errno, false};
        const CopyOutcome part = copyRange(tally, buffer, in, inStat.st_dev, out, data, hole);
        if (part.error != 0)
            return part;
        position = hole;
    }
    if (::ftruncate(out, size) != 0)
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
bool linksUnsupported(int error) {
    return error == EPERM || error == ENOSYS || error == EOPNOTSUPP || error == ENOTSUP ||
           error == EXDEV;
}

// The partial copy of the run: a name no drive-listed file of this run gets (the process and the
// run's own counter), which a crash leaves behind as an obviously partial file, and which the
// next run removes (mirror pruning, or the sweep after a run cut short) once that process is gone.
void partialName(Tally& tally, char (&buffer)[64]) {
    std::snprintf(buffer, sizeof buffer, "%s%ld-%llu", partialPrefix, static_cast<long>(tally.pid),
                  static_cast<unsigned long long>(tally.partialCounter.fetch_add(1) + 1));
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
    tally.errors.push_back(makeIssue(SystemError::posix(error, operationText(op), file),
                                     std::move(shown), tally.language));
}

void addEngineIssue(Tally& tally, std::string path, std::string_view reasonKey,
                    std::string_view hintKey, std::string systemMessage) {
    BackupIssue issue;
    issue.path = std::move(path);
    issue.reason = localizedText(reasonKey, tally.language);
    issue.systemMessage = std::move(systemMessage);
    if (!hintKey.empty())
        issue.suggestion = localizedText(hintKey, tally.language);
    tally.errors.push_back(std::move(issue));
}

bool decideCopy(Tally& tally, const Candidate& file, CopyJob& job) {
    FileOutcome& outcome = job.outcome;
    outcome = {};
    outcome.size = file.srcStatDeferred ? 0 : file.srcStat->st_size;
    const double sourceTime = file.srcStatDeferred ? 0 : secondsOf(file.srcStat->st_mtim);
    bool targetMissing = false;
    // The copy is looked at without following a link: a link in the copy is never taken as the
    // copy, and never written through.
    if (file.dstDir >= 0) {
        StatSlot looked;
        const StatSlot* target = file.knownTarget;
        if (target == nullptr) {
            looked.error =
                sysCalls().fstatat(file.dstDir, file.dstName, &looked.st, AT_SYMLINK_NOFOLLOW) == 0
                    ? 0
                    : errno;
            target = &looked;
        }
        const struct stat& dst = target->st;
        if (target->error == 0) {
            const Int64 copySize = S_ISREG(dst.st_mode) ? dst.st_size : -1;
            if (!file.srcStatDeferred &&
                isUnchanged(outcome.size, sourceTime, copySize, secondsOf(dst.st_mtim))) {
                // A copy left more open than the umask allows (by an earlier release) is closed
                // up; one shared with an earlier day folder is left as that day has it.
                // A disk that keeps no permissions (FAT, exFAT, NTFS through FUSE) shows every
                // file open to all whatever is set: found out at the first attempt.
                const mode_t tooOpen = dst.st_mode & tally.creationMask & 0022;
                if (tooOpen != 0 && dst.st_nlink == 1 && !tally.modesIgnored) {
                    const mode_t wanted = dst.st_mode & 0777 & ~tally.creationMask;
                    struct stat after {};
                    if (::fchmodat(file.dstDir, file.dstName, wanted, 0) != 0 ||
                        sysCalls().fstatat(file.dstDir, file.dstName, &after,
                                           AT_SYMLINK_NOFOLLOW) != 0 ||
                        (after.st_mode & 0777) != wanted)
                        tally.modesIgnored = true;
                }
                outcome.kind = FileOutcome::Kind::skipped;
                return false;
            }
            // A folder in the way of a file goes only once the new file is complete; a file or a
            // link in the way is replaced by the rename. A link is never written through.
            job.replaceFolder = S_ISDIR(dst.st_mode);
        } else {
            targetMissing = true;
        }
    }
    if (file.dstDir < 0) {
        // The error is the folder's; the issue is about each file that could not go into it.
        outcome.kind = FileOutcome::Kind::failed;
        outcome.error = file.dstError;
        outcome.op = FileOp::createFolder;
        outcome.subject = FileOutcome::Subject::folder;
        return false;
    }
    // Dated mode: an unchanged copy in the earlier day folder (the skip rule again) is shared.
    if (targetMissing && file.previousDir >= 0 && !file.srcStatDeferred &&
        !tally.linksRefused.load(std::memory_order_relaxed)) {
        StatSlot looked;
        const StatSlot* previous = file.knownPrevious;
        if (previous == nullptr) {
            looked.error = sysCalls().fstatat(file.previousDir, file.dstName, &looked.st,
                                              AT_SYMLINK_NOFOLLOW) == 0
                               ? 0
                               : errno;
            previous = &looked;
        }
        if (previous->error == 0 && S_ISREG(previous->st.st_mode) &&
            isUnchanged(outcome.size, sourceTime, previous->st.st_size,
                        secondsOf(previous->st.st_mtim)))
            job.linkDir = file.previousDir;
    }
    job.srcDir = file.srcDir;
    job.dstDir = file.dstDir;
    job.srcName = file.srcName;
    job.dstName = file.dstName;
    job.srcStatDeferred = file.srcStatDeferred;
    return true;
}

void performCopy(Tally& tally, CopyJob& job, char* buffer) {
    FileOutcome& outcome = job.outcome;
    auto fail = [&outcome](int error, FileOp op, FileOutcome::Subject subject) {
        outcome.kind = FileOutcome::Kind::failed;
        outcome.error = error;
        outcome.op = op;
        outcome.subject = subject;
    };
    using Subject = FileOutcome::Subject;
    const int srcDir = job.srcDir;
    const int dstDir = job.dstDir;
    const char* dstName = job.dstName.c_str();

    if (job.linkDir >= 0 && !tally.linksRefused.load(std::memory_order_relaxed)) {
        // The earlier day's copy becomes today's too: no data is written, and nothing is ever
        // written into that file afterwards (a changed file is a new file, renamed into place).
        if (::linkat(job.linkDir, dstName, dstDir, dstName, 0) == 0) {
            outcome.kind = FileOutcome::Kind::linked;
            return;
        }
        if (linksUnsupported(errno))
            tally.linksRefused.store(true, std::memory_order_relaxed);
        // Otherwise (too many links to that file, something appeared meanwhile) it is copied.
    }

    // O_NONBLOCK: a pipe swapped in after the listing must not hang the run; O_NOFOLLOW: nor may
    // a link swapped in send it outside the drive.
    Fd in{openAt(srcDir, job.srcName.c_str(),
                 O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (!in.valid()) {
        const int error = errno;
        if (job.srcStatDeferred) {
            // Read now what the listing did not tell: gone meanwhile, it counts nothing, as an
            // entry whose values cannot be read; otherwise its size counts as handled.
            struct stat st {};
            if (sysCalls().fstatat(srcDir, job.srcName.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0) {
                outcome.kind = FileOutcome::Kind::uncounted;
                return;
            }
            outcome.size = st.st_size;
        }
        fail(error, FileOp::openSource, Subject::source);
        return;
    }
    struct stat inStat {};
    if (sysCalls().fstat(in.get(), &inStat) != 0) {
        fail(errno, FileOp::readSource, Subject::source);
        return;
    }
    if (job.srcStatDeferred)
        outcome.size = inStat.st_size;
    if (!S_ISREG(inStat.st_mode)) {
        outcome.kind = FileOutcome::Kind::notRegular;
        return;
    }

    // Every copy is written under a partial name beside its final one and renamed into place only
    // when all its bytes and its time are in: an interrupted copy (a kill, the power going) never
    // sits at a final name, an older copy stays until the new one is whole, and a folder in the
    // way goes only then. The partial copy gets its final permissions at creation: they are the
    // source's, already masked by the umask, so nothing is more open than the finished copy.
    const mode_t mode =
        copyPermissions(inStat.st_mode, false, tally.sourceInventsModes, tally.creationMask);
    char partial[64];
    Fd out;
    for (int attempt = 0; attempt < 8 && !out.valid(); ++attempt) {
        partialName(tally, partial);
        out.reset(
            openAt(dstDir, partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (!out.valid() && errno != EEXIST)
            break;
    }
    if (!out.valid()) {
        fail(errno, FileOp::createCopy, Subject::target);
        return;
    }

    // The drive's file is looked at again after its copy: one that changed meanwhile (saved
    // during the backup) gives a copy that matches neither version. It is copied once more; if
    // it changes again, the copy is kept but dated 1970, so the next run copies it, and the run
    // reports it.
    CopyOutcome copied;
    bool changing = false;
    for (int attempt = 0;; ++attempt) {
        copied = copyData(tally, buffer, in.get(), inStat, out.get());
        if (copied.error != 0)
            break;
        struct stat after {};
        if (sysCalls().fstat(in.get(), &after) != 0) {
            copied = {errno, true};
            break;
        }
        if (!changedSince(inStat, after))
            break;
        if (attempt == 1) {
            changing = true;
            break;
        }
        inStat = after;
        if (::lseek(in.get(), 0, SEEK_SET) != 0 || ::lseek(out.get(), 0, SEEK_SET) != 0 ||
            ::ftruncate(out.get(), 0) != 0) {
            copied = {errno, false};
            break;
        }
    }
    if (changing)
        outcome.size = inStat.st_size;
    FileOp failedOp = copied.onSource ? FileOp::readSource : FileOp::writeCopy;
    if (copied.error == 0) {
        // The time comes last, after every byte: a write after it would move it to "now".
        struct timespec times[2] = {inStat.st_atim, inStat.st_mtim};
        if (changing)
            times[1] = {0, 0};
        if (sysCalls().futimens(out.get(), times) != 0 && !attributeUnsupported(errno))
            copied.error = errno;
    }
    if (copied.error == 0) {
        // close() reports write-back failures of network and FUSE file systems; it is not retried.
        int fd = out.release();
        if (sysCalls().close(fd) != 0 && errno != EINTR)
            copied.error = errno;
        failedOp = FileOp::writeCopy;
    }
    if (copied.error == 0 && job.replaceFolder) {
        struct stat folder {};
        const int error = sysCalls().fstat(dstDir, &folder) != 0
                              ? errno
                              : removeEntry(dstDir, dstName, folder.st_dev);
        if (error != 0 && error != ENOENT) {
            copied.error = error;
            failedOp = FileOp::removeOld;
        }
    }
    if (copied.error == 0) {
        if (sysCalls().renameat(dstDir, partial, dstDir, dstName) != 0) {
            copied.error = errno;
            failedOp = FileOp::finishCopy;
        }
    }
    if (copied.error != 0) {
        out.reset();
        sysCalls().unlinkat(dstDir, partial, 0);
        fail(copied.error, failedOp,
             failedOp == FileOp::readSource ? Subject::source : Subject::target);
        return;
    }
    outcome.kind = changing ? FileOutcome::Kind::changing : FileOutcome::Kind::copied;
}

void applyOutcome(Tally& tally, const Where& where, const char* name, const FileOutcome& outcome) {
    switch (outcome.kind) {
    case FileOutcome::Kind::uncounted:
        return;
    case FileOutcome::Kind::skipped:
        ++tally.filesSkipped;
        break;
    case FileOutcome::Kind::copied:
        ++tally.filesCopied;
        tally.bytesCopied += outcome.size;
        break;
    case FileOutcome::Kind::linked:
        ++tally.filesLinked;
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
        performCopy(tally, job, tally.copyBuffer());
    applyOutcome(tally, where, file.dstName, job.outcome);
}

} // namespace keelbox::detail
