#include "engine/TailCount.h"

#include "engine/FileOps.h"

#include <cerrno>
#include <fcntl.h>
#include <sys/stat.h>

namespace keelbox::detail {

namespace {

// As deep as the walk goes (see the walk's ancestors).
constexpr std::size_t maxDepth = 1024;
} // namespace

TailCount::~TailCount() {
    m_quitting.store(true, std::memory_order_relaxed);
    if (m_thread.joinable())
        m_thread.join();
    for (const int fd : m_trees)
        sysCalls().close(fd);
}

void TailCount::add(int drive) {
    const int fd = sysCalls().dupFd(drive);
    if (fd >= 0)
        m_trees.push_back(fd);
}

void TailCount::start() {
    if (!m_thread.joinable())
        m_thread = std::thread{[this] { run(); }};
}

bool TailCount::enter(dev_t device, ino_t inode) {
    const Key key{device, inode};
    std::lock_guard lock{m_mutex};
    if (m_taken.contains(key))
        return false;
    if (m_walked.size() >= folderLimit) {
        m_state.store(State::failed, std::memory_order_release);
        return true;
    }
    m_walked.insert(key);
    return true;
}

Totals TailCount::counted() const {
    std::lock_guard lock{m_mutex};
    return m_counted;
}

std::optional<Totals> TailCount::filesIn(dev_t device, ino_t inode) const {
    std::lock_guard lock{m_mutex};
    const auto it = m_open.find(Key{device, inode});
    if (it == m_open.end())
        return std::nullopt;
    return it->second;
}

void TailCount::run() {
    std::vector<Frame> frames;
    for (auto tree = m_trees.rbegin(); tree != m_trees.rend(); ++tree) {
        // A tree the count cannot read, the walk cannot read either: it counts nothing.
        if (!push(UniqueFd{sysCalls().dupFd(*tree)}, frames))
            continue;
        while (!frames.empty()) {
            if (m_quitting.load(std::memory_order_relaxed) ||
                m_state.load(std::memory_order_relaxed) == State::failed) {
                m_state.store(State::failed, std::memory_order_release);
                return;
            }
            Frame& top = frames.back();
            if (!top.folders.empty()) {
                const std::string name = std::move(top.folders.back());
                top.folders.pop_back();
                if (frames.size() < maxDepth)
                    push(UniqueFd{openAt(top.fd.get(), name.c_str(), folderOpenFlags)}, frames);
                continue;
            }
            if (!take(top))
                return meet(frames);
            frames.pop_back();
        }
    }
    // Every folder is the count's, or was the walk's before it began.
    meet(frames);
}

bool TailCount::push(UniqueFd fd, std::vector<Frame>& frames) {
    struct stat st {};
    if (!fd.valid() || sysCalls().fstat(fd.get(), &st) != 0)
        return false;
    Frame frame;
    frame.key = Key{st.st_dev, st.st_ino};
    // A folder met again below itself ends its branch, as in the walk.
    for (const Frame& above : frames) {
        if (above.key == frame.key)
            return false;
    }
    frame.fd = std::move(fd);
    DirStream listing = DirStream::borrow(frame.fd.get());
    int error = 0;
    while (const dirent64* entry = listing.next(error)) {
        if (m_quitting.load(std::memory_order_relaxed))
            break;
        const char* name = entry->d_name;
        if (entry->d_type == DT_LNK || isExcludedName(name))
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (!isFolder) {
            struct stat file {};
            if (sysCalls().fstatat(listing.fd(), name, &file, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(file.st_mode)) {
                ++frame.files.files;
                frame.files.bytes += file.st_size;
            }
            isFolder = S_ISDIR(file.st_mode);
        }
        if (isFolder)
            frame.folders.emplace_back(name);
    }
    frames.push_back(std::move(frame));
    return true;
}

bool TailCount::take(const Frame& frame) {
    std::lock_guard lock{m_mutex};
    if (m_walked.contains(frame.key))
        return false;
    if (m_taken.size() >= folderLimit) {
        m_state.store(State::failed, std::memory_order_release);
        return true;
    }
    m_taken.insert(frame.key);
    m_counted.files += frame.files.files;
    m_counted.bytes += frame.files.bytes;
    return true;
}

void TailCount::meet(const std::vector<Frame>& frames) {
    {
        std::lock_guard lock{m_mutex};
        for (const Frame& frame : frames)
            m_open.emplace(frame.key, frame.files);
    }
    State expected = State::counting;
    m_state.compare_exchange_strong(expected, State::met, std::memory_order_acq_rel);
}

} // namespace keelbox::detail
