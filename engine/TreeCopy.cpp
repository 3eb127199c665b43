#include "engine/TreeCopy.h"

#include "engine/SystemError.h"
#include "localization/Localizer.h"

#include <cerrno>
#include <cstdio>
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

struct CopyOutcome {
    int error = 0;
    bool onSource = false; // whether the error came from reading
};

CopyOutcome readWriteCopy(Tally& tally, int in, int out) {
    char* buffer = tally.copyBuffer();
    for (;;) {
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
    }
}

// Copies all bytes of `in` (read from its start) to the empty file `out`. The in-kernel copy goes
// first: no data passes through user space, and file systems that can share blocks (btrfs, XFS)
// make a reflink. Where the kernel cannot copy between the two files, read/write takes over,
// and the run remembers the pair of devices so that the next file goes straight there.
CopyOutcome copyData(Tally& tally, int in, const struct stat& inStat, int out, dev_t outDevice) {
    const bool knownUnsupported = tally.fastCopyRefused && tally.noFastCopyFrom == inStat.st_dev &&
                                  tally.noFastCopyTo == outDevice;
    off_t done = 0;
    if (!knownUnsupported) {
        for (;;) {
            ssize_t n = sysCalls().copyFileRange(in, nullptr, out, nullptr, 1u << 30, 0);
            if (n > 0) {
                done += n;
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
                tally.fastCopyRefused = true;
                tally.noFastCopyFrom = inStat.st_dev;
                tally.noFastCopyTo = outDevice;
                break;
            }
            // After a partial in-kernel copy the side that failed is unknown; a full destination or
            // a read-only one is what it almost always is, and both are the copy's.
            return {errno, errno == EIO};
        }
    }
    if (inStat.st_size >= (1 << 20))
        ::posix_fadvise(in, 0, 0, POSIX_FADV_SEQUENTIAL);
    return readWriteCopy(tally, in, out);
}

// The partial copy of the run: a name no drive-listed file of this run gets (the counter is the
// run's own), which a crash leaves behind as an obviously partial file and which mirror pruning
// removes later, since no drive holds it.
void partialName(Tally& tally, char (&buffer)[64]) {
    std::snprintf(buffer, sizeof buffer, ".keelbox-partial-%ld-%llu", static_cast<long>(::getpid()),
                  static_cast<unsigned long long>(++tally.partialCounter));
}

bool isExcludedName(const char* name) {
    // Cheap first-letter test: every never-copied name starts with '.', 'S' or '$'.
    if (name[0] != '.' && name[0] != 'S' && name[0] != '$')
        return false;
    return isExcluded(name);
}

class Copier {
public:
    Copier(Tally& tally, const Where& root) : m_tally(tally), m_root(root) { m_rel.reserve(256); }

