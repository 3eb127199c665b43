#include "engine/Tally.h"

#include "engine/FileOps.h"
#include "engine/MetadataLog.h"
#include "engine/ReadAhead.h"
#include "engine/StatWorker.h"
#include "engine/TailCount.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <sys/sysmacros.h>
#include <unistd.h>
#include <unordered_set>

namespace keelbox {

namespace {

// The umask, read from /proc (setting it to read it back would race with other threads creating
// files). Unknown, it counts as the usual 022.
mode_t currentUmask() {
    const std::string text = readFile("/proc/self/status", 64 * 1024).text;
    const char* line = std::strstr(text.c_str(), "\nUmask:");
    if (line == nullptr)
        return 022;
    char* end = nullptr;
    const unsigned long value = std::strtoul(line + 7, &end, 8);
    return end == line + 7 ? mode_t{022} : static_cast<mode_t>(value & 0777);
}

} // namespace

Tally::Tally(AppLanguage runLanguage, ProgressCallback progress, const std::atomic<bool>* stop)
    : RunRules{runLanguage, ::getpid(), currentUmask()}, SharedRunState(stop),
      onProgress(std::move(progress)) {}

Tally::~Tally() = default;

void Tally::advance(Int64 bytes, std::string_view currentFile) {
    ++processedFiles;
    processedBytes += bytes;
    if (!onProgress)
        return;
    // The first report comes as soon as the totals are known.
    const bool totalsCame = totalsPending;
    if (totalsPending && !takeTotals())
        return;
    const Int step = filesTotal >= 100 ? filesTotal / 100 : 1;
    if (totalsCame || processedFiles - lastReportedFiles >= step) {
        lastReportedFiles = processedFiles;
        onProgress(BackupProgress{processedFiles, filesTotal, processedBytes, bytesTotal,
                                  std::string{currentFile}});
    }
}

bool Tally::takeTotals() {
    using Counted = detail::ReadAhead::Counted;
    if (tailCount != nullptr && tailCount->started()) {
        using State = detail::TailCount::State;
        const State state = tailCount->state();
        if (state == State::counting)
            return false;
        if (const std::optional<Totals> found = state == State::met ? tailTotals() : std::nullopt) {
            setTotals(*found);
            return true;
        }
        // Bounds exceeded, or the walk went another way than the count (the drive changed
        // meanwhile): the pool counts instead.
        tailCount = nullptr;
        if (readAhead)
            readAhead->countInBackground();
    }
    const Counted counted = readAhead ? readAhead->countedInBackground() : Counted::failed;
    if (counted == Counted::done) {
        setTotals(countedTotals());
        return true;
    }
    if (counted == Counted::failed) {
        setTotals(countNow ? countNow() : listedTotals);
        return true;
    }
    // Whether to start counting is asked every so many files: the clock and the pool's lock
    // are not free.
    if (processedFiles % 64 != 0)
        return false;
    if (readAhead->reading()) {
        readAhead->countInBackground();
    } else if (std::chrono::steady_clock::now() - walkStarted >= countAfter) {
        // The pool's count starts where the walk did; where the pool has read nothing yet, a
        // count from the other end stops where it meets the walk.
        if (tailCount != nullptr && !readAhead->everRead())
            tailCount->start();
        else
            readAhead->countInBackground();
    }
    return false;
}

std::optional<Totals> Tally::tailTotals() const {
    Totals found = tailCount->counted();
    for (const Totals& part : {listedTotals, m_walkedFiles}) {
        found.files += part.files;
        found.bytes += part.bytes;
    }
    for (const OpenFolder& open : m_openFolders) {
        if (!open.walks)
            continue;
        const std::optional<Totals> files = tailCount->filesIn(open.device, open.inode);
        if (!files)
            return std::nullopt;
        found.files += files->files;
        found.bytes += files->bytes;
    }
    return found;
}

void Tally::enteredFolder(dev_t device, ino_t inode) {
    const bool walks = totalsPending && tailCount != nullptr && tailCount->enter(device, inode);
    m_openFolders.push_back(OpenFolder{device, inode, walks, {}});
}

void Tally::leftFolder() {
    if (m_openFolders.empty())
        return;
    const OpenFolder& left = m_openFolders.back();
    if (left.walks) {
        m_walkedFiles.files += left.files.files;
        m_walkedFiles.bytes += left.files.bytes;
    }
    m_openFolders.pop_back();
}

Totals Tally::countedTotals() const {
    const Totals inFolders = readAhead->totals();
    return {listedTotals.files + inFolders.files, listedTotals.bytes + inFolders.bytes};
}

void Tally::setTotals(Totals found) {
    filesTotal = found.files;
    bytesTotal = found.bytes;
    totalsPending = false;
}

void Tally::settleTotals() {
    if (totalsPending && tailCount != nullptr && tailCount->started() &&
        tailCount->state() == detail::TailCount::State::met) {
        if (const std::optional<Totals> found = tailTotals())
            setTotals(*found);
    }
    if (totalsPending && readAhead &&
        readAhead->countedInBackground() == detail::ReadAhead::Counted::done)
        setTotals(countedTotals());
}

void Tally::reportFinal() {
    // Still unknown: the run was over before they came, so it handled them all.
    if (totalsPending)
        setTotals({processedFiles, processedBytes});
    if (onProgress)
        onProgress(BackupProgress{processedFiles, filesTotal, processedBytes, bytesTotal, {}});
}

bool SharedRunState::stopRequested() const {
    return halt.load(std::memory_order_relaxed) != Halt::none || stopAsked();
}

bool SharedRunState::stopAsked() const {
    return m_stop != nullptr && m_stop->load(std::memory_order_relaxed);
}

void Tally::watchDrive(std::string root) {
    struct stat st {};
    if (sysCalls().fstatat(AT_FDCWD, root.c_str(), &st, 0) != 0)
        return;
    m_driveRoot = std::move(root);
    m_driveDevice = st.st_dev;
    // File systems without a block device (FUSE, tmpfs, network) have major number 0.
    std::string node = "/sys/dev/block/" + std::to_string(major(st.st_dev)) + ":" +
                       std::to_string(minor(st.st_dev));
    struct stat present {};
    if (major(st.st_dev) != 0 && sysCalls().fstatat(AT_FDCWD, node.c_str(), &present, 0) == 0)
        m_deviceNode = std::move(node);
}

bool Tally::driveVanished() const {
    if (m_driveRoot.empty())
        return false;
    struct stat st {};
    if (sysCalls().fstatat(AT_FDCWD, m_driveRoot.c_str(), &st, 0) != 0 ||
        st.st_dev != m_driveDevice)
        return true; // unmounted: the mount point is a plain folder again, or gone
    return !m_deviceNode.empty() && sysCalls().fstatat(AT_FDCWD, m_deviceNode.c_str(), &st, 0) != 0;
}

bool Tally::absorbFailure(int error, bool onDrive, const std::string& shown) {
    if (halt.load() != Halt::none)
        return true; // whatever fails after the first sign fails for the same reason
    if (error == ENOSPC || error == EDQUOT) {
        haltPath = shown;
        halt.store(Halt::noSpace);
        return true;
    }
    if (!onDrive)
        return false;
    bool gone = false;
    switch (error) {
    case ENODEV:
    case ENXIO:
    case ENOTCONN: // a FUSE drive whose daemon ended with the device
    case ESHUTDOWN:
        gone = true;
        break;
    case EIO:
    case ESTALE:
    case ENOENT:
    case ENOTDIR:
        // A damaged file and a pulled drive look alike here; the mount tells them apart.
        gone = driveVanished();
        break;
    default:
        break;
    }
    if (gone)
        halt.store(Halt::driveGone);
    return gone;
}

void Tally::expectGrowth(Int64 size, Int64 growth) {
    m_bytesDecided += size;
    m_growth += growth;
    if (spaceShortage || halt.load() != Halt::none || freeAtStart < 0 || m_growth <= freeAtStart)
        return;
    // What the pre-count found and the walk has not reached yet may all be new; before the totals
    // come (or with none counted) only what the walk found is known.
    warnOfShortage({m_growth + std::max<Int64>(bytesTotal - m_bytesDecided, 0), freeAtStart,
                    totalsPending || bytesTotal < m_bytesDecided});
}

void Tally::warnOfShortage(SpaceShortage shortage) {
    spaceShortage = shortage;
    if (onSpaceShortage)
        onSpaceShortage(shortage);
}

Int64 Tally::freeSpace() const {
    struct statvfs vfs {};
    if (destinationFolder < 0 || sysCalls().fstatvfs(destinationFolder, &vfs) != 0)
        return -1;
    return static_cast<Int64>(vfs.f_bavail) * static_cast<Int64>(vfs.f_frsize);
}

detail::StatWorker& Tally::statWorker() {
    if (!m_worker)
        m_worker = std::make_unique<detail::StatWorker>();
    return *m_worker;
}

detail::MetadataLog& Tally::startMetadataLog() {
    m_log = std::make_unique<detail::MetadataLog>();
    return *m_log;
}

void Tally::dropMetadataLog() {
    m_log.reset();
}

char* Tally::copyBuffer() {
    if (!m_buffer)
        m_buffer = std::make_unique<char[]>(copyBufferSize);
    return m_buffer.get();
}

bool isExcluded(std::string_view relativePath) {
    static const std::unordered_set<std::string_view> excludedNames{
        ".keelbox.json", ".DS_Store",       ".Spotlight-V100",         ".Trashes",
        ".fseventsd",    ".TemporaryItems", ".DocumentRevisions-V100", "System Volume Information",
        "$RECYCLE.BIN",  ".keelbox-drive"};
    std::size_t start = 0;
    while (start <= relativePath.size()) {
        std::size_t end = relativePath.find('/', start);
        if (end == std::string_view::npos)
            end = relativePath.size();
        if (end > start && excludedNames.contains(relativePath.substr(start, end - start)))
            return true;
        start = end + 1;
    }
    return false;
}

mode_t copyPermissions(mode_t sourceMode, bool folder, bool sourceInventsModes, mode_t umask) {
    mode_t mode = sourceMode & 0777;
    if (sourceInventsModes && !folder)
        mode &= ~mode_t{0111};
    mode &= ~umask;
    if (folder)
        mode |= S_IRWXU;
    return mode;
}

bool isUnchanged(Int64 sourceSize, double sourceSeconds, Int64 copySize, double copySeconds) {
    return sourceSize == copySize && sourceSeconds <= copySeconds + 2.0;
}

} // namespace keelbox
