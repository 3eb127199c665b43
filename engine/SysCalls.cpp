#include "engine/SysCalls.h"

#include <cstdio>
#include <cstdlib>
#include <dirent.h>
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

constexpr SysCalls real{realOpenat,        realFstatat,   realFstat,        realRead,  realWrite,
                        realCopyFileRange, realFchmod,    realFutimens,     realClose, realMkdirat,
                        realUnlinkat,      realRenameat,  realGetdents,     realDupFd, realRealpath,
                        realFgetxattr,     realFsetxattr, realFremovexattr, realSyncfs};

} // namespace

SysCalls& sysCalls() {
    static SysCalls table = real;
    return table;
}

const SysCalls& realSysCalls() {
    return real;
}

} // namespace keelbox
