#pragma once
// The file-system plumbing every layer shares: an owning descriptor, reads and writes that retry on
// EINTR, folder creation, the all-or-nothing replacement of a file, and one failure value that
// says what went wrong where.

#include <cerrno>
#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace keelbox {

// A failed system call: its errno, what was being done ("write", "create the folder") and on
// which path.
struct FileError {
    int errnum = 0;
    std::string operation;
    std::filesystem::path path;

    // "Could not write “/home/ada/notes.txt”: No space left on device".
    std::string message() const;
};

class UniqueFd {
public:
    UniqueFd() = default;
    explicit UniqueFd(int fd) : m_fd(fd) {}
    UniqueFd(UniqueFd&& other) noexcept : m_fd(other.release()) {}
    UniqueFd& operator=(UniqueFd&& other) noexcept;
    UniqueFd(const UniqueFd&) = delete;
    UniqueFd& operator=(const UniqueFd&) = delete;
    ~UniqueFd() { reset(); }

    int get() const { return m_fd; }
    explicit operator bool() const { return m_fd >= 0; }
    bool valid() const { return m_fd >= 0; }
    int release();
    void reset(int fd = -1);
    // Closes now and gives close's own result (0 or -1 with errno). Never retried: after EINTR
    // the descriptor is gone on Linux.
    int close();

private:
    int m_fd = -1;
};

// Calls `call` again for as long as it fails with EINTR, and gives its last result.
template <typename Call> auto retryOnInterrupt(Call&& call) -> decltype(call()) {
    for (;;) {
        const auto result = call();
        if (result >= 0 || errno != EINTR)
            return result;
    }
}

// The shapes of ::read and ::write, so that a caller with a system-call seam of its own (the
// engine's, where tests inject failures) can pass its functions.
using ReadCall = ssize_t (*)(int fd, void* buffer, std::size_t size);
using WriteCall = ssize_t (*)(int fd, const void* data, std::size_t size);

// ::read, repeated while interrupted by a signal.
ssize_t readRetrying(int fd, void* buffer, std::size_t size);

// Reads until `size` bytes are in or the file ends; the count read, or -1 with errno set.
ssize_t readFull(int fd, char* buffer, std::size_t size);
ssize_t readFull(int fd, char* buffer, std::size_t size, ReadCall read);
// Writes every byte; false with errno set when a write fails.
bool writeAll(int fd, std::string_view bytes);
bool writeAll(int fd, std::string_view bytes, WriteCall write);

// The whole content of a file, or why there is none.
struct FileContent {
    std::string text;
    // 0 when read. Otherwise the errno of the failed call, EFBIG for a file of more bytes than
    // allowed, EINVAL for anything but a regular file (a folder, a FIFO, a device, a socket, and a
    // symbolic link where links are refused).
    int errnum = 0;

    bool ok() const { return errnum == 0; }
};

// Whether a symbolic link at the file's own name is followed or refused.
enum class FileLinks { follow, refuse };

// Reads the file `name` below the open folder `folder` (AT_FDCWD for a path) whole, when it holds
// at most `limit` bytes. Only a regular file is opened, and without blocking: no waiting on a
// FIFO, no opening of a device node (whose driver might act on the open itself); a swap between
// the look and the open is looked at again. A file whose size the kernel makes up as it is read
// (/proc, /sys) is read until it ends.
FileContent readFileAt(int folder, const char* name, std::size_t limit,
                       FileLinks links = FileLinks::follow);
FileContent readFile(const std::filesystem::path& path, std::size_t limit,
                     FileLinks links = FileLinks::follow);

// Creates `folder` and every missing folder above it, one level at a time, so that the failure
// names the real cause (a file in the way gives ENOTDIR, a read-only parent EROFS or EACCES).
std::optional<FileError> createFolders(const std::filesystem::path& folder, mode_t mode = 0755);

// Writes `bytes` over whatever `path` holds, without a temporary file: for files nobody reads while
// they are written.
std::optional<FileError> writeFileInPlace(const std::filesystem::path& path, std::string_view bytes,
                                          mode_t mode = 0644);

// Replaces `target` so that a reader sees the old content or all of the new, also after a crash:
// a temporary file beside it, write, fsync, rename over the target, fsync of the folder. The
// leftover of a crash keeps the target's name as a prefix (so a hidden target stays hidden).
// Failures name the operation "write" and the target.
std::optional<FileError> writeFileAtomically(const std::filesystem::path& target,
                                             std::string_view bytes, mode_t mode = 0644);
// The same for the file `name` in the open folder `folder`, for callers that reach a folder only
// through its descriptor (never through a link swapped into its path). Failures name `name`.
std::optional<FileError> writeFileAtomicallyAt(int folder, const std::string& name,
                                               std::string_view bytes, mode_t mode = 0644);

} // namespace keelbox
