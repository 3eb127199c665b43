#include "engine/ReadAhead.h"

#include "engine/FileOps.h"

#include <cerrno>
#include <climits>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace keelbox::detail {

namespace {

// A folder the pool reads counts as waiting for the disk when its thread started a read of the
// device for it, or, where time tells, when it took this long.
constexpr auto slowFolder = std::chrono::milliseconds{20};
// After this many folders in a row that were all in the cache, the pool stops and keeps its place.
constexpr unsigned warmFoldersToStop = 64;
// As deep as the walk goes (see the walk's ancestors), and no longer a path than the system takes.
constexpr std::uint32_t maxDepth = 1024;
constexpr std::size_t maxPath = PATH_MAX - NAME_MAX - 2;
} // namespace

ReadAhead::ReadAhead() : m_blocksSeen(blocksReadByThisThread()) {}

ReadAhead::~ReadAhead() {
    {
        std::lock_guard lock{m_mutex};
        m_quitting = true;
    }
    m_changed.notify_all();
    for (std::thread& thread : m_threads)
        thread.join();
    for (const Root& root : m_roots) {
        for (const int fd : root.sides) {
            if (fd >= 0)
                sysCalls().close(fd);
        }
    }
}

void ReadAhead::add(int drive, int copy, int previous) {
    const auto duplicate = [](int fd) { return fd >= 0 ? sysCalls().dupFd(fd) : -1; };
    const Root root{{duplicate(drive), duplicate(copy), duplicate(previous)}};
    if (root.sides[driveSide] < 0)
        return;
    // A file system without a block device of its own (FUSE, a network share, btrfs) may be read
    // by another process or over the network, where this process's block count shows nothing.
    for (const int fd : root.sides) {
        struct stat st {};
        if (fd >= 0 && sysCalls().fstat(fd, &st) == 0 && ::major(st.st_dev) == 0)
            m_timeTells.store(true, std::memory_order_relaxed);
    }
    std::lock_guard lock{m_mutex};
    m_roots.push_back(root);
    // Trees are read in the order they were given: the first is on top of the stack.
    m_pending.insert(m_pending.begin(),
                     Pending{static_cast<std::uint32_t>(m_roots.size() - 1), driveSide, 0, {}});
}

void ReadAhead::start() {
    std::lock_guard lock{m_mutex};
    wake();
}

bool ReadAhead::observeSlowBatch(long blocksRead) {
    // On a busy machine a batch the cache answers takes as long when its thread is preempted:
    // only a read of the disk since the last slow batch says that the disk was waited for.
    const bool readTheDisk = blocksRead > m_blocksSeen;
    m_blocksSeen = blocksRead;
    if (!readTheDisk && !m_timeTells.load(std::memory_order_relaxed))
        return false;
    std::lock_guard lock{m_mutex};
    if (!m_running)
        wake();
    return m_running;
}

std::optional<Totals> ReadAhead::count() {
    std::unique_lock lock{m_mutex};
    m_counting = true;
    wake();
    m_changed.wait(lock, [this] { return m_unsupported || (m_pending.empty() && m_busy == 0); });
    m_counting = false;
    m_warmStreak = 0;
    if (m_unsupported || m_incomplete)
        return std::nullopt;
    return m_totals;
}

void ReadAhead::countInBackground() {
    std::lock_guard lock{m_mutex};
    if (m_countingInBackground)
        return;
    m_countingInBackground = true;
    wake();
    finishBackgroundCount(); // with nothing left to read, or no way to read it
}

Totals ReadAhead::totals() const {
    std::lock_guard lock{m_mutex};
    return m_totals;
}

bool ReadAhead::reading() const {
    std::lock_guard lock{m_mutex};
    return m_running;
}

bool ReadAhead::everRead() const {
    std::lock_guard lock{m_mutex};
    return !m_threads.empty();
}

void ReadAhead::finishBackgroundCount() {
    if (!m_countingInBackground || m_counted.load(std::memory_order_relaxed) != Counted::pending)
        return;
    if (m_unsupported || m_incomplete)
        m_counted.store(Counted::failed, std::memory_order_release);
    else if (m_pending.empty() && m_busy == 0)
        m_counted.store(Counted::done, std::memory_order_release);
}

void ReadAhead::wake() {
    if (m_unsupported || m_quitting || m_pending.empty())
        return;
    m_running = true;
    m_warmStreak = 0;
    if (m_threads.empty()) {
        m_threads.reserve(threadCount);
        for (unsigned i = 0; i < threadCount; ++i)
            m_threads.emplace_back([this] { work(); });
    }
    m_changed.notify_all();
}

