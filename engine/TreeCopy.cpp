#include "engine/TreeCopy.h"

#include "engine/CopyQueue.h"
#include "engine/ReadAhead.h"
#include "localization/Format.h"
#include "localization/Language.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <climits>
#include <clocale>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <cwctype>
#include <exception>
#include <fcntl.h>
#include <locale.h>
#include <memory>
#include <unistd.h>
#include <unordered_map>
#include <unordered_set>
#include <utility>
#include <vector>

namespace keelbox::detail {

namespace {

// The folders a walk is inside of. A damaged or crafted file system can hold a folder inside
// itself (a FAT directory entry pointing at an ancestor, a bind mount); an endless walk would
// exhaust descriptors and the stack, so a folder met again below itself, or a nesting deeper than
// any real drive has, ends that branch.
class Ancestors {
public:
    static constexpr std::size_t maxDepth = 1024;

    // False when `folder` is one of the ancestors or the walk is already too deep; `st` receives
    // the folder's values.
    bool enter(int folder, struct stat& st) {
        if (m_chain.size() >= maxDepth || sysCalls().fstat(folder, &st) != 0)
            return false;
        for (const auto& [device, inode] : m_chain) {
            if (device == st.st_dev && inode == st.st_ino)
                return false;
        }
        m_chain.emplace_back(st.st_dev, st.st_ino);
        return true;
    }
    void leave() { m_chain.pop_back(); }

private:
    std::vector<std::pair<dev_t, ino_t>> m_chain;
};

// The names of one folder of the drive, sorted, for the existence test of pruning: the folder's
// listing, which the walk reads anyway, instead of one stat per entry of the copy.
struct NameIndex {
    // Beyond this many names a folder is tested name by name instead (memory stays bounded).
    static constexpr std::size_t limit = 1u << 16;
    struct Entry {
        std::uint32_t offset;
        std::uint16_t length;
        unsigned char type;
    };
    std::vector<char> arena;
    std::vector<Entry> entries;
    bool overflow = false;

    std::string_view name(const Entry& e) const { return {arena.data() + e.offset, e.length}; }

    void clear() {
        arena.clear();
        entries.clear();
        overflow = false;
    }

    void add(const char* entryName, unsigned char type) {
        if (overflow)
            return;
        if (entries.size() >= limit) {
            overflow = true;
            return;
        }
        const std::size_t length = std::strlen(entryName);
        entries.push_back(Entry{static_cast<std::uint32_t>(arena.size()),
                                static_cast<std::uint16_t>(length), type});
        arena.insert(arena.end(), entryName, entryName + length);
    }

    // Sorts the names once the folder is read; false when it held too many to index.
    bool finish() {
        if (overflow)
            return false;
        std::sort(entries.begin(), entries.end(),
                  [this](const Entry& a, const Entry& b) { return name(a) < name(b); });
        return true;
    }

    const Entry* find(std::string_view wanted) const {
        auto it = std::lower_bound(
            entries.begin(), entries.end(), wanted,
            [this](const Entry& e, std::string_view key) { return name(e) < key; });
        if (it == entries.end() || name(*it) != wanted)
            return nullptr;
        return &*it;
    }
};

// Removes `name` (at `where`) from the copy's open folder `dstFd` because the drive no longer
// has it: one deletion counted, or the issue of a failed removal.
void removeFromCopy(Tally& tally, const Where& where, int dstFd, const char* name, dev_t device) {
    const int error = removeEntry(dstFd, name, device);
    if (error == 0) {
        ++tally.result.filesDeleted;
        return;
    }
    if (error == ENOENT)
        return; // already gone: removed by someone else meanwhile
    BackupIssue issue;
    issue.path = where.shown();
    issue.reason = localizedText("engine.pruneFail", tally.language);
    issue.systemMessage =
        FileError{error, std::string(operationText(FileOp::remove)), where.target()}.message();
    tally.result.errors.push_back(std::move(issue));
}

// One batch of a folder's listing: names (links and never-copied names already left out), their
// types from the listing, and the stats of the entries on both sides. Each depth of a walk keeps
// its own batch, reused for every folder at that depth, so a walk allocates nothing per file.
struct Batch {
    static constexpr std::size_t size = 256;
    std::vector<char> arena;
    std::vector<std::uint32_t> offsets;
    std::vector<unsigned char> types;
    std::vector<ino_t> inodes;
    std::vector<const char*> sourceNames;
    std::vector<const char*> targetNames;
    std::vector<StatSlot> source;
    std::vector<StatSlot> target;

