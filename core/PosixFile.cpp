#include "core/PosixFile.h"

#include "core/ErrnoText.h"
#include "core/Uuid.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace keelbox {

std::string FileError::message() const {
    return "Could not " + operation + " “" + path.string() + "”: " + errnoText(errnum);
}

UniqueFd& UniqueFd::operator=(UniqueFd&& other) noexcept {
    if (this != &other)
        reset(other.release());
    return *this;
}

int UniqueFd::release() {
    const int fd = m_fd;
    m_fd = -1;
    return fd;
}

void UniqueFd::reset(int fd) {
    if (m_fd >= 0)
        ::close(m_fd);
    m_fd = fd;
}

int UniqueFd::close() {
    const int result = m_fd >= 0 ? ::close(m_fd) : 0;
    m_fd = -1;
    return result;
}

namespace {

ssize_t systemRead(int fd, void* buffer, std::size_t size) {
    return ::read(fd, buffer, size);
}

ssize_t systemWrite(int fd, const void* data, std::size_t size) {
    return ::write(fd, data, size);
}

} // namespace

ssize_t readRetrying(int fd, void* buffer, std::size_t size) {
    return retryOnInterrupt([&] { return ::read(fd, buffer, size); });
}

ssize_t readFull(int fd, char* buffer, std::size_t size) {
    return readFull(fd, buffer, size, systemRead);
}

ssize_t readFull(int fd, char* buffer, std::size_t size, ReadCall read) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t n =
            retryOnInterrupt([&] { return read(fd, buffer + filled, size - filled); });
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(filled);
}

bool writeAll(int fd, std::string_view bytes) {
    return writeAll(fd, bytes, systemWrite);
}

bool writeAll(int fd, std::string_view bytes, WriteCall write) {
    while (!bytes.empty()) {
        const ssize_t n = retryOnInterrupt([&] { return write(fd, bytes.data(), bytes.size()); });
        if (n < 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
}

namespace {

// Reads the open regular file `fd`, whose size was `expected` when looked at, up to `limit` bytes.
FileContent readOpenFile(int fd, std::size_t expected, std::size_t limit) {
    constexpr std::size_t firstRead = 4096;
    // One byte more than the size shows the end, or a file that grew meanwhile.
    std::string text(std::min(limit, std::max(expected, firstRead)) + 1, '\0');
    std::size_t filled = 0;
    for (;;) {
        const ssize_t got = readRetrying(fd, text.data() + filled, text.size() - filled);
        if (got < 0)
            return {{}, errno};
        if (got == 0)
            break;
        filled += static_cast<std::size_t>(got);
        if (filled > limit)
            return {{}, EFBIG};
        if (filled == text.size())
            text.resize(std::min(limit + 1, text.size() * 2));
    }
    text.resize(filled);
    return {std::move(text), 0};
}

} // namespace

FileContent readFileAt(int folder, const char* name, std::size_t limit, FileLinks links) {
    const bool refuseLinks = links == FileLinks::refuse;
    const int openFlags =
        O_RDONLY | O_NONBLOCK | O_NOCTTY | O_CLOEXEC | (refuseLinks ? O_NOFOLLOW : 0);
    const auto tooLarge = [limit](const struct stat& st) {
        return static_cast<std::uintmax_t>(st.st_size) > limit;
    };
    for (int attempt = 0; attempt < 5; ++attempt) {
        struct stat before {};
        if (::fstatat(folder, name, &before, refuseLinks ? AT_SYMLINK_NOFOLLOW : 0) != 0)
            return {{}, errno};
        if (!S_ISREG(before.st_mode))
            return {{}, EINVAL};
        if (tooLarge(before))
            return {{}, EFBIG};
        const UniqueFd fd(retryOnInterrupt([&] { return ::openat(folder, name, openFlags); }));
        if (!fd)
            return {{}, errno == ELOOP && refuseLinks ? EINVAL : errno};
        struct stat opened {};
        if (::fstat(fd.get(), &opened) != 0)
            return {{}, errno};
        if (opened.st_ino != before.st_ino || opened.st_dev != before.st_dev)
            continue; // replaced meanwhile (a save renaming its new file into place)
        if (!S_ISREG(opened.st_mode))
            return {{}, EINVAL};
        if (tooLarge(opened))
            return {{}, EFBIG};
        return readOpenFile(fd.get(), static_cast<std::size_t>(opened.st_size), limit);
    }
    return {{}, EAGAIN};
}

FileContent readFile(const std::filesystem::path& path, std::size_t limit, FileLinks links) {
    return readFileAt(AT_FDCWD, path.c_str(), limit, links);
}

std::optional<FileError> createFolders(const std::filesystem::path& folder, mode_t mode) {
    std::filesystem::path partial;
    for (const auto& part : folder) {
        partial /= part;
        struct stat info {};
        if (::stat(partial.c_str(), &info) == 0) {
            if (!S_ISDIR(info.st_mode))
                return FileError{ENOTDIR, "create the folder", folder};
            continue;
        }
        if (::mkdir(partial.c_str(), mode) != 0 && errno != EEXIST)
            return FileError{errno, "create the folder", folder};
    }
    return std::nullopt;
}

std::optional<FileError> writeFileInPlace(const std::filesystem::path& path, std::string_view bytes,
                                          mode_t mode) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, mode));
    if (!fd || !writeAll(fd.get(), bytes) || fd.close() != 0)
        return FileError{errno, "write", path};
    return std::nullopt;
}

std::optional<FileError> writeFileAtomically(const std::filesystem::path& target,
                                             std::string_view bytes, mode_t mode) {
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    const UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folderFd)
        return FileError{errno, "write", target};
    if (auto error =
            writeFileAtomicallyAt(folderFd.get(), target.filename().string(), bytes, mode)) {
        error->path = target;
        return error;
    }
    return std::nullopt;
}

std::optional<FileError> writeFileAtomicallyAt(int folder, const std::string& name,
                                               std::string_view bytes, mode_t mode) {
    // The temporary name keeps the target's as a prefix, so a leftover of a crash stays as hidden
    // as the target; O_EXCL makes sure it is a new file of this writer, never a link planted there.
    std::string temporary;
    UniqueFd fd;
    for (int attempt = 0; attempt < 8 && !fd; ++attempt) {
        temporary = name + "." + Uuid::random().toString().substr(24) + ".tmp";
        fd.reset(::openat(folder, temporary.c_str(),
                          O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600));
        if (!fd && errno != EEXIST)
            break;
    }
    if (!fd)
        return FileError{errno, "write", name};
    // Created private; file systems without permissions (FAT on a drive) refuse the change, which
    // is harmless there.
    (void)::fchmod(fd.get(), mode);
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || fd.close() != 0 ||
        ::renameat(folder, temporary.c_str(), folder, name.c_str()) != 0) {
        const int errnum = errno;
        fd.reset();
        ::unlinkat(folder, temporary.c_str(), 0);
        return FileError{errnum, "write", name};
    }
    // The new file is complete and in place; syncing the folder only makes the rename durable,
    // and some file systems (FUSE, FAT) refuse fsync on a folder.
    (void)::fsync(folder);
    return std::nullopt;
}

} // namespace keelbox
