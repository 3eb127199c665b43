#pragma once
// Folder-descriptor helpers shared by the copy, the pre-count and the pruning: every name below an
// open folder is reached with openat/fstatat relative to it and never through a symbolic link.

#include "core/PosixFile.h"
#include "engine/SysCalls.h"

#include <cstddef>
#include <dirent.h>
#include <fcntl.h>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>

namespace keelbox::detail {

// Flags for every folder the engine opens below a root: a link where a folder should be fails
// with ELOOP or ENOTDIR instead of being followed.
inline constexpr int folderOpenFlags = O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC;

// A folder listing read straight with getdents64 into a buffer of its own: no directory stream,
// and a folder already open for other reasons can be listed without opening it again.
class DirStream {
public:
    DirStream() = default;
    // Takes ownership of `fd`, also on failure.
    explicit DirStream(UniqueFd fd) : m_fd(fd.release()), m_owned(true) {}
    // Lists the open folder `fd` without taking it over, from its current offset (the start for a
    // folder nobody has listed yet).
    static DirStream borrow(int fd);
    DirStream(DirStream&& other) noexcept;
    DirStream& operator=(DirStream&&) = delete;
    DirStream(const DirStream&) = delete;
    ~DirStream();

    bool valid() const { return m_fd >= 0; }
    int fd() const { return m_fd; }
    // The next entry other than "." and ".."; nullptr at the end or on error (then `error` is set
    // to the errno, otherwise 0).
    const dirent64* next(int& error);

private:
    static constexpr std::size_t bufferSize = 32 * 1024;
    int m_fd = -1;
    bool m_owned = false;
    bool m_ended = false;
    std::unique_ptr<char[]> m_buffer;
    std::size_t m_position = 0;
    std::size_t m_filled = 0;
};

// The blocks the calling thread has had read from a disk so far (reads the cache answered do not
// count, nor reads another process makes for it).
long blocksReadByThisThread();

// Retries on EINTR. Returns the descriptor or -1 with errno set.
int openAt(int dir, const char* name, int flags, mode_t mode = 0);

// What becomes of a symbolic link found where a folder is to be: removed and replaced by a real
// folder (the link itself goes, never what it points to), or refused with ELOOP.
enum class LinkInWay { replace, refuse };

// Opens the folder `name` below `parent`, creating it when missing. Returns -1 and sets `error` on
// failure. `created`, when given, tells whether the folder was made by this call (and so is empty).
int openOrMakeFolder(int parent, const char* name, LinkInWay link, int& error,
                     bool* created = nullptr);

// Removes `name` below `parent`: a folder with everything in it, anything else by unlinking it.
// Never follows a link and never descends into another file system than `device`. Returns 0 or
// the first errno met (what could be removed is removed).
int removeEntry(int parent, const char* name, dev_t device);

double secondsOf(const struct timespec& time);

// "base/rel" with either side possibly empty.
std::string joinPath(std::string_view base, std::string_view rel);

} // namespace keelbox::detail