    std::size_t count() const { return offsets.size(); }
    const char* name(std::size_t i) const { return arena.data() + offsets[i]; }

    // Reads up to `size` entries; false once the listing has ended (or failed: `error`). Every
    // name of the listing, links and never-copied names included, also goes into `seen` when given.
    bool fill(DirStream& listing, int& error, NameIndex* seen = nullptr) {
        arena.clear();
        offsets.clear();
        types.clear();
        inodes.clear();
        while (offsets.size() < size) {
            const dirent64* entry = listing.next(error);
            if (entry == nullptr)
                return false;
            const char* entryName = entry->d_name;
            if (seen != nullptr)
                seen->add(entryName, entry->d_type);
            // Links are never followed, copied or counted; never-copied names are left out
            // with everything below them.
            if (entry->d_type == DT_LNK || isExcludedName(entryName))
                continue;
            offsets.push_back(static_cast<std::uint32_t>(arena.size()));
            arena.insert(arena.end(), entryName, entryName + std::strlen(entryName) + 1);
            types.push_back(entry->d_type);
            inodes.push_back(entry->d_ino);
        }
        return true;
    }

    // The entries that need their values read: everything the listing does not call a folder.
    void prepare(bool withTarget) {
        const std::size_t n = count();
        sourceNames.assign(n, nullptr);
        targetNames.assign(n, nullptr);
        source.resize(n);
        target.resize(n);
        for (std::size_t i = 0; i < n; ++i) {
            source[i].error = -1;
            target[i].error = -1;
            if (types[i] == DT_DIR)
                continue;
            sourceNames[i] = name(i);
            if (withTarget)
                targetNames[i] = name(i);
        }
    }
};

// The stats of a batch, with the time they took told to the read-ahead (when there is one).
// True when the read-ahead is reading.
bool timedStats(StatWorker& worker, ReadAhead* ahead, std::initializer_list<StatList> lists,
                std::size_t reads) {
    const auto started = std::chrono::steady_clock::now();
    worker.statAll(lists);
    return ahead != nullptr && ReadAhead::slow(std::chrono::steady_clock::now() - started, reads) &&
           ahead->observeSlowBatch(blocksReadByThisThread() + worker.blocksRead());
}

// What a folder made during the walk holds under any name: nothing.
const StatSlot nothingThere{ENOENT, {}};
// A file of the drive whose values are read only when it is opened for copying (StatSlot::error).
constexpr int readWhenOpened = -2;

class Copier {
public:
    Copier(Tally& tally, const Where& root, const CopyCleanup& cleanup)
        : m_tally(tally), m_root(root), m_cleanup(cleanup), m_queue(tally, m_root) {
        m_rel.reserve(256);
    }

    // Issues of the walk itself wait for the files queued before them (CopyQueue).
    void walk(int srcFd, const CopyFolders& to) {
        DirStream listing{UniqueFd{srcFd}};
        if (!listing.valid()) {
            const int error = errno;
            m_queue.drain(false);
            addFileIssue(m_tally, error, FileOp::listFolder, where().source(), where().shown());
            return;
        }
        struct stat folder {};
        if (!m_ancestors.enter(listing.fd(), folder)) {
            m_queue.drain(false);
            addEngineIssue(m_tally, where().shown(), "engine.tooDeep", "engine.tooDeepHint");
            return;
        }
        m_tally.enteredFolder(folder.st_dev, folder.st_ino);
        if (walkListing(listing, to))
            carryFolderMode(folder.st_mode, to.dst);
        m_tally.leftFolder();
        m_ancestors.leave();
    }

private:
    struct Level {
        Batch batch;
        NameIndex names; // the drive folder's names, when pruning
        // Case-folded names met so far in the folder, on a case-insensitive backup disk.
        std::unordered_map<std::string, std::string> folded;
    };

    // Folder permissions travel like a file's, masked the same way, once the folder's contents
    // are in (a folder without write permission for its owner would refuse them).
    void carryFolderMode(mode_t sourceMode, int dstFd) {
        if (dstFd < 0 || m_folderModesRefused)
            return;
        const mode_t wanted =
            copyPermissions(sourceMode, true, m_tally.sourceInventsModes, m_tally.creationMask);
        struct stat st {};
        if (sysCalls().fstat(dstFd, &st) != 0 || (st.st_mode & 07777) == wanted)
            return;
        if (sysCalls().fchmod(dstFd, wanted) != 0)
            m_folderModesRefused = true; // a disk that keeps no permissions (FAT, exFAT)
    }

