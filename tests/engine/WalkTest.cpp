// The one walk that pre-counts, copies and prunes, against a drive that changes or breaks off.

#include "EngineTestSupport.h"

#include "core/PosixFile.h"
#include "engine/MetadataLog.h"
#include "engine/ReadAhead.h"
#include "engine/StatWorker.h"
#include "engine/Tally.h"

namespace keelbox::test {
namespace {

using Walk = EngineTest;

// Changed after the pre-count of a first copy: a file replaced (new inode), added, deleted, a
// folder now a file.
TEST_F(Walk, ADriveChangedAfterThePreCountIsCopiedAsItIsThen) {
    for (const std::string folder : {"a", "b"}) {
        for (int i = 0; i < 30; ++i)
            writeFile(drive / folder / (folder + "-f" + std::to_string(i)), "old");
        writeFile(drive / folder / "sub" / (folder + "-inner"), "x");
    }

    std::string changed;
    auto changeTheDrive = [&](const BackupProgress& p) {
        if (!changed.empty() || p.filesDone == 0)
            return;
        changed = p.currentFile.starts_with("a-") ? "b" : "a";
        const fs::path folder = drive / changed;
        writeFile(folder / "new", "replaced, longer");
        fs::rename(folder / "new", folder / (changed + "-f3"));
        writeFile(folder / "added", "new");
        fs::remove(folder / (changed + "-f7"));
        fs::remove_all(folder / "sub");
        writeFile(folder / "sub", "now a file");
    };
    const BackupResult result = run(mirror(), {}, changeTheDrive);
    ASSERT_FALSE(changed.empty());
    EXPECT_TRUE(result.errors.empty()) << result.errors.front().reason;
    EXPECT_EQ(readFile(copy / changed / (changed + "-f3")), "replaced, longer");
    EXPECT_EQ(listTree(drive), listTree(copy)); // added, deleted, a folder now a file
}

// Folders holding a ".DS_Store" (never copied, never pruned) fail the calls a row names.
struct Unreadable {
    int listError = 0; // getdents
    int openError = 0; // openat, and fstatat of their entries
};
Unreadable unreadable;

// Sets errno to `error` when it is set and `dir` is marked.
bool fails(int dir, int error) {
    return error != 0 && ::faccessat(dir, ".DS_Store", F_OK, AT_SYMLINK_NOFOLLOW) == 0 &&
           (errno = error, true);
}

SysCalls unreadableCalls() {
    SysCalls calls = realSysCalls();
    calls.getdents = [](int fd, void* buffer, size_t size) -> ssize_t {
        return fails(fd, unreadable.listError) ? -1 : realSysCalls().getdents(fd, buffer, size);
    };
    calls.openat = [](int dir, const char* name, int flags, mode_t mode) -> int {
        return fails(dir, unreadable.openError) ? -1
                                                : realSysCalls().openat(dir, name, flags, mode);
    };
    calls.fstatat = [](int dir, const char* name, struct stat* st, int flags) -> int {
        return fails(dir, unreadable.openError) ? -1 : realSysCalls().fstatat(dir, name, st, flags);
    };
    return calls;
}

// A drive folder that cannot be listed or opened (EIO from a failing stick, ENOTCONN from a pulled
// FUSE drive) costs its copy nothing, not even what the drive no longer has; readable folders are
// mirrored as usual. A copy folder that cannot be listed is passed over without an issue.
TEST_F(Walk, UnreadableFoldersAreReportedAndNotPruned) {
    // the fault, the folders it hits, the issues' paths, what the copy keeps of what went
    using Row = std::tuple<Unreadable, std::vector<fs::path>, std::vector<std::string>,
                           std::vector<std::string>>;
    const Row rows[] = {
        {{EIO, 0}, {drive / "Docs"}, {"Docs"}, {"Docs/gone.txt"}},
        {{0, ENOTCONN}, {drive, drive / "Docs"}, {""}, {"gone.txt", "Docs/gone.txt"}},
        {{EIO, 0}, {copy}, {}, {"gone.txt"}}};
    for (const auto& [fault, marked, issues, kept] : rows) {
        removeDriveAndCopies();
        writeFile(drive / "top.txt", "t");
        writeFile(drive / "Docs/a.txt", "a");
        ASSERT_TRUE(run(mirror()).errors.empty());
        writeFile(copy / "gone.txt", "deleted on the drive");
        writeFile(copy / "Docs/gone.txt", "deleted on the drive");
        for (const fs::path& folder : marked)
            writeFile(folder / ".DS_Store", "");
        unreadable = fault;
        const BackupResult result = withSysCalls(unreadableCalls(), [&] { return run(mirror()); });
        unreadable = {};
        std::vector<std::string> paths = issuePaths(result);
        std::replace(paths.begin(), paths.end(), english("cfg.wholeName"), std::string());
        EXPECT_EQ(paths, issues);
        for (const std::string& name : kept)
            EXPECT_TRUE(fs::exists(copy / name)) << name;
        EXPECT_EQ(result.filesDeleted, 2 - static_cast<Int>(kept.size()));
    }
}

// The stats of one folder are shared between two threads a few names at a time: every slot gets
// its own entry's values, whatever the lengths of the two lists, and names left out stay unread.
TEST_F(Walk, SharedStatsLandInTheirOwnSlots) {
    std::vector<std::string> names;
    for (int i = 0; i < 120; ++i) {
        names.push_back("f" + std::to_string(i));
        writeFile(drive / names.back(), std::string(i, 'x'));
    }
    UniqueFd dir{::open(drive.c_str(), O_RDONLY | O_DIRECTORY)};
    ASSERT_TRUE(dir);
    detail::StatWorker worker;
    // lengths of the two lists: under the hand-over size, at chunk edges, one empty, uneven
    const std::pair<std::size_t, std::size_t> rows[] = {{3, 4},  {0, 17},  {8, 8},  {16, 0},
                                                        {9, 31}, {100, 3}, {57, 63}};
    for (const auto& [first, second] : rows) {
        std::vector<const char*> wanted;
        for (std::size_t i = 0; i < first + second; ++i)
            wanted.push_back(i % 7 == 3 ? nullptr : names[i].c_str());
        std::vector<detail::StatSlot> slots(wanted.size());
        worker.statAll({{dir.get(), wanted.data(), slots.data(), first},
                        {dir.get(), wanted.data() + first, slots.data() + first, second}});
        // A name left out is unread (-1), every other slot holds its own file's size.
        for (std::size_t i = 0; i < wanted.size(); ++i)
            EXPECT_EQ(slots[i].error == 0 ? slots[i].st.st_size : slots[i].error,
                      wanted[i] ? static_cast<off_t>(i) : -1)
                << first << "+" << second << " #" << i;
    }
}

// What the read-ahead's threads asked for: every path they opened or read the values of.
struct ReadAheadRecord {
    std::mutex mutex;
    std::set<std::string> paths;
    int openError = 0; // what every open fails with, when set
};
ReadAheadRecord readAheadRecord;

// Records the path of the open `dir`, or of `name` below it.
void recordPath(int dir, const char* name = nullptr) {
    char folder[PATH_MAX];
    const ssize_t n =
        ::readlink(("/proc/self/fd/" + std::to_string(dir)).c_str(), folder, sizeof folder - 1);
    fs::path path = std::string(folder, n > 0 ? std::size_t(n) : 0);
    if (name != nullptr)
        path /= name;
    std::lock_guard lock{readAheadRecord.mutex};
    readAheadRecord.paths.insert(path.lexically_normal().string());
}

SysCalls recordingCalls() {
    SysCalls calls = realSysCalls();
    calls.openBeneath = [](int dir, const char* path, int flags) -> int {
        if (readAheadRecord.openError != 0)
            return errno = readAheadRecord.openError, -1;
        const int fd = realSysCalls().openBeneath(dir, path, flags);
        if (fd >= 0)
            recordPath(fd);
        return fd;
    };
    calls.fstatat = [](int dir, const char* name, struct stat* st, int flags) -> int {
        recordPath(dir, name);
        return realSysCalls().fstatat(dir, name, st, flags);
    };
    return calls;
}

// Ahead of a walk on a cold cache, the read-ahead reads what the walk will: every entry of the
// drive's tree and of the same folders in the copy and the earlier day, and counts the drive's
// files as the pre-count does. Never what is below a link, a never-copied name or another file
// system, and nothing at all without openat2.
TEST_F(Walk, TheReadAheadReadsTheWalksTreesAndNothingElse) {
    const fs::path outside = tmp / "outside";
    writeFile(outside / "secret", "x");
    writeFile(drive / "a" / "b" / "deep", "1");
    writeFile(drive / "top", "2");
    writeFile(drive / "System Volume Information" / "hidden", "3");
    fs::create_directory_symlink(outside, drive / "a" / "out");
    fs::create_directory_symlink("../..", drive / "a" / "b" / "up");
    writeFile(copy / "a" / "b" / "deep", "1");
    writeFile(copy / "gone", "4");
    const fs::path previous = tmp / "previous";
    writeFile(previous / "top", "2");
    fs::create_directory_symlink(outside, previous / "a");
    const auto openFolder = [](const fs::path& path) {
        return UniqueFd{::open(path.c_str(), O_RDONLY | O_DIRECTORY)};
    };
    const UniqueFd d = openFolder(drive), c = openFolder(copy), p = openFolder(previous);

    // The count waited for, and the one in the background, which on a warm cache reads the
    // drive alone.
    using Row = std::pair<int, bool>;
    for (const auto& [openError, background] : {Row{0, false}, Row{ENOSYS, false}, Row{0, true}}) {
        SCOPED_TRACE(openError);
        readAheadRecord.paths.clear();
        readAheadRecord.openError = openError;
        const std::optional<Totals> counted = withSysCalls(recordingCalls(), [&] {
            detail::ReadAhead readAhead;
            readAhead.add(d.get(), c.get(), p.get());
            if (!background)
                return readAhead.count();
            readAhead.countInBackground();
            while (readAhead.countedInBackground() == detail::ReadAhead::Counted::pending)
                std::this_thread::sleep_for(std::chrono::milliseconds{1});
            return std::optional(readAhead.totals());
        });
        // Counted as the pre-count counts: "deep" and "top" (the hidden file is never copied).
        using Count = std::pair<Int, Int64>;
        const Count none{-1, -1};
        EXPECT_EQ(counted ? Count(counted->files, counted->bytes) : none,
                  openError == 0 ? Count(2, 2) : none);
        // The drive's folders lead; the copy's and the earlier day's folders of the same path
        // are read as they are (a link there is read as a link, never entered).
        std::set<std::string> wanted;
        const auto want = [&](const fs::path& root, std::initializer_list<const char*> paths) {
            for (const std::string path : paths)
                wanted.insert(path.empty() ? root.string() : (root / path).string());
        };
        if (openError == 0)
            want(drive, {"", "a", "a/b", "a/b/deep", "top"});
        if (openError == 0 && !background) {
            want(copy, {"", "a", "a/b", "a/b/deep", "gone"});
            want(previous, {"", "a", "top"});
        }
        EXPECT_EQ(readAheadRecord.paths, wanted);
    }
}

// Over a copy that is there, the walk starts at once and its totals come while it runs: from the
// read-ahead, or without openat2 from a count of the walk's own. No snapshot comes without them.
// The first copy, where every copy reads the disk too, runs on the most copying threads.
TEST_F(Walk, OverAnExistingCopyTheTotalsComeWhileTheWalkRuns) {
    for (int i = 0; i < 300; ++i)
        writeFile(drive / std::to_string(i % 30) / std::to_string(i), std::to_string(i));
    // Reads that wait for a disk: slow, and every look at the blocks read finds more.
    SysCalls calls = recordingCalls();
    calls.fstatat = [](int dir, const char* name, struct stat* st, int flags) {
        std::this_thread::sleep_for(std::chrono::milliseconds{1});
        return realSysCalls().fstatat(dir, name, st, flags);
    };
    calls.getrusage = [](int, rusage* usage) {
        static std::atomic<long> blocks{0};
        *usage = rusage{};
        usage->ru_inblock = ++blocks;
        return 0;
    };
    const BackupResult first = withSysCalls(calls, [&] { return run(mirror()); });
    std::vector<std::string> wanted, copied;
    for (int i = 0; i < 300; ++i) {
        wanted.push_back(std::to_string(i));
        copied.push_back(readFile(copy / std::to_string(i % 30) / wanted.back()));
    }
    ASSERT_EQ(std::tuple(first.filesCopied, first.errors.size(), copied),
              std::tuple(Int{300}, std::size_t{0}, wanted));
    writeFile(drive / "0" / "new", "y");
    for (const int openError : {0, ENOSYS}) {
        SCOPED_TRACE(openError);
        readAheadRecord.openError = openError;
        std::set<std::pair<Int, Int64>> totals; // 301 files of 790 digits and a "y"
        const BackupResult result = withSysCalls(calls, [&] { return run(mirror()); });
        for (const BackupProgress& p : reports)
            totals.insert({p.filesTotal, p.bytesTotal});
        EXPECT_EQ(std::tuple(result.filesCopied + result.filesSkipped, reports.size() > 1, totals),
                  std::tuple(Int{301}, true, std::set<std::pair<Int, Int64>>{{301, 791}}));
    }
    readAheadRecord.openError = 0;
}

// Where the walk and the count from the far end of the trees stand when they first meet: each
// stops at its own n-th opening of a folder until the other has reached its own (0: never).
struct Rendezvous {
    std::thread::id walker;
    int walkAt = 0;
    int countAt = 0;
    std::atomic<int> walkOpens{0};
    std::atomic<int> countOpens{0};
};
Rendezvous rendezvous;

SysCalls rendezvousCalls() {
    SysCalls calls = realSysCalls();
    calls.openat = [](int dir, const char* name, int flags, mode_t mode) {
        if ((flags & O_DIRECTORY) != 0) {
            const bool walking = std::this_thread::get_id() == rendezvous.walker;
            const int n = ++(walking ? rendezvous.walkOpens : rendezvous.countOpens);
            const int at = walking ? rendezvous.walkAt : rendezvous.countAt;
            const int otherAt = walking ? rendezvous.countAt : rendezvous.walkAt;
            const std::atomic<int>& other = walking ? rendezvous.countOpens : rendezvous.walkOpens;
            const auto giveUp = std::chrono::steady_clock::now() + std::chrono::seconds{2};
            while (n == at && other.load() < otherAt && std::chrono::steady_clock::now() < giveUp)
                std::this_thread::sleep_for(std::chrono::microseconds{100});
        }
        return realSysCalls().openat(dir, name, flags, mode);
    };
    return calls;
}

// Over a copy that is there, on a warm cache, the totals are counted from the far end of the
// drive's trees towards the walk: whoever reaches a folder first counts its files, and the count
// ends where the two meet. Wherever that is, the totals are the drive's, with nested folders,
// folders between files, empty ones, a folder new since the last run, several sources and a file
// named as a source; and the count never reads the folders the walk was through already.
TEST_F(Walk, CountedFromTheFarEndTheTotalsAreTheDrivesWhereverTheCountMeetsTheWalk) {
    Int files = 0;
    Int64 bytes = 0;
    const auto add = [&](const fs::path& file, std::size_t size) {
        writeFile(file, std::string(size, 'x'));
        ++files;
        bytes += static_cast<Int64>(size);
    };
    for (int i = 0; i < 70; ++i) // the totals are looked for every 64 files
        add(drive / "first" / ("f" + std::to_string(i)), 1);
    int folders = 0;
    for (int s = 0; s < 6; ++s) {
        const fs::path sub = drive / "a" / ("s" + std::to_string(s));
        for (int d = 0; d < 4; ++d) {
            const fs::path inner = sub / ("d" + std::to_string(d));
            for (int i = 0; i < 5; ++i)
                add(inner / ("g" + std::to_string(i)), static_cast<std::size_t>(d + i));
            fs::create_directories(inner / "empty" / "emptier");
            folders += 3;
        }
        add(sub / "between", 7);
        ++folders;
    }
    add(drive / "b" / "only" / "folders" / "here" / "one", 3);
    fs::create_directory_symlink("..", drive / "a" / "up");
    writeFile(drive / "a" / "System Volume Information" / "never", "copied");
    add(drive / "one.txt", 9);
    const DriveConfig config = mirror({"first", "a", "b", "one.txt"});
    withProgress = false;
    ASSERT_EQ(run(config).filesCopied, files);
    withProgress = true;
    for (const char* name : {"n1", "n2", "n3"}) // a folder the copy does not have yet
        add(drive / "first" / "new" / name, 11);
    folders += 1 + 1 + 1 + 1 + 4; // + first, its new folder, a, b and "b/only/folders/here"

    const auto saved = Tally::countAfter;
    Tally::countAfter = std::chrono::milliseconds{0};
    rendezvous.walker = std::this_thread::get_id();
    // The walk's n-th and the count's n-th folder opening, as fractions of what there is.
    const std::pair<double, double> rows[] = {{0, 0},     {0.2, 0.05}, {0.5, 0.1},
                                              {0.8, 0.3}, {0.5, 0.6},  {0.95, 0.05}};
    int walkOpensInAll = 0;
    for (const auto& [walkAt, countAt] : rows) {
        SCOPED_TRACE(testing::Message() << walkAt << " " << countAt);
        rendezvous.walkAt = static_cast<int>(walkAt * walkOpensInAll);
        rendezvous.countAt = static_cast<int>(countAt * folders);
        rendezvous.walkOpens = 0;
        rendezvous.countOpens = 0;
        const BackupResult result = withSysCalls(rendezvousCalls(), [&] { return run(config); });
        if (walkOpensInAll == 0)
            walkOpensInAll = rendezvous.walkOpens;
        std::set<std::pair<Int, Int64>> totals;
        for (const BackupProgress& p : reports)
            totals.insert({p.filesTotal, p.bytesTotal});
        EXPECT_EQ(
            std::tuple(result.filesCopied + result.filesSkipped, result.errors.size(), totals),
            std::tuple(files, std::size_t{0}, std::set{std::pair{files, bytes}}));
        EXPECT_GT(rendezvous.countOpens.load(), 0);
        if (walkAt > 0) {
            EXPECT_LT(rendezvous.countOpens.load(), folders);
        }
    }
    Tally::countAfter = saved;
}

// The pre-count's log hands each record back once, in order, across its blocks; what did not fit
// and everything after the first entry that is not the recorded one is read again by the walk.
TEST(MetadataLogTest, RecordsAreTakenInOrderUntilTheFirstMismatchOrTheBound) {
    using Log = detail::MetadataLog;
    // records made, the entry that differs from its record (or none), the records taken
    const std::tuple<std::size_t, std::size_t, std::size_t> rows[] = {
        {3, SIZE_MAX, 3},
        {Log::blockSize + 1, SIZE_MAX, Log::blockSize + 1},
        {2 * Log::blockSize, Log::blockSize, Log::blockSize},
        {Log::capacity + 10, SIZE_MAX, Log::capacity}};
    for (const auto& [made, differs, taken] : rows) {
        SCOPED_TRACE(made);
        Log log;
        detail::StatSlot slot{0, {}};
        slot.st.st_mode = S_IFREG;
        for (std::size_t i = 0; i < made; ++i) {
            slot.st.st_size = static_cast<off_t>(i);
            log.record(i + 1, static_cast<std::uint32_t>(i), slot);
        }
        log.seal();
        std::size_t count = 0;
        for (std::size_t i = 0; i < made; ++i) {
            detail::StatSlot out;
            const ino_t inode = i == differs ? 0 : i + 1;
            if (!log.take(inode, static_cast<std::uint32_t>(i), out))
                break;
            ASSERT_EQ(out.st.st_size, static_cast<off_t>(i));
            ++count;
        }
        EXPECT_EQ(count, taken);
        EXPECT_FALSE(log.active());
    }
}

} // namespace
} // namespace keelbox::test
