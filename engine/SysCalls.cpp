#include "engine/SysCalls.h"

#include <cerrno>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <dirent.h>
#include <linux/openat2.h>
#include <sys/file.h>
#include <sys/sendfile.h>
#include <sys/syscall.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace keelbox {
namespace {

int realOpenat(int dirfd, const char* name, int flags, mode_t mode) {
    return ::openat(dirfd, name, flags, mode);
}
int realFstatat(int dirfd, const char* name, struct stat* st, int flags) {
    return ::fstatat(dirfd, name, st, flags);
}
int realFstat(int fd, struct stat* st) {
    return ::fstat(fd, st);
}
ssize_t realRead(int fd, void* buffer, size_t count) {
    return ::read(fd, buffer, count);
}
ssize_t realWrite(int fd, const void* buffer, size_t count) {
    return ::write(fd, buffer, count);
}
ssize_t realCopyFileRange(int in, off_t* inOffset, int out, off_t* outOffset, size_t count,
                          unsigned flags) {
    return ::copy_file_range(in, inOffset, out, outOffset, count, flags);
}
ssize_t realSendFile(int out, int in, off_t* inOffset, size_t count) {
    return ::sendfile(out, in, inOffset, count);
}
int realFchmod(int fd, mode_t mode) {
    return ::fchmod(fd, mode);
}
int realFutimens(int fd, const struct timespec times[2]) {
    return ::futimens(fd, times);
}
int realClose(int fd) {
    return ::close(fd);
}
int realMkdirat(int dirfd, const char* name, mode_t mode) {
    return ::mkdirat(dirfd, name, mode);
}
int realUnlinkat(int dirfd, const char* name, int flags) {
    return ::unlinkat(dirfd, name, flags);
}
int realRenameat(int fromDir, const char* from, int toDir, const char* to) {
    return ::renameat(fromDir, from, toDir, to);
}
ssize_t realGetdents(int fd, void* buffer, size_t size) {
    return ::getdents64(fd, buffer, size);
}

int realDupFd(int fd) {
    return ::fcntl(fd, F_DUPFD_CLOEXEC, 0);
}
char* realRealpath(const char* path, char* resolved) {
    return ::realpath(path, resolved);
}
ssize_t realFgetxattr(int fd, const char* name, void* value, size_t size) {
    return ::fgetxattr(fd, name, value, size);
}
int realFsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
    return ::fsetxattr(fd, name, value, size, flags);
}
int realFremovexattr(int fd, const char* name) {
    return ::fremovexattr(fd, name);
}
int realSyncfs(int fd) {
    return ::syncfs(fd);
}

off_t realLseek(int fd, off_t offset, int whence) {
    return ::lseek(fd, offset, whence);
}
int realFtruncate(int fd, off_t size) {
    return ::ftruncate(fd, size);
}
int realLinkat(int fromDir, const char* from, int toDir, const char* to, int flags) {
    return ::linkat(fromDir, from, toDir, to, flags);
}
int realFlock(int fd, int operation) {
    return ::flock(fd, operation);
}
int realFchmodat(int dirfd, const char* name, mode_t mode, int flags) {
    return ::fchmodat(dirfd, name, mode, flags);
}
int realUtimensat(int dirfd, const char* name, const struct timespec times[2], int flags) {
    return ::utimensat(dirfd, name, times, flags);
}
int realFstatfs(int fd, struct statfs* fs) {
    return ::fstatfs(fd, fs);
}
int realFstatvfs(int fd, struct statvfs* fs) {
    return ::fstatvfs(fd, fs);
}
int realStatvfs(const char* path, struct statvfs* fs) {
    return ::statvfs(path, fs);
}
int realOpenBeneath(int dirfd, const char* path, int flags) {
    open_how how{};
    how.flags = static_cast<std::uint64_t>(flags | O_CLOEXEC);
    how.resolve = RESOLVE_BENEATH | RESOLVE_NO_SYMLINKS | RESOLVE_NO_MAGICLINKS | RESOLVE_NO_XDEV;
    for (;;) {
        const long fd = ::syscall(SYS_openat2, dirfd, path, &how, sizeof how);
        if (fd >= 0 || errno != EINTR)
            return static_cast<int>(fd);
    }
}

int realFadvise(int fd, off_t offset, off_t length, int advice) {
    return ::posix_fadvise(fd, offset, length, advice);
}
int realGetrusage(int who, struct rusage* usage) {
    return ::getrusage(who, usage);
}
int realSyncFileRange(int fd, off_t offset, off_t length, unsigned int flags) {
    return ::sync_file_range(fd, offset, length, flags);
}

constexpr SysCalls real{.openat = realOpenat,
                        .openBeneath = realOpenBeneath,
                        .fstatat = realFstatat,
                        .fstat = realFstat,
                        .read = realRead,
                        .write = realWrite,
                        .copyFileRange = realCopyFileRange,
                        .sendFile = realSendFile,
                        .fchmod = realFchmod,
                        .futimens = realFutimens,
                        .close = realClose,
                        .mkdirat = realMkdirat,
                        .unlinkat = realUnlinkat,
                        .renameat = realRenameat,
                        .getdents = realGetdents,
                        .dupFd = realDupFd,
                        .realpath = realRealpath,
                        .fgetxattr = realFgetxattr,
                        .fsetxattr = realFsetxattr,
                        .fremovexattr = realFremovexattr,
                        .syncfs = realSyncfs,
                        .lseek = realLseek,
                        .ftruncate = realFtruncate,
                        .linkat = realLinkat,
                        .flock = realFlock,
                        .fchmodat = realFchmodat,
                        .utimensat = realUtimensat,
                        .fstatfs = realFstatfs,
                        .fstatvfs = realFstatvfs,
                        .statvfs = realStatvfs,
                        .fadvise = realFadvise,
                        .getrusage = realGetrusage,
                        .syncFileRange = realSyncFileRange};

} // namespace

SysCalls& sysCalls() {
    static SysCalls table = real;
    return table;
}

const SysCalls& realSysCalls() {
    return real;
}

} // namespace keelbox
