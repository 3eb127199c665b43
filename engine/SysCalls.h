#pragma once
// The system calls the engine makes on files, behind one table so tests can make a call fail with
// the errno a real device would give (EIO, ENOSPC, EINTR) where no real file system can.

#include <fcntl.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <sys/statvfs.h>
#include <sys/types.h>

namespace keelbox {

struct SysCalls {
    int (*openat)(int dirfd, const char* name, int flags, mode_t mode);
    // openat2 of an existing `path` below `dirfd` that never leaves it: no symbolic link, no
    // other file system, no "..". Always O_CLOEXEC.
    int (*openBeneath)(int dirfd, const char* path, int flags);
    int (*fstatat)(int dirfd, const char* name, struct stat* st, int flags);
    int (*fstat)(int fd, struct stat* st);
    ssize_t (*read)(int fd, void* buffer, size_t count);
    ssize_t (*write)(int fd, const void* buffer, size_t count);
    ssize_t (*copyFileRange)(int in, off_t* inOffset, int out, off_t* outOffset, size_t count,
                             unsigned flags);
    // sendfile(2): from the file position of `in` onwards, to the file position of `out`.
    ssize_t (*sendFile)(int out, int in, off_t* inOffset, size_t count);
    int (*fchmod)(int fd, mode_t mode);
    int (*futimens)(int fd, const struct timespec times[2]);
    int (*close)(int fd);
    int (*mkdirat)(int dirfd, const char* name, mode_t mode);
    int (*unlinkat)(int dirfd, const char* name, int flags);
    int (*renameat)(int fromDir, const char* from, int toDir, const char* to);
    ssize_t (*getdents)(int fd, void* buffer, size_t size);
    // fcntl(fd, F_DUPFD_CLOEXEC, 0).
    int (*dupFd)(int fd);
    char* (*realpath)(const char* path, char* resolved);
    ssize_t (*fgetxattr)(int fd, const char* name, void* value, size_t size);
    int (*fsetxattr)(int fd, const char* name, const void* value, size_t size, int flags);
    int (*fremovexattr)(int fd, const char* name);
    // Writes out everything cached for the file system of `fd`.
    int (*syncfs)(int fd);
    off_t (*lseek)(int fd, off_t offset, int whence);
    int (*ftruncate)(int fd, off_t size);
    int (*linkat)(int fromDir, const char* from, int toDir, const char* to, int flags);
    int (*flock)(int fd, int operation);
    int (*fchmodat)(int dirfd, const char* name, mode_t mode, int flags);
    int (*utimensat)(int dirfd, const char* name, const struct timespec times[2], int flags);
    int (*fstatfs)(int fd, struct statfs* fs);
    int (*fstatvfs)(int fd, struct statvfs* fs);
    int (*statvfs)(const char* path, struct statvfs* fs);
    // posix_fadvise: the errno itself, not -1 with errno set.
    int (*fadvise)(int fd, off_t offset, off_t length, int advice);
    int (*getrusage)(int who, struct rusage* usage);
    int (*syncFileRange)(int fd, off_t offset, off_t length, unsigned int flags);
};

// The table in force. Tests replace entries through ScopedSysCalls; nothing else changes it.
SysCalls& sysCalls();
// The real calls.
const SysCalls& realSysCalls();

// Replaces the table for its lifetime and restores the previous one afterwards (tests only; not
// to be used while a backup runs on another thread).
class ScopedSysCalls {
public:
    explicit ScopedSysCalls(const SysCalls& replacement) : m_saved(sysCalls()) {
        sysCalls() = replacement;
    }
    ~ScopedSysCalls() { sysCalls() = m_saved; }
    ScopedSysCalls(const ScopedSysCalls&) = delete;
    ScopedSysCalls& operator=(const ScopedSysCalls&) = delete;

private:
    SysCalls m_saved;
};

} // namespace keelbox
