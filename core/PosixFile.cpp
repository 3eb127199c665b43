#include "core/PosixFile.h"

#include "core/ErrnoText.h"

#include <cerrno>
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

ssize_t readRetrying(int fd, void* buffer, std::size_t size) {
    ssize_t n;
    do {
        n = ::read(fd, buffer, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t writeRetrying(int fd, const void* data, std::size_t size) {
    ssize_t n;
    do {
        n = ::write(fd, data, size);
    } while (n < 0 && errno == EINTR);
    return n;
}

ssize_t readFull(int fd, char* buffer, std::size_t size) {
    std::size_t filled = 0;
    while (filled < size) {
        const ssize_t n = readRetrying(fd, buffer + filled, size - filled);
        if (n < 0)
            return -1;
        if (n == 0)
            break;
        filled += static_cast<std::size_t>(n);
    }
    return static_cast<ssize_t>(filled);
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t n = writeRetrying(fd, bytes.data(), bytes.size());
        if (n < 0)
            return false;
        bytes.remove_prefix(static_cast<std::size_t>(n));
    }
    return true;
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
    std::string temporary = target.string() + ".XXXXXX";
    UniqueFd fd(::mkostemp(temporary.data(), O_CLOEXEC));
    if (!fd)
        return FileError{errno, "write", target};
    const auto fail = [&](int errnum) {
        fd.reset();
        ::unlink(temporary.c_str());
        return FileError{errnum, "write", target};
    };
    // mkostemp makes the file private. File systems without permissions (FAT on a drive) refuse
    // the change, which is harmless there.
    (void)::fchmod(fd.get(), mode);
    if (!writeAll(fd.get(), bytes) || ::fsync(fd.get()) != 0 || fd.close() != 0 ||
        ::rename(temporary.c_str(), target.c_str()) != 0)
        return fail(errno);
    // The new file is complete and in place; syncing the folder only makes the rename durable,
    // and some file systems (FUSE, FAT) refuse fsync on a folder.
    const std::filesystem::path folder =
        target.has_parent_path() ? target.parent_path() : std::filesystem::path(".");
    UniqueFd folderFd(::open(folder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (folderFd)
        (void)::fsync(folderFd.get());
    return std::nullopt;
}

} // namespace keelbox
