// Whole runs on real temp trees: layout, the skip rule, what travels with a copy, never-copied
// names, day folders, progress, missing sources and stop requests.

#include "EngineTestSupport.h"

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <atomic>
#include <cstdlib>
#include <unistd.h>

namespace keelbox::test {
namespace {

using BackupRun = EngineTest;
using BackupRunBothWays = EngineTestBothWays;
KEELBOX_BOTH_WAYS(BackupRunBothWays);

TEST_P(BackupRunBothWays, FirstRunCopiesEverythingAndTheSecondNothing) {
    BackupResult none = run(makeConfig(dest, "STICK", {}));
    EXPECT_TRUE(none.errors.empty());
    EXPECT_EQ(none.destinationRoot, copy);
    EXPECT_TRUE(fs::is_directory(copy) && listTree(copy).empty());

    writeFile(drive / "a.txt", "alpha");
    writeFile(drive / "Docs/b.txt", "bravo!", 0640);
    writeFile(drive / "Docs/Deep/er/c.bin", std::string(300000, 'c'), 0755);
    fs::create_directories(drive / "Empty/Inner");
    setModified(drive / "Docs/b.txt", 1700000001, 123456789);
    const DriveConfig config = makeConfig(dest, "STICK", {""});
    BackupResult first = run(config);
    EXPECT_TRUE(first.errors.empty());
    EXPECT_EQ(first.filesCopied, 3);
    EXPECT_EQ(first.bytesCopied, 5 + 6 + 300000);
    EXPECT_EQ(listTree(copy), (std::vector<std::string>{"Docs/", "Docs/Deep/", "Docs/Deep/er/",
                                                        "Docs/Deep/er/c.bin", "Docs/b.txt",
                                                        "Empty/", "Empty/Inner/", "a.txt"}));
    EXPECT_EQ(readFile(copy / "Docs/Deep/er/c.bin"), std::string(300000, 'c'));
    // Time to the nanosecond travels with the copy.
    EXPECT_EQ(modifiedOf(copy / "Docs/b.txt").tv_sec, 1700000001);
    EXPECT_EQ(modifiedOf(copy / "Docs/b.txt").tv_nsec, 123456789);

    BackupResult second = run(config);
    EXPECT_TRUE(second.errors.empty());
    EXPECT_EQ(second.filesCopied, 0);
    EXPECT_EQ(second.filesSkipped, 3);
    EXPECT_TRUE(partialsIn(copy).empty());
}

// Unchanged means equal sizes and a source at most 2 s newer than its copy (FAT keeps times in
// 2-second steps); a copy newer than its source is unchanged too.
TEST_F(BackupRun, SkipRuleOnRealFiles) {
    const struct {
        const char* name;
        std::string source;
        std::int64_t sourceTime;
        long sourceNanos;
        std::string copy;
        std::int64_t copyTime;
        bool copied;
    } rows[] = {
        {"1.5 s newer", "new", 1001, 500000000, "old", 1000, false},
        {"exactly 2 s newer", "new", 1002, 0, "old", 1000, false},
        {"2.5 s newer", "new", 1002, 500000000, "old", 1000, true},
        {"same size and time", "abc", 1000, 0, "xyz", 1000, false},
        {"copy newer", "abc", 900, 0, "xyz", 1000, false},
        {"copy larger but newer", "short", 1000, 0, "much longer", 5000, true},
        {"copy smaller and older", "longer one", 1000, 0, "short", 10, true},
        {"source far in the future", "abc", 4000000000, 0, "xyz", 1000, true},
    };
    int expectedCopies = 0;
    markOwned(copy);
    for (const auto& row : rows) {
        writeFile(drive / row.name, row.source);
        setModified(drive / row.name, row.sourceTime, row.sourceNanos);
        writeFile(copy / row.name, row.copy);
        setModified(copy / row.name, row.copyTime);
        expectedCopies += row.copied ? 1 : 0;
    }
    BackupResult result = run(makeConfig(dest, "STICK", {""}));
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.filesCopied, expectedCopies);
    EXPECT_EQ(result.filesSkipped, static_cast<Int>(std::size(rows)) - expectedCopies);
    for (const auto& row : rows)
        EXPECT_EQ(readFile(copy / row.name), row.copied ? row.source : row.copy) << row.name;
}

TEST_F(BackupRun, PermissionBitsTravelButNeverTheSpecialOnes) {
    const struct {
        mode_t source;
        mode_t copy;
    } rows[] = {{0644, 0644},  {0600, 0600},  {0755, 0755},  {0444, 0444},
                {04755, 0755}, {02755, 0755}, {01777, 0777}, {06711, 0711}};
    for (const auto& row : rows) {
        writeFile(drive / ("m" + std::to_string(row.source)), "x");
        ASSERT_EQ(::chmod((drive / ("m" + std::to_string(row.source))).c_str(), row.source), 0);
    }
    writeFile(drive / "shared/x", "x");
    ASSERT_EQ(::chmod((drive / "shared").c_str(), 01777), 0);
    BackupResult result = run(makeConfig(dest, "STICK", {""}));
    EXPECT_TRUE(result.errors.empty());
    for (const auto& row : rows)
        EXPECT_EQ(modeOf(copy / ("m" + std::to_string(row.source))), row.copy) << row.source;
    EXPECT_EQ(modeOf(copy / "shared") & 07000, 0u);
}

TEST_F(BackupRun, WhatStandsInTheWayOfACopy) {
    // A folder where the drive has a file is replaced.
    markOwned(copy);
    writeFile(drive / "thing", "file now");
    writeFile(copy / "thing/inner/deep.txt", "was a folder");
    // A file where the drive has a folder stays, and each file below reports.
    writeFile(drive / "Folder/a.txt", "a");
    writeFile(drive / "Folder/sub/b.txt", "b");
    writeFile(copy / "Folder", "a file");
    BackupResult result = run(makeConfig(dest, "STICK", {""}));
    EXPECT_EQ(readFile(copy / "thing"), "file now");
    EXPECT_EQ(readFile(copy / "Folder"), "a file");
    std::vector<std::string> paths;
    for (const BackupIssue& issue : result.errors)
        paths.push_back(issue.path);
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"Folder/a.txt", "Folder/sub/b.txt"}));
    EXPECT_EQ(result.filesCopied, 1);
    EXPECT_EQ(reports.back().filesDone, 3);
}

