#include "engine/FileOps.h"

#include <cerrno>
#include <cstring>

namespace keelbox::detail {

long blocksReadByThisThread() {
    rusage usage{};
    if (sysCalls().getrusage(RUSAGE_THREAD, &usage) != 0)
        return 0;
    return usage.ru_inblock;
}

DirStream DirStream::borrow(int fd) {
    DirStream listing;
    listing.m_fd = fd;
    return listing;
}

DirStream::DirStream(DirStream&& other) noexcept
    : m_fd(other.m_fd), m_owned(other.m_owned), m_ended(other.m_ended),
      m_buffer(std::move(other.m_buffer)), m_position(other.m_position), m_filled(other.m_filled) {
    other.m_fd = -1;
    other.m_owned = false;
}

DirStream::~DirStream() {
    if (m_owned && m_fd >= 0)
        sysCalls().close(m_fd);
}

const dirent64* DirStream::next(int& error) {
    error = 0;
    if (m_fd < 0) {
        error = EBADF;
        return nullptr;
    }
    for (;;) {
        if (m_position >= m_filled) {
            if (m_ended)
                return nullptr;
            if (!m_buffer)
                m_buffer = std::make_unique<char[]>(bufferSize);
            const ssize_t got = retryOnInterrupt(
                [this] { return sysCalls().getdents(m_fd, m_buffer.get(), bufferSize); });
            if (got < 0) {
                error = errno;
                m_ended = true;
                return nullptr;
            }
            if (got == 0) {
                m_ended = true;
                return nullptr;
            }
            m_position = 0;
            m_filled = static_cast<std::size_t>(got);
        }
        const auto* entry = reinterpret_cast<const dirent64*>(m_buffer.get() + m_position);
        m_position += entry->d_reclen;
        const char* name = entry->d_name;
        if (name[0] == '.' && (name[1] == '\0' || (name[1] == '.' && name[2] == '\0')))
            continue;
        return entry;
    }
}

int openAt(int dir, const char* name, int flags, mode_t mode) {
    return retryOnInterrupt([&] { return sysCalls().openat(dir, name, flags, mode); });
}

int openOrMakeFolder(int parent, const char* name, LinkInWay link, int& error, bool* created) {
    bool made = false;
    for (int attempt = 0; attempt < 3; ++attempt) {
        int fd = openAt(parent, name, folderOpenFlags);
        if (fd >= 0) {
            if (created != nullptr)
                *created = made;
            return fd;
        }
        error = errno;
        if (error == ENOENT) {
            if (sysCalls().mkdirat(parent, name, 0777) == 0) {
                made = true;
            } else if (errno != EEXIST) {
                error = errno;
                return -1;
            }
            continue;
        }
        if (error == ELOOP || error == ENOTDIR) {
            struct stat st {};
            if (sysCalls().fstatat(parent, name, &st, AT_SYMLINK_NOFOLLOW) != 0 ||
                !S_ISLNK(st.st_mode)) {
                return -1; // a file in the way of the folder stays, and so does the error
            }
            if (link == LinkInWay::refuse)
                return -1;
            if (sysCalls().unlinkat(parent, name, 0) != 0) {
                error = errno;
                return -1;
            }
            continue;
        }
        return -1;
    }
    return -1;
}

int removeEntry(int parent, const char* name, dev_t device) {
    if (sysCalls().unlinkat(parent, name, 0) == 0)
        return 0;
    int error = errno;
    if (error != EISDIR && error != EPERM)
        return error;
    // EISDIR (or EPERM, which some file systems give for unlink of a folder): empty it first.
    UniqueFd folder{openAt(parent, name, folderOpenFlags)};
    if (!folder.valid())
        return (errno == ELOOP || errno == ENOTDIR) ? error : errno;
    struct stat st {};
    if (sysCalls().fstat(folder.get(), &st) != 0)
        return errno;
    if (st.st_dev != device)
        return EXDEV; // a file system mounted inside the copy is not the copy's to delete
    DirStream listing{std::move(folder)};
    if (!listing.valid())
        return errno;
    int first = 0;
    int readError = 0;
    while (const dirent64* entry = listing.next(readError)) {
        int result = removeEntry(listing.fd(), entry->d_name, device);
        if (result != 0 && first == 0)
            first = result;
    }
    if (readError != 0 && first == 0)
        first = readError;
    if (sysCalls().unlinkat(parent, name, AT_REMOVEDIR) != 0 && first == 0)
        first = errno;
    return first;
}

double secondsOf(const struct timespec& time) {
    return static_cast<double>(time.tv_sec) + static_cast<double>(time.tv_nsec) / 1e9;
}

std::string joinPath(std::string_view base, std::string_view rel) {
    if (rel.empty())
        return std::string{base};
    if (base.empty())
        return std::string{rel};
    std::string out;
    out.reserve(base.size() + 1 + rel.size());
    out.append(base);
    if (out.back() != '/')
        out.push_back('/');
    out.append(rel);
    return out;
}

} // namespace keelbox::detail