    // False when the walk was stopped.
    bool walkListing(DirStream& listing, const CopyFolders& to) {
        // The queued files use this folder's descriptors, which close when the walk leaves it.
        struct LeaveGuard {
            CopyQueue& queue;
            int exceptions = std::uncaught_exceptions();
            ~LeaveGuard() {
                if (std::uncaught_exceptions() > exceptions)
                    queue.abandon();
            }
        } guard{m_queue};
        if (m_levels.size() <= m_depth)
            m_levels.push_back(std::make_unique<Level>());
        Level& level = *m_levels[m_depth];
        level.folded.clear();
        // A folder of the copy made during this walk holds only what the walk put there.
        const bool cleaning = m_cleanup.mirror || m_cleanup.sweepPartials;
        NameIndex* names = (cleaning && to.dst >= 0 && !to.dstFresh) ? &level.names : nullptr;
        if (names != nullptr)
            names->clear();
        ++m_depth;
        int readError = 0;
        const bool finished = copyBatches(level, listing, to, names, readError);
        --m_depth;
        if (!finished)
            return false;
        // Everything copied into this folder is in place before it is pruned, and before the
        // descriptors the queued files use are closed.
        m_queue.drain(false);
        if (readError != 0) {
            addFileIssue(m_tally, readError, FileOp::listFolder, where().source(), where().shown());
            return true; // only a completely read folder tells what the drive no longer has
        }
        if (names != nullptr)
            prune(*names, listing.fd(), to.dst);
        return true;
    }

    // Reads the listing batch by batch, handling each entry; every name also goes into `names`
    // when given. False when the walk was stopped.
    bool copyBatches(Level& level, DirStream& listing, const CopyFolders& to, NameIndex* names,
                     int& readError) {
        MetadataLog* log = m_tally.metadataLog();
        const std::uint32_t folder = log != nullptr ? log->enterTakenFolder() : 0;
        Batch& batch = level.batch;
        bool more = true;
        while (more) {
            more = batch.fill(listing, readError, names);
            CopyFolders batchTo = to;
            if (m_tally.linksRefused.load(std::memory_order_relaxed))
                batchTo.previous = -1;
            readValues(batch, listing.fd(), batchTo, folder);
            for (std::size_t i = 0; i < batch.count(); ++i) {
                handle(level, i, listing.fd(), batchTo);
                if (m_tally.stopRequested()) {
                    if (i + 1 < batch.count() || more)
                        m_tally.cutShort.store(true);
                    m_queue.drain(true);
                    return false;
                }
            }
        }
        return true;
    }

    // Deletes from the copy's folder what the drive's folder (read completely into `names`) does
    // not hold, and sweeps partial copies of runs that were cut short. Its subfolders have been
    // walked, and pruned, already. What a name of the drive is does not matter, only that it
    // exists: a link on the drive keeps the copy's entry. On a case-insensitive backup disk a
    // name of the drive that differs only in case keeps it too: it is the same entry there.
    void prune(NameIndex& names, int srcFd, int dstFd) {
        const bool indexed = names.finish();
        struct stat folder {};
        if (sysCalls().fstat(dstFd, &folder) != 0 || folder.st_dev != m_cleanup.device)
            return; // a file system mounted inside the copy is not the copy's to prune
        std::unordered_set<std::string> folded;
        bool foldedLoaded = false;
        // Nothing has listed the copy's folder yet: its own descriptor is read from the start.
        DirStream listing = DirStream::borrow(dstFd);
        int readError = 0;
        while (const dirent64* entry = listing.next(readError)) {
            const char* name = entry->d_name;
            if (isExcludedName(name))
                continue; // nothing in or under a never-copied name is ever deleted
            if (isPartialName(name)) {
                // Left-overs of a run cut short go without a word: they never were anybody's.
                if (!partialOfLiveRun(name, m_tally.pid))
                    removeEntry(dstFd, name, m_cleanup.device);
                continue;
            }
            if (!m_cleanup.mirror)
                continue; // only sweeping
            if (indexed ? names.find(name) != nullptr : existsOnDrive(srcFd, name))
                continue;
            if (m_tally.caseInsensitiveDestination && indexed) {
                if (!foldedLoaded) {
                    for (const NameIndex::Entry& e : names.entries)
                        folded.insert(foldCase(names.name(e)));
                    foldedLoaded = true;
                }
                if (folded.contains(foldCase(name)))
                    continue;
            }
            const std::size_t mark = m_rel.size();
            if (!m_rel.empty())
                m_rel.push_back('/');
            m_rel.append(name);
            removeFromCopy(m_tally, where(), dstFd, name, m_cleanup.device);
            m_rel.resize(mark);
        }
    }