void ReadAhead::push(Pending folder) {
    if (m_pending.size() >= pendingLimit) {
        m_incomplete = m_incomplete || folder.side == driveSide;
        return;
    }
    m_pending.push_back(std::move(folder));
}

void ReadAhead::work() {
    Found found;
    std::unique_lock lock{m_mutex};
    for (;;) {
        m_changed.wait(lock, [this] { return m_quitting || (m_running && !m_pending.empty()); });
        if (m_quitting)
            return;
        const Pending next = std::move(m_pending.back());
        m_pending.pop_back();
        const bool onDrive = next.side == driveSide;
        ++m_busy;
        lock.unlock();
        found.folders.clear();
        found.files = {};
        found.waited = false;
        found.complete = true;
        readFolder(next, found);
        lock.lock();
        // Subfolders in reverse so that the first is read next, as the walk will; above them the
        // same folder on the other sides.
        for (auto it = found.folders.rbegin(); it != found.folders.rend(); ++it)
            push(std::move(*it));
        // A count in the background on a warm cache reads the drive alone: there the walk
        // finds the other sides in the cache, or reads them as fast itself.
        if (onDrive && (m_counting || found.waited || !m_countingInBackground)) {
            for (std::uint8_t side = sideCount - 1; side > driveSide; --side) {
                if (m_roots[next.root].sides[side] >= 0)
                    push(Pending{next.root, side, next.depth, next.path});
            }
        }
        --m_busy;
        if (onDrive) {
            m_totals.files += found.files.files;
            m_totals.bytes += found.files.bytes;
            m_incomplete = m_incomplete || !found.complete;
        }
        if (found.waited)
            m_warmStreak = 0;
        else if (++m_warmStreak >= warmFoldersToStop && !m_counting && !m_countingInBackground)
            m_running = false;
        finishBackgroundCount();
        // Sleeping threads have new folders to read, or count() its answer.
        m_changed.notify_all();
    }
}

bool ReadAhead::firstVisit(int fd) {
    struct stat st {};
    if (sysCalls().fstat(fd, &st) != 0)
        return false;
    const std::uint64_t key = (static_cast<std::uint64_t>(st.st_dev) << 40) ^ st.st_ino;
    std::lock_guard lock{m_mutex};
    if (m_seen.size() >= seenLimit) {
        m_incomplete = true;
        return false;
    }
    return m_seen.insert(key).second;
}

void ReadAhead::readFolder(const Pending& folder, Found& found) {
    int base = -1;
    {
        std::lock_guard lock{m_mutex};
        base = m_roots[folder.root].sides[folder.side];
    }
    const auto started = std::chrono::steady_clock::now();
    const long blocksBefore = blocksReadByThisThread();
    const char* path = folder.path.empty() ? "." : folder.path.c_str();
    UniqueFd fd{sysCalls().openBeneath(base, path, O_RDONLY | O_DIRECTORY)};
    if (!fd.valid()) {
        if (errno == ENOSYS) {
            std::lock_guard lock{m_mutex};
            m_unsupported = true; // a kernel without openat2: the walk reads for itself
            finishBackgroundCount();
            m_changed.notify_all();
        }
        return;
    }
    if (!firstVisit(fd.get()))
        return;
    const bool onDrive = folder.side == driveSide;
    DirStream listing{std::move(fd)};
    int error = 0;
    while (const dirent64* entry = listing.next(error)) {
        if (m_quitting)
            break;
        const char* name = entry->d_name;
        // Links are never followed or counted; never-copied names are left out with everything
        // below them, as the walk does.
        if (isExcludedName(name) || (onDrive && entry->d_type == DT_LNK))
            continue;
        bool isFolder = entry->d_type == DT_DIR;
        if (!isFolder) {
            struct stat st {};
            if (sysCalls().fstatat(listing.fd(), name, &st, AT_SYMLINK_NOFOLLOW) != 0)
                continue;
            if (S_ISREG(st.st_mode)) {
                ++found.files.files;
                found.files.bytes += st.st_size;
            }
            isFolder = entry->d_type == DT_UNKNOWN && S_ISDIR(st.st_mode);
        }
        // The drive's folders lead the way; the other sides follow them.
        if (!onDrive || !isFolder)
            continue;
        std::string child = folder.path.empty() ? std::string{name} : folder.path + '/' + name;
        if (folder.depth + 1 < maxDepth && child.size() <= maxPath)
            found.folders.push_back(
                Pending{folder.root, driveSide, folder.depth + 1, std::move(child)});
        else
            found.complete = false;
    }
    found.waited = blocksReadByThisThread() > blocksBefore ||
                   (m_timeTells.load(std::memory_order_relaxed) &&
                    std::chrono::steady_clock::now() - started > slowFolder);
}

} // namespace keelbox::detail