TEST_F(BackupRun, SourcesKeepTheirPlaceBelowTheDriveFolder) {
    writeFile(drive / "RealDocs/Photos/p.jpg", "jpeg");
    writeFile(drive / "Music/song.ogg", "ogg");
    writeFile(drive / "notes.txt", "n");
    // A source reached through a link on the drive, of a drive reached through a link, keeps the
    // name it is listed by.
    fs::create_directory_symlink("RealDocs", drive / "Docs");
    fs::create_directory_symlink(drive, tmp / "drive-link");
    BackupResult result =
        run(makeConfig(dest, "STICK", {"Docs/Photos", "notes.txt"}), tmp / "drive-link");
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(listTree(copy), (std::vector<std::string>{"Docs/", "Docs/Photos/",
                                                        "Docs/Photos/p.jpg", "notes.txt"}));
}

TEST_F(BackupRun, DatedModeWritesIntoTheLocalDayFolder) {
    struct RestoreTz {
        std::string saved = std::getenv("TZ") ? std::getenv("TZ") : "";
        ~RestoreTz() {
            saved.empty() ? ::unsetenv("TZ") : ::setenv("TZ", saved.c_str(), 1);
            ::tzset();
        }
    } restore;
    writeFile(drive / "x.txt", "x");
    env.clock = [] { return Date{std::chrono::seconds{1796427000}}; }; // 2026-12-04T23:30:00Z
    const DriveConfig config = makeConfig(dest, "STICK", {""}, BackupMode::dated);
    const std::pair<const char*, const char*> days[] = {
        {"UTC0", "2026-12-04"}, {"XST-14", "2026-12-05"}, {"YST10", "2026-12-04"}};
    for (const auto& [tz, day] : days) {
        SCOPED_TRACE(tz);
        ::setenv("TZ", tz, 1);
        ::tzset();
        BackupResult first = run(config);
        EXPECT_EQ(first.destinationRoot, copy / day);
        EXPECT_EQ(readFile(copy / day / "x.txt"), "x");
        EXPECT_EQ(run(config).filesSkipped, 1); // the same day finds it unchanged
    }
}

TEST_F(BackupRun, NeverCopiedNamesAreNeitherCountedNorCopied) {
    for (const char* name :
         {".keelbox.json", "Sub/.DS_Store", ".Trashes/501/old.txt", ".fseventsd/x",
          "Sub/System Volume Information/IndexerVolumeGuid", "$RECYCLE.BIN/x"})
        writeFile(drive / name, "never");
    // Only whole names count, exactly as written.
    for (const char* name : {"keep.txt", "Sub/.ds_store", "a.DS_Store", ".DS_Store2/x"})
        writeFile(drive / name, "k");
    writeFile(drive / "Listed/.DS_Store", "listed");
    // A link inside a source is neither followed, copied nor counted.
    writeFile(tmp / "elsewhere/secret.txt", "secret");
    fs::create_symlink(drive / "keep.txt", drive / "Sub/link-to-file");
    fs::create_directory_symlink(tmp / "elsewhere", drive / "Sub/link-to-folder");
    fs::create_symlink("missing", drive / "Sub/dangling");

    BackupResult result = run(makeConfig(dest, "STICK", {"", "Listed/.DS_Store"}));
    EXPECT_TRUE(result.errors.empty());
    // A listed file is copied whatever its name.
    EXPECT_EQ(result.filesCopied, 5);
    EXPECT_EQ(reports.back().filesTotal, 5);
    EXPECT_EQ(listTree(copy), (std::vector<std::string>{".DS_Store2/", ".DS_Store2/x", "Listed/",
                                                        "Listed/.DS_Store", "Sub/", "Sub/.ds_store",
                                                        "a.DS_Store", "keep.txt"}));
}