    // For folders too large to index. Only a definite "not there" counts as missing.
    static bool existsOnDrive(int srcFd, const char* name) {
        struct stat st {};
        if (sysCalls().fstatat(srcFd, name, &st, AT_SYMLINK_NOFOLLOW) == 0)
            return true;
        return errno != ENOENT && errno != ENOTDIR;
    }

    Where where() const {
        Where w = m_root;
        w.rel = m_rel;
        return w;
    }

    // The drive's values (from the pre-count's log where it has them) and the copy's, read side
    // by side on two threads when there are enough of them. In a copy folder made just now, the
    // second side is the earlier day folder when there is one, else nothing.
    void readValues(Batch& batch, int srcFd, const CopyFolders& to, std::uint32_t folder) {
        const int sideFd = to.dstFresh ? to.previous : to.dst;
        batch.prepare(sideFd >= 0);
        const std::size_t n = batch.count();
        std::size_t sourceReads = n;
        MetadataLog* log = m_tally.metadataLog();
        if (log != nullptr && log->active()) {
            sourceReads = 0;
            for (std::size_t i = 0; i < n; ++i) {
                if (batch.sourceNames[i] == nullptr)
                    continue;
                if (log->take(batch.inodes[i], MetadataLog::key(batch.name(i), folder),
                              batch.source[i]))
                    batch.sourceNames[i] = nullptr;
                else
                    ++sourceReads;
            }
        }
        if (to.dstFresh && sideFd < 0 && !m_tally.totalsPending) {
            // Everything goes into a new folder: a file is opened for copying anyway, and its
            // values come from the open file then; only entries of unknown type are read now.
            // (Not while the totals are being counted: the walk counts its share by them.)
            for (std::size_t i = 0; i < n; ++i) {
                if (batch.sourceNames[i] != nullptr && batch.types[i] == DT_REG) {
                    batch.sourceNames[i] = nullptr;
                    batch.source[i].error = readWhenOpened;
                }
            }
        }
        const StatList source{srcFd, batch.sourceNames.data(), batch.source.data(),
                              sourceReads == 0 ? 0 : n};
        const StatList target{sideFd, batch.targetNames.data(), batch.target.data(),
                              sideFd >= 0 ? n : 0};
        timedStats(m_tally.statWorker(), m_tally.readAhead, {source, target},
                   sourceReads + target.count);
    }

    // On a case-insensitive or restricted backup disk, whether the name can go there as it is.
    // Otherwise the issue is made (after the files queued before it) and the entry counts as
    // handled.
    bool storable(Level& level, const char* name, bool isFolder, Int64 size) {
        const char* reasonKey = nullptr;
        std::string other;
        if (m_tally.restrictedNames && !nameStorable(name)) {
            reasonKey = "engine.badName";
        } else if (m_tally.caseInsensitiveDestination) {
            auto [it, added] = level.folded.try_emplace(foldCase(name), name);
            if (added)
                return true;
            reasonKey = "engine.caseClash";
            other = it->second;
        } else {
            return true;
        }
        m_queue.drain(false);
        BackupIssue issue;
        issue.path = where().shown();
        issue.reason = reasonKey == std::string_view{"engine.caseClash"}
                           ? formatText(localizedText(reasonKey, m_tally.language), {other})
                           : localizedText(reasonKey, m_tally.language);
        issue.suggestion = localizedText("engine.badNameHint", m_tally.language);
        m_tally.result.errors.push_back(std::move(issue));
        if (!isFolder)
            m_tally.advance(size, name);
        return false;
    }

