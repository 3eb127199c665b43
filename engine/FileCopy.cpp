#include "engine/FileCopy.h"

#include "engine/SystemError.h"
#include "localization/Language.h"

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

// Reads to the end of `in`, or until `expected` bytes are in once more than `copied` (saving the
// final read that only reports the end; a file that grows meanwhile gets a newer time, so the
// next run copies it again).
CopyOutcome readWriteCopy(char* buffer, int in, int out, off_t copied, off_t expected) {
    while (copied < expected || expected == 0) {
        ssize_t got = sysCalls().read(in, buffer, Tally::copyBufferSize);
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

// Copies all bytes of `in` (read from its start) to the empty file `out`. The in-kernel copy goes
// first: no data passes through user space, and file systems that can share blocks (btrfs, XFS)
// make a reflink. Where the kernel cannot copy between the two files, read/write takes over,
// and the run remembers the drive's device so that its next file goes straight there (a run
// writes into one backup folder).
CopyOutcome copyData(Tally& tally, char* buffer, int in, const struct stat& inStat, int out) {
    const bool knownUnsupported =
        tally.fastCopyRefused.load(std::memory_order_relaxed) &&
        tally.noFastCopyFrom.load(std::memory_order_relaxed) == inStat.st_dev;
    off_t done = 0;
    if (!knownUnsupported) {
        for (;;) {
            ssize_t n = sysCalls().copyFileRange(in, nullptr, out, nullptr, 1u << 30, 0);
            if (n > 0) {
                done += n;
                if (done >= inStat.st_size)
                    return {};
                continue;
            }
            if (n == 0) {
                // Some file systems (procfs-like, a few FUSE drivers) report end of file at
                // once; read/write then finds out whether there really is nothing.
                if (done == 0 && inStat.st_size > 0)
                    break;
                return {};
            }
            if (errno == EINTR)
                continue;
            if (done == 0 && fastCopyUnsupported(errno)) {
                tally.noFastCopyFrom.store(inStat.st_dev, std::memory_order_relaxed);
                tally.fastCopyRefused.store(true, std::memory_order_relaxed);
                break;
            }
            // After a partial in-kernel copy the side that failed is unknown; a full destination or
            // a read-only one is what it almost always is, and both are the copy's.
            return {errno, errno == EIO};
        }
    }
    if (inStat.st_size >= (1 << 20))
        ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    return readWriteCopy(buffer, in, out, done, inStat.st_size);
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

bool decideCopy(int srcDir, const char* srcName, const struct stat& srcStat, int dstDir,
                int dstError, const char* dstName, const StatSlot* knownTarget,
                bool srcStatDeferred, CopyJob& job) {
    FileOutcome& outcome = job.outcome;
    outcome = {};
    outcome.size = srcStatDeferred ? 0 : srcStat.st_size;
    bool targetMissing = false;
    // The copy is looked at without following a link: a link in the copy is never taken as the
    // copy, and never written through.
    if (dstDir >= 0) {
        StatSlot looked;
        if (knownTarget == nullptr) {
            looked.error = sysCalls().fstatat(dstDir, dstName, &looked.st, AT_SYMLINK_NOFOLLOW) == 0
                               ? 0
                               : errno;
            knownTarget = &looked;
        }
        const struct stat& dst = knownTarget->st;
        if (knownTarget->error == 0) {
            const Int64 copySize = S_ISREG(dst.st_mode) ? dst.st_size : -1;
            if (isUnchanged(outcome.size, secondsOf(srcStat.st_mtim), copySize,
                            secondsOf(dst.st_mtim))) {
                outcome.kind = FileOutcome::Kind::skipped;
                return false;
            }
            if (S_ISDIR(dst.st_mode)) {
                // A folder in the way of a file goes with its contents. A failure is not reported
                // here: the rename below then fails and says so.
                removeEntry(dstDir, dstName, dst.st_dev);
            }
            // A file or a link in the way is replaced by the rename below; a link is never
            // written through.
        } else {
            targetMissing = true;
        }
    }
    if (dstDir < 0) {
        // The error is the folder's; the issue is about each file that could not go into it.
        outcome.kind = FileOutcome::Kind::failed;
        outcome.error = dstError;
        outcome.op = FileOp::createFolder;
        outcome.subject = FileOutcome::Subject::folder;
        return false;
    }
    job.srcDir = srcDir;
    job.dstDir = dstDir;
    job.srcName = srcName;
    job.dstName = dstName;
    job.targetMissing = targetMissing;
    job.srcStatDeferred = srcStatDeferred;
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

    // A file the copy does not have yet is written straight under its name, created exclusively
    // (whatever appeared there since it was looked at makes the creation fail, and the partial
    // name below takes over). Interrupted, it is shorter than its source, or, cut off after its
    // last byte, complete; a failed one is deleted.
    // A file that replaces an older copy is written under a partial name beside it and renamed
    // over it only when all bytes, the permissions and the time are in place: the old copy stays
    // until the new one is whole, and an interrupted copy never sits at the final name with the
    // source's size.
    // Neither is ever pre-sized, so a copy cut short always differs in size from its source.
    const mode_t mode = inStat.st_mode & 0777;
    char partial[64];
    const char* written = partial;
    Fd out;
    if (job.targetMissing) {
        out.reset(
            openAt(dstDir, dstName, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, mode));
        if (out.valid()) {
            written = dstName;
        } else if (errno != EEXIST) {
            fail(errno, FileOp::createCopy, Subject::target);
            return;
        }
    }
    for (int attempt = 0; attempt < 8 && !out.valid(); ++attempt) {
        partialName(tally, partial);
        // Private to the user until the final mode is set.
        out.reset(
            openAt(dstDir, partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.valid() && errno != EEXIST)
            break;
    }
    if (!out.valid()) {
        fail(errno, FileOp::createCopy, Subject::target);
        return;
    }

    CopyOutcome copied = copyData(tally, buffer, in.get(), inStat, out.get());
    FileOp failedOp = copied.onSource ? FileOp::readSource : FileOp::writeCopy;
    if (copied.error == 0) {
        // Set-user-ID, set-group-ID and sticky bits never travel: a drive must not be able to
        // plant a privileged program. Destinations that keep no permissions (FAT, exFAT) refuse
        // the change, which costs the copy nothing.
        // A copy created with its final mode has it already unless the umask took bits away.
        const bool modeSet = written == dstName && (mode & tally.creationMask) == 0;
        if (!modeSet && sysCalls().fchmod(out.get(), mode) != 0 && !attributeUnsupported(errno))
            copied.error = errno;
    }
    if (copied.error == 0) {
        // The time comes last, after every byte: a write after it would move it to "now".
        const struct timespec times[2] = {inStat.st_atim, inStat.st_mtim};
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
    if (copied.error == 0 && written == partial) {
        if (sysCalls().renameat(dstDir, partial, dstDir, dstName) != 0) {
            copied.error = errno;
            failedOp = FileOp::finishCopy;
        }
    }
    if (copied.error != 0) {
        out.reset();
        sysCalls().unlinkat(dstDir, written, 0);
        fail(copied.error, failedOp,
             failedOp == FileOp::readSource ? Subject::source : Subject::target);
        return;
    }
    outcome.kind = FileOutcome::Kind::copied;
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

void copyOne(Tally& tally, const Where& where, int srcDir, const char* srcName,
             const struct stat& srcStat, int dstDir, int dstError, const char* dstName,
             const StatSlot* knownTarget, bool srcStatDeferred) {
    CopyJob job;
    if (decideCopy(srcDir, srcName, srcStat, dstDir, dstError, dstName, knownTarget,
                   srcStatDeferred, job))
        performCopy(tally, job, tally.copyBuffer());
    applyOutcome(tally, where, dstName, job.outcome);
}

} // namespace keelbox::detail