TEST_F(BackupRun, AMissingSourceGivesItsIssueAndTheOthersAreCopied) {
    writeFile(drive / "here.txt", "h");
    BackupResult result = run(makeConfig(dest, "STICK", {"gone/folder", "here.txt"}));
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0], (BackupIssue{"gone/folder", english("engine.srcMissing"), "",
                                             english("engine.srcMissingHint")}));
    EXPECT_EQ(result.filesCopied, 1);

    BackupResult whole = run(makeConfig(dest, "STICK", {""}), tmp / "no-such-drive");
    ASSERT_EQ(whole.errors.size(), 1u);
    EXPECT_EQ(whole.errors[0].path, english("cfg.wholeName"));
    language = AppLanguage::polish;
    BackupResult polish = run(makeConfig(dest, "STICK", {"gone"}));
    ASSERT_EQ(polish.errors.size(), 1u);
    EXPECT_EQ(polish.errors[0].reason, Localizer::text("engine.srcMissing", AppLanguage::polish));
}

// A folder that cannot be made, and one another process is writing: one issue, nothing copied.
TEST_F(BackupRun, AFolderThatCannotBeMadeOrIsBusyEndsTheRunWithOneIssue) {
    writeFile(drive / "a.txt", "a");
    writeFile(tmp / "blocker", "a file where the destination folder should be");
    BackupResult result = run(makeConfig(tmp / "blocker/sub", "STICK", {""}));
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].path, (tmp / "blocker/sub/STICK").string());
    EXPECT_EQ(result.filesCopied, 0);
    EXPECT_EQ(result.destinationRoot, tmp / "blocker/sub/STICK");
    EXPECT_TRUE(reports.empty()); // no progress and no final report

    fs::create_directories(copy);
    const int other = ::open(copy.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    ASSERT_EQ(::flock(other, LOCK_EX), 0);
    BackupResult busy = run(makeConfig(dest, "STICK", {""}));
    ASSERT_EQ(busy.errors.size(), 1u);
    EXPECT_EQ(busy.errors[0].reason, english("engine.folderBusy"));
    EXPECT_TRUE(listTree(copy).empty());
    ::close(other);
    EXPECT_TRUE(run(makeConfig(dest, "STICK", {""})).errors.empty());
    EXPECT_EQ(readFile(copy / "a.txt"), "a");
}

struct ProgressRow {
    int files;
    Int firstReportAt;
    std::size_t reportsBeforeFinal;
};

class ProgressSteps : public EngineTest, public ::testing::WithParamInterface<ProgressRow> {};

TEST_P(ProgressSteps, ReportAboutOncePerHundredthPlusTheFinalSnapshot) {
    const ProgressRow row = GetParam();
    for (int i = 0; i < row.files; ++i)
        writeFile(drive / ("f" + std::to_string(i)), "12345");
    BackupResult result = run(makeConfig(dest, "STICK", {""}));
    EXPECT_EQ(result.filesCopied, row.files);
    ASSERT_EQ(reports.size(), row.reportsBeforeFinal + 1);
    EXPECT_EQ(reports.front().filesDone, row.firstReportAt);
    EXPECT_EQ(reports.front().filesTotal, row.files);
    EXPECT_EQ(reports.front().bytesTotal, 5 * row.files);
    EXPECT_FALSE(reports.front().currentFile.empty());
    EXPECT_EQ(reports.back(),
              (BackupProgress{row.files, row.files, 5 * row.files, 5 * row.files, ""}));
    for (std::size_t i = 1; i < reports.size(); ++i)
        EXPECT_GE(reports[i].filesDone, reports[i - 1].filesDone);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProgressSteps,
                         ::testing::Values(ProgressRow{50, 1, 50}, ProgressRow{250, 1, 125},
                                           ProgressRow{1000, 9, 100}, ProgressRow{1, 1, 1}));

// Files are copied by two threads from a bounded queue, so a stop takes effect after the files
// already in hand; those finish whole, nothing else starts, and nothing is counted that was not
// handled.
TEST_F(BackupRun, AStopRequestEndsTheRunAfterTheFilesInHand) {
    for (int i = 0; i < 200; ++i)
        writeFile(drive / "d" / ("f" + std::to_string(i)), "x");
    std::atomic<bool> stop{false};
    env.stopRequested = &stop;
    int seen = 0;
    BackupResult result = run(mirror({"", "d"}), {}, [&](const BackupProgress& p) {
        if (!p.currentFile.empty() && ++seen == 3)
            stop = true;
    });
    EXPECT_GE(result.filesCopied, 3);
    EXPECT_LT(result.filesCopied, 100);
    EXPECT_EQ(reports.back().filesDone, result.filesCopied);
    ASSERT_FALSE(result.errors.empty());
    EXPECT_EQ(result.errors.back().reason, english("engine.stopped"));
    EXPECT_TRUE(partialsIn(dest).empty());
    int inCopy = 0;
    for (const auto& entry : fs::recursive_directory_iterator(copy)) {
        if (entry.is_regular_file() && entry.path().filename() != ".keelbox-drive") {
            ++inCopy;
            EXPECT_EQ(readFile(entry.path()), "x");
        }
    }
    EXPECT_EQ(inCopy, result.filesCopied);
}

} // namespace
} // namespace keelbox::test