    void handle(Level& level, std::size_t i, int srcFd, const CopyFolders& to) {
        Batch& batch = level.batch;
        const char* name = batch.name(i);
        unsigned char type = batch.types[i];
        const StatSlot& source = batch.source[i];
        const bool deferred = source.error == readWhenOpened;
        if (type != DT_DIR && !deferred) {
            if (source.error != 0)
                return; // an entry without values counts nothing
            if (S_ISDIR(source.st.st_mode))
                type = DT_DIR;
            else if (S_ISREG(source.st.st_mode))
                type = DT_REG;
            else
                return; // links, devices, sockets, pipes
            if (type == DT_REG)
                m_tally.fileInFolder(source.st.st_size);
        }
        const std::size_t mark = m_rel.size();
        if (!m_rel.empty())
            m_rel.push_back('/');
        m_rel.append(name);
        if (!storable(level, name, type == DT_DIR, deferred ? 0 : source.st.st_size)) {
            m_rel.resize(mark);
            return;
        }
        if (type == DT_DIR) {
            enterFolder(srcFd, name, to);
        } else {
            Candidate file;
            file.srcDir = srcFd;
            file.srcName = name;
            file.srcStat = &source.st;
            file.srcStatDeferred = deferred;
            file.dstDir = to.dst;
            file.dstError = to.dstError;
            file.dstName = name;
            if (to.dst >= 0)
                file.knownTarget = to.dstFresh ? &nothingThere : &batch.target[i];
            file.previousDir = to.previous;
            if (to.dstFresh && to.previous >= 0)
                file.knownPrevious = &batch.target[i];
            CopyJob job;
            const bool copy = decideCopy(m_tally, file, job);
            m_queue.push(std::move(job), m_rel, copy);
        }
        m_rel.resize(mark);
    }

    void enterFolder(int parentFd, const char* name, const CopyFolders& parent) {
        // Parents before their contents: the copy's folder is made first, so empty folders are
        // reproduced. A failure is not reported by itself; each file below reports it.
        CopyFolders into{-1, parent.dstError};
        UniqueFd child;
        if (parent.dst >= 0) {
            child.reset(openOrMakeFolder(parent.dst, name, LinkInWay::replace, into.dstError,
                                         &into.dstFresh));
            into.dst = child.get();
        }
        int src = openAt(parentFd, name, folderOpenFlags);
        if (src < 0) {
            const int error = errno;
            m_queue.drain(false);
            addFileIssue(m_tally, error, FileOp::openFolder, where().source(), where().shown());
            return;
        }
        UniqueFd previous;
        if (parent.previous >= 0)
            previous.reset(openAt(parent.previous, name, folderOpenFlags));
        into.previous = previous.get();
        walk(src, into);
    }

    Tally& m_tally;
    Where m_root;
    CopyCleanup m_cleanup;
    CopyQueue m_queue;
    std::string m_rel;
    std::vector<std::unique_ptr<Level>> m_levels;
    std::size_t m_depth = 0;
    Ancestors m_ancestors;
    bool m_folderModesRefused = false;
};

class Counter {
public:
    Counter(Totals& totals, StatWorker& worker, MetadataLog* log, ReadAhead* ahead)
        : m_totals(totals), m_worker(worker), m_log(log), m_readAhead(ahead) {}

    // Whether the counting stopped for the read-ahead to do it.
    bool handedOver() const { return m_handedOver; }

    void walk(int srcFd) {
        DirStream listing{UniqueFd{srcFd}};
        struct stat st {};
        if (!listing.valid() || !m_ancestors.enter(listing.fd(), st))
            return;
        walkListing(listing);
        m_ancestors.leave();
    }

private:
    void walkListing(DirStream& listing) {
        if (m_levels.size() <= m_depth)
            m_levels.push_back(std::make_unique<Batch>());
        Batch& batch = *m_levels[m_depth];
        ++m_depth;
        const std::uint32_t folder = m_log != nullptr ? m_log->enterRecordedFolder() : 0;
        int readError = 0;
        bool more = true;
        while (more) {
            more = batch.fill(listing, readError);
            batch.prepare(false);
            const std::size_t n = batch.count();
            if (timedStats(m_worker, m_readAhead,
                           {{listing.fd(), batch.sourceNames.data(), batch.source.data(), n}}, n)) {
                m_handedOver = true; // the read-ahead counts faster
                break;
            }
            if (m_log != nullptr) {
                for (std::size_t i = 0; i < n; ++i) {
                    if (batch.sourceNames[i] != nullptr)
                        m_log->record(batch.inodes[i], MetadataLog::key(batch.name(i), folder),
                                      batch.source[i]);
                }
            }
            for (std::size_t i = 0; i < n; ++i) {
                if (batch.types[i] != DT_DIR) {
                    const StatSlot& slot = batch.source[i];
                    if (slot.error != 0)
                        continue;
                    if (S_ISREG(slot.st.st_mode)) {
                        ++m_totals.files;
                        m_totals.bytes += slot.st.st_size;
                        continue;
                    }
                    if (!S_ISDIR(slot.st.st_mode))
                        continue;
                }
                int child = openAt(listing.fd(), batch.name(i), folderOpenFlags);
                if (child >= 0)
                    walk(child);
                if (m_handedOver)
                    break;
            }
            if (m_handedOver)
                break;
        }
        --m_depth;
    }

