// Whole runs on real temp trees.

#include "EngineTestSupport.h"

#include <sys/file.h>

namespace keelbox::test {
namespace {

using namespace std::string_literals;
using BackupRun = EngineTest;

// Without progress reports the walk reads everything itself: Prune.WhatLeftTheDriveGoes… runs
// both ways. Each file is copied, counted and reported once however the sources repeat themselves.
TEST_F(BackupRun, FirstRunCopiesEverythingAndTheSecondNothing) {
    writeFile(drive / "a.txt", "alpha");
    writeFile(drive / "Docs/b.txt", "bravo!", 0640);
    writeFile(drive / "Docs/Deep/er/c.bin", std::string(300000, 'c'), 0755);
    fs::create_directories(drive / "Empty/Inner");
    setModified(drive / "Docs/b.txt", 1700000001, 123456789);
    const DriveConfig config = plain({"Docs/b.txt", "a.txt", "", "./Docs/", "Docs/Deep"});
    BackupResult first = run(config);
    EXPECT_EQ(std::tuple(first.errors.size(), first.filesCopied, first.bytesCopied,
                         reports.back().filesTotal, reports.back().filesDone),
              std::tuple(std::size_t{0}, Int{3}, Int{5 + 6 + 300000}, Int{3}, Int{3}));
    EXPECT_EQ(listTree(copy), (std::vector<std::string>{"Docs/", "Docs/Deep/", "Docs/Deep/er/",
                                                        "Docs/Deep/er/c.bin", "Docs/b.txt",
                                                        "Empty/", "Empty/Inner/", "a.txt"}));
    // Times to the nanosecond.
    EXPECT_EQ(
        std::pair(readFile(copy / "Docs/Deep/er/c.bin"), modifiedOf(copy / "Docs/b.txt").tv_nsec),
        std::pair(std::string(300000, 'c'), 123456789L));
    BackupResult second = run(config);
    EXPECT_EQ(std::tuple(second.errors.size(), second.filesCopied, second.filesSkipped,
                         partialsIn(copy).size()),
              std::tuple(std::size_t{0}, Int{0}, Int{3}, std::size_t{0}));
}

// Unchanged: equal sizes and a source at most 2 s newer (FAT's steps), or a newer copy.
TEST_F(BackupRun, SkipRuleOnRealFiles) {
    // name, source content and time (s, ns), copy content and time, whether it is copied
    using Row =
        std::tuple<const char*, std::string, std::int64_t, long, std::string, std::int64_t, bool>;
    const Row rows[] = {{"exactly 2 s newer", "new", 1002, 0, "old", 1000, false},
                        {"2.5 s newer", "new", 1002, 500000000, "old", 1000, true},
                        {"copy newer", "abc", 900, 0, "xyz", 1000, false},
                        {"copy larger but newer", "short", 1000, 0, "much longer", 5000, true}};
    markOwned(copy);
    for (const auto& [name, source, sourceTime, sourceNanos, old, copyTime, copied] : rows) {
        writeFile(drive / name, source);
        setModified(drive / name, sourceTime, sourceNanos);
        writeFile(copy / name, old);
        setModified(copy / name, copyTime);
    }
    BackupResult result = run(plain());
    EXPECT_EQ(std::tuple(result.errors.size(), result.filesCopied, result.filesSkipped),
              std::tuple(std::size_t{0}, Int{2}, Int{2}));
    for (const auto& [name, source, sourceTime, sourceNanos, old, copyTime, copied] : rows)
        EXPECT_EQ(readFile(copy / name), copied ? source : old) << name;
}

// Special bits dropped, never more open than the umask; a private folder stays private.
TEST_F(BackupRun, PermissionsTravelMaskedByTheUmask) {
    // source mode, a folder or a file, the copy's mode under umask 022
    const std::tuple<mode_t, bool, mode_t> rows[] = {{0644, false, 0644}, {06711, false, 0711},
                                                     {0666, false, 0644}, {0700, true, 0700},
                                                     {01777, true, 0755}, {0555, true, 0755}};
    const auto nameOf = [](mode_t mode, bool folder) {
        return "m" + std::to_string(mode) + (folder ? "d" : "");
    };
    for (const auto& [source, folder, copied] : rows) {
        const fs::path item = drive / nameOf(source, folder);
        writeFile(folder ? item / "inside" : item, "x");
        ASSERT_EQ(::chmod(item.c_str(), source), 0);
    }
    const mode_t saved = ::umask(022);
    EXPECT_TRUE(run(plain()).errors.empty());
    for (const auto& [source, folder, copied] : rows) {
        EXPECT_EQ(modeOf(copy / nameOf(source, folder)), copied) << source;
        ::chmod((drive / nameOf(source, folder)).c_str(), 0755);
    }
    // A change of permission bits alone reaches the unchanged copy by the same rule, and a copy
    // left open to all by an earlier release is closed up. (Sources are at 0755 now.)
    const std::tuple<const char*, mode_t, mode_t, mode_t> changes[] = {
        // file, its new mode on the drive, the copy's mode made by hand, the copy's mode after
        {"m420", 0640, 0600, 0640},
        {"m3529", 04750, 0700, 0750},
        {"m438", 0644, 0666, 0644}};
    for (const auto& [name, now, copyMode, after] : changes) {
        ASSERT_EQ(::chmod((drive / name).c_str(), now), 0);
        ASSERT_EQ(::chmod((copy / name).c_str(), copyMode), 0);
    }
    EXPECT_EQ(run(plain()).filesSkipped, 6);
    ::umask(saved);
    for (const auto& [name, now, copyMode, after] : changes)
        EXPECT_EQ(modeOf(copy / name), after) << name;
}

// A folder where the drive has a file is replaced; a file where it has a folder stays.
TEST_F(BackupRun, WhatStandsInTheWayOfACopy) {
    markOwned(copy);
    writeFile(drive / "thing", "file now");
    writeFile(copy / "thing/inner/deep.txt", "was a folder");
    writeFile(drive / "Folder/a.txt", "a");
    writeFile(drive / "Folder/sub/b.txt", "b");
    writeFile(copy / "Folder", "a file");
    BackupResult result = run(plain());
    EXPECT_EQ(std::tuple(readFile(copy / "thing"), readFile(copy / "Folder"), issuePaths(result),
                         result.filesCopied, reports.back().filesDone),
              std::tuple("file now"s, "a file"s,
                         std::vector<std::string>{"Folder/a.txt", "Folder/sub/b.txt"}, Int{1},
                         Int{3}));
}

TEST_F(BackupRun, DatedModeWritesIntoTheLocalDayFolder) {
    const std::string savedTz = std::getenv("TZ") ? std::getenv("TZ") : "";
    writeFile(drive / "x.txt", "x");
    env.clock = [] { return Date{std::chrono::seconds{1796427000}}; }; // 2026-12-04T23:30:00Z
    const DriveConfig config = makeConfig(dest, "STICK", {""}, BackupMode::dated);
    for (const auto& [tz, day] : {std::pair{"UTC0", "2026-12-04"}, {"XST-14", "2026-12-05"}}) {
        ::setenv("TZ", tz, 1);
        ::tzset();
        EXPECT_EQ(run(config).destinationRoot, copy / day);
        EXPECT_EQ(readFile(copy / day / "x.txt"), "x");
        EXPECT_EQ(run(config).filesSkipped, 1); // the same day finds it unchanged
    }
    // Back west: today sorts before the newest day folder, which no run may change the past of.
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    writeFile(drive / "x.txt", "changed");
    const BackupResult back = run(config);
    ASSERT_EQ(back.errors.size(), 1u);
    EXPECT_EQ(std::tuple(back.errors[0].reason, back.errors[0].systemMessage,
                         readFile(copy / "2026-12-04" / "x.txt")),
              std::tuple(english("engine.dayBeforeNewest"), "2026-12-04 < 2026-12-05"s, "x"s));
    savedTz.empty() ? ::unsetenv("TZ") : ::setenv("TZ", savedTz.c_str(), 1);
    ::tzset();
}

// Only whole names count, a listed file is copied whatever its name, links are not followed.
TEST_F(BackupRun, NeverCopiedNamesAreNeitherCountedNorCopied) {
    for (const char* name :
         {".keelbox.json", "Sub/.DS_Store", ".Trashes/501/old.txt", ".fseventsd/x",
          "Sub/System Volume Information/IndexerVolumeGuid", "$RECYCLE.BIN/x"})
        writeFile(drive / name, "never");
    for (const char* name : {"keep.txt", "Sub/.ds_store", "a.DS_Store", ".DS_Store2/x"})
        writeFile(drive / name, "k");
    writeFile(drive / "Listed/.DS_Store", "listed");
    writeFile(tmp / "elsewhere/secret.txt", "secret");
    fs::create_symlink(drive / "keep.txt", drive / "Sub/link-to-file");
    fs::create_directory_symlink(tmp / "elsewhere", drive / "Sub/link-to-folder");
    fs::create_symlink("missing", drive / "Sub/dangling");

    BackupResult result = run(plain({"", "Listed/.DS_Store"}));
    EXPECT_EQ(std::tuple(result.errors.size(), result.filesCopied, reports.back().filesTotal),
              std::tuple(std::size_t{0}, Int{5}, Int{5}));
    EXPECT_EQ(listTree(copy), (std::vector<std::string>{".DS_Store2/", ".DS_Store2/x", "Listed/",
                                                        "Listed/.DS_Store", "Sub/", "Sub/.ds_store",
                                                        "a.DS_Store", "keep.txt"}));
}

// A drive gone before the run starts: one issue for the whole drive. (A missing source among others
// is in RealFileSystem.FilesVanishingDuringTheRunEndCleanly and the binary's issue listing.)
TEST_F(BackupRun, AMissingDriveGivesOneIssue) {
    EXPECT_EQ(onlyIssue(run(plain(), tmp / "no-such-drive")),
              english("cfg.wholeName") + " — " + english("engine.srcMissing"));
}

// A drive folder another process is writing: one issue, nothing copied. (One that cannot be made
// is RealFileSystem.AReadOnlyDestinationReportsEveryFileAndKeepsTheOldCopy.)
TEST_F(BackupRun, AFolderThatIsBusyEndsTheRunWithOneIssue) {
    writeFile(drive / "a.txt", "a");
    fs::create_directories(copy);
    const int other = ::open(copy.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    EXPECT_EQ(onlyIssue(run(plain())), copy.string() + " — " + english("engine.folderBusy"));
    EXPECT_TRUE(listTree(copy).empty());
    ::close(other);
    EXPECT_TRUE(run(plain()).errors.empty());
    EXPECT_EQ(readFile(copy / "a.txt"), "a");
}

// About one report per hundredth of the files, then the final snapshot.
TEST_F(BackupRun, ProgressReportsAboutOncePerHundredthPlusTheFinalSnapshot) {
    // files, the first report's count, reports before the final one
    for (const auto& [files, firstReportAt, reportsBeforeFinal] :
         {std::tuple{1, 1, 1}, {250, 1, 125}, {1000, 9, 100}}) {
        removeDriveAndCopies();
        for (int i = 0; i < files; ++i)
            writeFile(drive / ("f" + std::to_string(i)), "12345");
        EXPECT_EQ(run(plain()).filesCopied, files);
        ASSERT_EQ(reports.size(), static_cast<std::size_t>(reportsBeforeFinal + 1));
        EXPECT_EQ(std::tuple(reports.front().filesDone, reports.front().currentFile.empty(),
                             reports.back()),
                  std::tuple(firstReportAt, false,
                             BackupProgress{files, files, 5 * files, 5 * files, ""}));
        for (std::size_t i = 1; i < reports.size(); ++i)
            EXPECT_GE(reports[i].filesDone, reports[i - 1].filesDone);
    }
}

} // namespace
} // namespace keelbox::test