    void walk(int srcFd, int dstFd, int dstError) {
        DirStream listing{Fd{srcFd}};
        if (!listing.valid()) {
            addFileIssue(m_tally, errno, FileOp::listFolder, where().source(), where().shown());
            return;
        }
        int readError = 0;
        while (dirent* entry = listing.next(readError)) {
            const char* name = entry->d_name;
            unsigned char type = entry->d_type;
            if (type == DT_LNK || isExcludedName(name))
                continue; // links are never followed, copied or counted
            struct stat st {};
            const bool needStat = type != DT_DIR;
            if (needStat) {
                if (sysCalls().fstatat(listing.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                    continue; // an entry without values counts nothing
                if (S_ISDIR(st.st_mode))
                    type = DT_DIR;
                else if (S_ISREG(st.st_mode))
                    type = DT_REG;
                else
                    continue; // links, devices, sockets, pipes
            }
            const std::size_t mark = m_rel.size();
            if (!m_rel.empty())
                m_rel.push_back('/');
            m_rel.append(name);
            if (type == DT_DIR) {
                enterFolder(listing.fd(), name, dstFd, dstError);
            } else {
                copyOne(m_tally, where(), listing.fd(), name, st, dstFd, dstError, name);
            }
            m_rel.resize(mark);
            if (m_tally.stopRequested())
                return;
        }
        if (readError != 0)
            addFileIssue(m_tally, readError, FileOp::listFolder, where().source(), where().shown());
    }

private:
    Where where() const {
        Where w = m_root;
        w.rel = m_rel;
        return w;
    }

    void enterFolder(int parentFd, const char* name, int dstParent, int dstParentError) {
        // Parents before their contents: the copy's folder is made first, so empty folders are
        // reproduced. A failure is not reported by itself; each file below reports it.
        int childError = dstParentError;
        Fd child;
        if (dstParent >= 0)
            child.reset(openOrMakeFolder(dstParent, name, true, childError));
        int src = openAt(parentFd, name, folderOpenFlags);
        if (src < 0) {
            addFileIssue(m_tally, errno, FileOp::openFolder, where().source(), where().shown());
            return;
        }
        walk(src, child.get(), childError);
    }

    Tally& m_tally;
    Where m_root;
    std::string m_rel;
};

class Pruner {
public:
    Pruner(Tally& tally, std::string_view targetBase, dev_t device)
        : m_tally(tally), m_targetBase(targetBase), m_device(device) {}

    void walk(int srcFd, int dstFd) {
        DirStream listing{Fd{::dup(dstFd)}};
        if (!listing.valid())
            return; // an unreadable folder of the copy is passed over
        int readError = 0;
        while (dirent* entry = listing.next(readError)) {
            if (m_tally.stopRequested())
                return;
            const char* name = entry->d_name;
            if (isExcludedName(name))
                continue; // nothing in or under a never-copied name is ever deleted
            const std::size_t mark = m_rel.size();
            if (!m_rel.empty())
                m_rel.push_back('/');
            m_rel.append(name);
            visit(srcFd, listing.fd(), name, entry->d_type);
            m_rel.resize(mark);
        }
    }

private:
    void visit(int srcFd, int dstFd, const char* name, unsigned char dstType) {
        struct stat src {};
        bool exists = false;
        if (srcFd >= 0) {
            if (sysCalls().fstatat(srcFd, name, &src, AT_SYMLINK_NOFOLLOW) == 0) {
                exists = true;
            } else if (errno != ENOENT && errno != ENOTDIR) {
                // Only a definite "not there" deletes. An unreadable or vanished drive (EIO,
                // ENODEV, ENOTCONN from a FUSE driver that died) must not empty the copy.
                return;
            }
        }
        if (!exists) {
            int error = removeEntry(dstFd, name, m_device);
            if (error == 0) {
                ++m_tally.filesDeleted;
            } else {
                std::string file = joinPath(m_targetBase, m_rel);
                BackupIssue issue;
                issue.path = m_rel;
                issue.reason = Localizer::text("engine.pruneFail", m_tally.language);
                issue.systemMessage =
                    SystemError::posix(error, operationText(FileOp::remove), file).description;
                m_tally.errors.push_back(std::move(issue));
            }
            return;
        }
        if (dstType == DT_UNKNOWN) {
            struct stat dst {};
            if (sysCalls().fstatat(dstFd, name, &dst, AT_SYMLINK_NOFOLLOW) != 0)
                return;
            dstType = S_ISDIR(dst.st_mode) ? DT_DIR : DT_REG;
        }
        if (dstType != DT_DIR)
            return;
        // A folder of the copy whose name still exists on the drive stays; its contents are
        // compared with the drive's folder. A link on the drive is not followed: what lies below
        // the copy's folder then stays as it is.
        if (S_ISLNK(src.st_mode))
            return;
        Fd child{openAt(dstFd, name, folderOpenFlags)};
        if (!child.valid())
            return;
        struct stat childStat {};
        if (sysCalls().fstat(child.get(), &childStat) != 0 || childStat.st_dev != m_device)
            return;
        if (S_ISDIR(src.st_mode)) {
            Fd srcChild{openAt(srcFd, name, folderOpenFlags)};
            if (!srcChild.valid())
                return;
            walk(srcChild.get(), child.get());
        } else {
            // A file on the drive where the copy has a folder: nothing below it exists there.
            walk(-1, child.get());
        }
    }

    Tally& m_tally;
    std::string_view m_targetBase;
    dev_t m_device;
    std::string m_rel;
};

void countWalk(int srcFd, Totals& totals) {
    DirStream listing{Fd{srcFd}};
    if (!listing.valid())
        return;
    int readError = 0;
    while (dirent* entry = listing.next(readError)) {
        const char* name = entry->d_name;
        unsigned char type = entry->d_type;
        if (type == DT_LNK || isExcludedName(name))
            continue;
        if (type != DT_DIR) {
            struct stat st {};
            if (sysCalls().fstatat(listing.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(st.st_mode)) {
                ++totals.files;
                totals.bytes += st.st_size;
                continue;
            }
            if (!S_ISDIR(st.st_mode))
                continue;
        }
        int child = openAt(listing.fd(), name, folderOpenFlags);
        if (child >= 0)
            countWalk(child, totals);
    }
}

} // namespace

std::string Where::shown() const {
    if (shownPrefix.empty())
        return std::string{rel};
    return joinPath(shownPrefix, rel);
}

void addFileIssue(Tally& tally, int error, FileOp op, const std::string& file, std::string shown) {
    tally.errors.push_back(makeIssue(SystemError::posix(error, operationText(op), file),
                                     std::move(shown), tally.language));
}

void addEngineIssue(Tally& tally, std::string path, std::string_view reasonKey,
                    std::string_view hintKey, std::string systemMessage) {
    BackupIssue issue;
    issue.path = std::move(path);
    issue.reason = Localizer::text(reasonKey, tally.language);
    issue.systemMessage = std::move(systemMessage);
    if (!hintKey.empty())
        issue.suggestion = Localizer::text(hintKey, tally.language);
    tally.errors.push_back(std::move(issue));
}

void copyOne(Tally& tally, const Where& where, int srcDir, const char* srcName,
             const struct stat& srcStat, int dstDir, int dstError, const char* dstName) {
    const Int64 size = srcStat.st_size;
    // The copy is looked at without following a link: a link in the copy is never taken as the
    // copy, and never written through.
    if (dstDir >= 0) {
        struct stat dst {};
        if (sysCalls().fstatat(dstDir, dstName, &dst, AT_SYMLINK_NOFOLLOW) == 0) {
            const Int64 copySize = S_ISREG(dst.st_mode) ? dst.st_size : -1;
            if (isUnchanged(size, secondsOf(srcStat.st_mtim), copySize, secondsOf(dst.st_mtim))) {
                ++tally.filesSkipped;
                tally.advance(size, dstName);
                return;
            }
            if (S_ISDIR(dst.st_mode)) {
                // A folder in the way of a file goes with its contents. A failure is not reported
                // here: the rename below then fails and says so.
                removeEntry(dstDir, dstName, dst.st_dev);
            }
            // A file or a link in the way is replaced by the rename below; a link is never
            // written through.
        }
    }
    if (dstDir < 0) {
        addFileIssue(tally, dstError, FileOp::createFolder, where.target(), where.shown());
        tally.advance(size, dstName);
        return;
    }

    // O_NONBLOCK: a pipe swapped in after the listing must not hang the run; O_NOFOLLOW: nor may
    // a link swapped in send it outside the drive.
    Fd in{openAt(srcDir, srcName, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_NOCTTY | O_CLOEXEC)};
    if (!in.valid()) {
        addFileIssue(tally, errno, FileOp::openSource, where.source(), where.shown());
        tally.advance(size, dstName);
        return;
    }
    struct stat inStat {};
    if (sysCalls().fstat(in.get(), &inStat) != 0) {
        addFileIssue(tally, errno, FileOp::readSource, where.source(), where.shown());
        tally.advance(size, dstName);
        return;
    }
    if (!S_ISREG(inStat.st_mode)) {
        addEngineIssue(tally, where.shown(), "engine.notRegular", "engine.notRegularHint");
        tally.advance(size, dstName);
        return;
    }

    // The copy is written under a partial name beside its final place and renamed over it only
    // when all bytes, the permissions and the time are in place. An interrupted or failed copy
    // therefore never sits at the final name, where the next run could take it as unchanged (a
    // copy cut short after its last byte but before its time was set would have the source's
    // size and a newer time). The old copy stays until the new one replaces it.
    char partial[64];
    Fd out;
    for (int attempt = 0; attempt < 8 && !out.valid(); ++attempt) {
        partialName(tally, partial);
        // Never pre-sized, and private to the user until the final mode is set.
        out.reset(
            openAt(dstDir, partial, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!out.valid() && errno != EEXIST)
            break;
    }
    if (!out.valid()) {
        addFileIssue(tally, errno, FileOp::createCopy, where.target(), where.shown());
        tally.advance(size, dstName);
        return;
    }

    struct stat outStat {};
    sysCalls().fstat(out.get(), &outStat);
    CopyOutcome outcome = copyData(tally, in.get(), inStat, out.get(), outStat.st_dev);
    FileOp failedOp = outcome.onSource ? FileOp::readSource : FileOp::writeCopy;
    if (outcome.error == 0) {
        // Set-user-ID, set-group-ID and sticky bits never travel: a drive must not be able to
        // plant a privileged program. Destinations that keep no permissions (FAT, exFAT) refuse
        // the change, which costs the copy nothing.
        if (sysCalls().fchmod(out.get(), inStat.st_mode & 0777) != 0 &&
            !attributeUnsupported(errno)) {
            outcome.error = errno;
        }
    }
    if (outcome.error == 0) {
        // The time comes last, after every byte: a write after it would move it to "now".
        const struct timespec times[2] = {inStat.st_atim, inStat.st_mtim};
        if (sysCalls().futimens(out.get(), times) != 0 && !attributeUnsupported(errno))
            outcome.error = errno;
    }
    if (outcome.error == 0) {
        // close() reports write-back failures of network and FUSE file systems; it is not retried.
        int fd = out.release();
        if (sysCalls().close(fd) != 0 && errno != EINTR)
            outcome.error = errno;
        failedOp = FileOp::writeCopy;
    }
    if (outcome.error == 0) {
        if (sysCalls().renameat(dstDir, partial, dstDir, dstName) != 0) {
            outcome.error = errno;
            failedOp = FileOp::finishCopy;
        }
    }
    if (outcome.error != 0) {
        out.reset();
        sysCalls().unlinkat(dstDir, partial, 0);
        addFileIssue(tally, outcome.error, failedOp,
                     failedOp == FileOp::readSource ? where.source() : where.target(),
                     where.shown());
        tally.advance(size, dstName);
        return;
    }
    ++tally.filesCopied;
    tally.bytesCopied += size;
    tally.advance(size, dstName);
}

void copyContents(Tally& tally, const Where& root, int source, int dstDir, int dstError) {
    int own = ::fcntl(source, F_DUPFD_CLOEXEC, 0);
    if (own < 0) {
        addFileIssue(tally, errno, FileOp::listFolder, root.source(), root.shown());
        return;
    }
    Copier copier{tally, root};
    copier.walk(own, dstDir, dstError);
}

void pruneContents(Tally& tally, std::string_view targetBase, int srcDir, int dstDir,
                   dev_t device) {
    Pruner pruner{tally, targetBase, device};
    pruner.walk(srcDir, dstDir);
}

void countContents(int source, Totals& totals) {
    int own = ::fcntl(source, F_DUPFD_CLOEXEC, 0);
    if (own >= 0)
        countWalk(own, totals);
}

} // namespace keelbox::detail