    Totals& m_totals;
    StatWorker& m_worker;
    MetadataLog* m_log;
    ReadAhead* m_readAhead;
    bool m_handedOver = false;
    std::vector<std::unique_ptr<Batch>> m_levels;
    std::size_t m_depth = 0;
    Ancestors m_ancestors;
};

} // namespace

void sweepPartials(int folder, dev_t device, pid_t self) {
    struct Sweeper {
        dev_t device;
        pid_t self;
        void walk(int dir, std::size_t depth) {
            DirStream listing{UniqueFd{openAt(dir, ".", folderOpenFlags)}};
            int error = 0;
            while (const dirent64* entry = listing.next(error)) {
                const char* name = entry->d_name;
                if (isPartialName(name)) {
                    if (!partialOfLiveRun(name, self))
                        removeEntry(listing.fd(), name, device);
                    continue;
                }
                if ((entry->d_type != DT_DIR && entry->d_type != DT_UNKNOWN) ||
                    depth >= Ancestors::maxDepth)
                    continue;
                UniqueFd child{openAt(listing.fd(), name, folderOpenFlags)};
                struct stat st {};
                if (child.valid() && sysCalls().fstat(child.get(), &st) == 0 && st.st_dev == device)
                    walk(child.get(), depth + 1);
            }
        }
    } sweeper{device, self};
    sweeper.walk(folder, 0);
}

std::string foldCase(std::string_view name) {
    // Upper case, as FAT and exFAT compare names; beyond ASCII through the C library's UTF-8
    // tables, which a fixed locale makes independent of the user's.
    static const locale_t utf8 = ::newlocale(LC_CTYPE_MASK, "C.UTF-8", nullptr);
    std::string out;
    out.reserve(name.size());
    std::mbstate_t state{};
    std::size_t i = 0;
    while (i < name.size()) {
        const auto c = static_cast<unsigned char>(name[i]);
        if (c < 0x80 || utf8 == nullptr) {
            out.push_back(static_cast<char>(c >= 'a' && c <= 'z' ? c - 'a' + 'A' : c));
            ++i;
            continue;
        }
        wchar_t wide = 0;
        const locale_t previous = ::uselocale(utf8);
        const std::size_t used = std::mbrtowc(&wide, name.data() + i, name.size() - i, &state);
        if (used == 0 || used > name.size() - i) {
            ::uselocale(previous);
            state = {};
            out.push_back(static_cast<char>(c)); // not UTF-8: compared as it is
            ++i;
            continue;
        }
        char encoded[MB_LEN_MAX];
        std::mbstate_t outState{};
        const std::size_t made = std::wcrtomb(
            encoded, static_cast<wchar_t>(::towupper_l(static_cast<wint_t>(wide), utf8)),
            &outState);
        ::uselocale(previous);
        if (made == static_cast<std::size_t>(-1))
            out.append(name.data() + i, used);
        else
            out.append(encoded, made);
        i += used;
    }
    return out;
}

bool nameStorable(std::string_view name) {
    for (const char c : name) {
        if (static_cast<unsigned char>(c) < 0x20 || std::strchr("\"*:<>?\\|", c) != nullptr)
            return false;
    }
    return true;
}

void copyContents(Tally& tally, const Where& root, int source, const CopyFolders& to,
                  const CopyCleanup& cleanup) {
    // A description of its own: the listing must start at the beginning whoever read before.
    int own = openAt(source, ".", folderOpenFlags);
    if (own < 0) {
        addFileIssue(tally, errno, FileOp::listFolder, root.source(), root.shown());
        return;
    }
    Copier copier{tally, root, cleanup};
    copier.walk(own, to);
}

bool countContents(int source, Totals& totals, StatWorker& worker, MetadataLog* log,
                   ReadAhead* ahead) {
    int own = openAt(source, ".", folderOpenFlags);
    if (own < 0)
        return true;
    Counter counter{totals, worker, log, ahead};
    counter.walk(own);
    return !counter.handedOver();
}

} // namespace keelbox::detail
