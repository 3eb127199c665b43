// Whole runs on real temp trees: layout, counters, never-copied names, progress, missing sources.

#include "EngineTestSupport.h"

#include "engine/BackupEngine.h"

#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <ctime>
#include <unistd.h>

namespace keelbox::test {
namespace {

class BackupRun : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(drive);
        fs::create_directories(home);
        env.homeFolder = home;
    }

    BackupResult run(const DriveConfig& config, const ProgressCallback& progress = {}) {
        return BackupEngine::run(config, drive, AppLanguage::english, progress, env);
    }

    TempDir tmp;
    fs::path drive = tmp / "drive";
    fs::path dest = tmp / "dest";
    fs::path home = tmp / "home";
    RunEnvironment env;
};

TEST_F(BackupRun, NoSourcesMakesTheFolderAndNothingElse) {
    BackupResult result = run(makeConfig(dest, "STICK", {}));
    EXPECT_EQ(result.filesCopied, 0);
    EXPECT_EQ(result.bytesCopied, 0);
    EXPECT_EQ(result.filesSkipped, 0);
    EXPECT_EQ(result.filesDeleted, 0);
    EXPECT_TRUE(result.errors.empty());
    ASSERT_TRUE(result.destinationRoot.has_value());
    EXPECT_EQ(*result.destinationRoot, dest / "STICK");
    EXPECT_TRUE(fs::is_directory(dest / "STICK"));
    EXPECT_TRUE(listTree(dest / "STICK").empty());
}

TEST_F(BackupRun, FirstRunCopiesEverythingAndTheSecondNothing) {
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
    EXPECT_EQ(first.filesSkipped, 0);
    const fs::path copy = dest / "STICK";
    EXPECT_EQ(listTree(copy), (std::vector<std::string>{"Docs/", "Docs/Deep/", "Docs/Deep/er/",
                                                        "Docs/Deep/er/c.bin", "Docs/b.txt",
                                                        "Empty/", "Empty/Inner/", "a.txt"}));
    EXPECT_EQ(readFile(copy / "Docs/Deep/er/c.bin"), std::string(300000, 'c'));
    // Time to the nanosecond and the permission bits travel with the copy.
    EXPECT_EQ(modifiedOf(copy / "Docs/b.txt").tv_sec, 1700000001);
    EXPECT_EQ(modifiedOf(copy / "Docs/b.txt").tv_nsec, 123456789);
    EXPECT_EQ(modeOf(copy / "Docs/b.txt"), 0640u);
    EXPECT_EQ(modeOf(copy / "Docs/Deep/er/c.bin"), 0755u);

    BackupResult second = run(config);
    EXPECT_TRUE(second.errors.empty());
    EXPECT_EQ(second.filesCopied, 0);
    EXPECT_EQ(second.filesSkipped, 3);

    // A new size is copied whatever the times say; so is a rewrite more than 2 s newer.
    writeFile(drive / "a.txt", "alpha, longer");
    setModified(drive / "a.txt", 1000);
    writeFile(drive / "Docs/b.txt", "BRAVO!", 0640);
    setModified(drive / "Docs/b.txt", 1700000004);
    BackupResult third = run(config);
    EXPECT_EQ(third.filesCopied, 2);
    EXPECT_EQ(third.filesSkipped, 1);
    EXPECT_EQ(readFile(copy / "a.txt"), "alpha, longer");
    EXPECT_EQ(readFile(copy / "Docs/b.txt"), "BRAVO!");
    EXPECT_TRUE(partialsIn(copy).empty());
}

TEST_F(BackupRun, SourcesKeepTheirPlaceBelowTheDriveFolder) {
    writeFile(drive / "Docs/Photos/p.jpg", "jpeg");
    writeFile(drive / "Music/song.ogg", "ogg");
    writeFile(drive / "notes.txt", "n");
    BackupResult result = run(makeConfig(dest, "STICK", {"Docs/Photos", "notes.txt"}));
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(
        listTree(dest / "STICK"),
        (std::vector<std::string>{"Docs/", "Docs/Photos/", "Docs/Photos/p.jpg", "notes.txt"}));
}

TEST_F(BackupRun, DatedModeWritesIntoTheDayFolderAndFindsItUnchangedTheSameDay) {
    writeFile(drive / "x.txt", "x");
    // Noon local time on 4 December 2026.
    std::tm noon{};
    noon.tm_year = 2026 - 1900;
    noon.tm_mon = 11;
    noon.tm_mday = 4;
    noon.tm_hour = 12;
    noon.tm_isdst = -1;
    const auto at = std::chrono::system_clock::from_time_t(std::mktime(&noon));
    env.clock = [at] { return std::chrono::time_point_cast<std::chrono::microseconds>(at); };
    const DriveConfig config = makeConfig(dest, "STICK", {""}, BackupMode::dated);
    BackupResult first = run(config);
    ASSERT_TRUE(first.destinationRoot.has_value());
    EXPECT_EQ(*first.destinationRoot, dest / "STICK" / "2026-12-04");
    EXPECT_EQ(readFile(dest / "STICK/2026-12-04/x.txt"), "x");
    BackupResult second = run(config);
    EXPECT_EQ(second.filesCopied, 0);
    EXPECT_EQ(second.filesSkipped, 1);
}

TEST_F(BackupRun, NeverCopiedNamesAreNeitherCountedNorCopied) {
    writeFile(drive / ".keelbox.json", "{}");
    writeFile(drive / "keep.txt", "k");
    writeFile(drive / "Sub/.DS_Store", "ds");
    writeFile(drive / "Sub/file.txt", "f");
    writeFile(drive / ".Trashes/501/old.txt", "old");
    writeFile(drive / "Sub/System Volume Information/IndexerVolumeGuid", "g");
    writeFile(drive / "$RECYCLE.BIN/x", "x");
    writeFile(drive / "Listed/.DS_Store", "listed");

    std::vector<BackupProgress> reports;
    BackupResult result = run(makeConfig(dest, "STICK", {"", "Listed/.DS_Store"}),
                              [&](const BackupProgress& p) { reports.push_back(p); });
    EXPECT_TRUE(result.errors.empty());
    // keep.txt and Sub/file.txt from the whole drive; a listed file is copied whatever its name.
    EXPECT_EQ(result.filesCopied, 3);
    ASSERT_FALSE(reports.empty());
    EXPECT_EQ(reports.back().filesTotal, 3);
    EXPECT_EQ(listTree(dest / "STICK"),
              (std::vector<std::string>{"Listed/", "Listed/.DS_Store", "Sub/", "Sub/file.txt",
                                        "keep.txt"}));
}

TEST_F(BackupRun, LinksInsideASourceAreNotFollowedCopiedOrCounted) {
    writeFile(drive / "real/file.txt", "r");
    writeFile(tmp / "elsewhere/secret.txt", "secret");
    fs::create_symlink(drive / "real/file.txt", drive / "real/link-to-file");
    fs::create_directory_symlink(tmp / "elsewhere", drive / "real/link-to-folder");
    fs::create_symlink("missing", drive / "real/dangling");
    std::vector<BackupProgress> reports;
    BackupResult result = run(makeConfig(dest, "STICK", {""}),
                              [&](const BackupProgress& p) { reports.push_back(p); });
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.filesCopied, 1);
    EXPECT_EQ(reports.back().filesTotal, 1);
    EXPECT_EQ(listTree(dest / "STICK"), (std::vector<std::string>{"real/", "real/file.txt"}));
}

TEST_F(BackupRun, ASourceReachedThroughALinkKeepsItsPathsBelowTheSource) {
    writeFile(drive / "RealDocs/a/b.txt", "b");
    fs::create_directory_symlink("RealDocs", drive / "Docs");
    fs::create_directory_symlink(drive, tmp / "drive-link");
    BackupResult result = BackupEngine::run(makeConfig(dest, "STICK", {"Docs"}), tmp / "drive-link",
                                            AppLanguage::english, {}, env);
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(readFile(dest / "STICK/Docs/a/b.txt"), "b");
}

TEST_F(BackupRun, AMissingSourceGivesItsIssueAndTheOthersAreCopied) {
    writeFile(drive / "here.txt", "h");
    BackupResult result = run(makeConfig(dest, "STICK", {"gone/folder", "here.txt"}));
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].path, "gone/folder");
    EXPECT_EQ(result.errors[0].reason, english("engine.srcMissing"));
    EXPECT_EQ(result.errors[0].systemMessage, "");
    EXPECT_EQ(result.errors[0].suggestion, english("engine.srcMissingHint"));
    EXPECT_EQ(result.filesCopied, 1);

    BackupResult whole = BackupEngine::run(makeConfig(dest, "STICK", {""}), tmp / "no-such-drive",
                                           AppLanguage::english, {}, env);
    ASSERT_EQ(whole.errors.size(), 1u);
    EXPECT_EQ(whole.errors[0].path, english("cfg.wholeName"));
    BackupResult polish =
        BackupEngine::run(makeConfig(dest, "STICK", {"gone"}), drive, AppLanguage::polish, {}, env);
    ASSERT_EQ(polish.errors.size(), 1u);
    EXPECT_EQ(polish.errors[0].reason, Localizer::text("engine.srcMissing", AppLanguage::polish));
}

TEST_F(BackupRun, ADestinationThatCannotBeMadeEndsTheRunWithOneIssue) {
    writeFile(drive / "a.txt", "a");
    writeFile(tmp / "blocker", "a file where the destination folder should be");
    std::vector<BackupProgress> reports;
    BackupResult result = run(makeConfig(tmp / "blocker/sub", "STICK", {""}),
                              [&](const BackupProgress& p) { reports.push_back(p); });
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].path, (tmp / "blocker/sub/STICK").string());
    EXPECT_EQ(result.filesCopied, 0);
    EXPECT_EQ(*result.destinationRoot, tmp / "blocker/sub/STICK");
    // The pre-count was made, but no progress and no final report.
    EXPECT_TRUE(reports.empty());
}

struct ProgressRow {
    int files;
    Int firstReportAt;
    std::size_t reportsBeforeFinal;
};

class ProgressSteps : public BackupRun, public ::testing::WithParamInterface<ProgressRow> {};

TEST_P(ProgressSteps, ReportAboutOncePerHundredthPlusTheFinalSnapshot) {
    const ProgressRow row = GetParam();
    for (int i = 0; i < row.files; ++i)
        writeFile(drive / ("f" + std::to_string(i)), "12345");
    std::vector<BackupProgress> reports;
    BackupResult result = run(makeConfig(dest, "STICK", {""}),
                              [&](const BackupProgress& p) { reports.push_back(p); });
    EXPECT_EQ(result.filesCopied, row.files);
    ASSERT_EQ(reports.size(), row.reportsBeforeFinal + 1);
    EXPECT_EQ(reports.front().filesDone, row.firstReportAt);
    EXPECT_EQ(reports.front().filesTotal, row.files);
    EXPECT_EQ(reports.front().bytesTotal, 5 * row.files);
    EXPECT_FALSE(reports.front().currentFile.empty());
    const BackupProgress& last = reports.back();
    EXPECT_EQ(last.filesDone, row.files);
    EXPECT_EQ(last.bytesDone, 5 * row.files);
    EXPECT_EQ(last.currentFile, "");
    for (std::size_t i = 1; i < reports.size(); ++i)
        EXPECT_GE(reports[i].filesDone, reports[i - 1].filesDone);
}

INSTANTIATE_TEST_SUITE_P(Rows, ProgressSteps,
                         ::testing::Values(ProgressRow{50, 1, 50}, ProgressRow{250, 1, 125},
                                           ProgressRow{1000, 9, 100}, ProgressRow{1, 1, 1}));

TEST_F(BackupRun, WithoutACallbackTheResultIsTheSame) {
    for (int i = 0; i < 30; ++i)
        writeFile(drive / "d" / ("f" + std::to_string(i)), std::string(i, 'x'));
    const DriveConfig config = makeConfig(dest, "STICK", {""});
    BackupResult quiet = run(config);
    fs::remove_all(dest);
    int calls = 0;
    BackupResult loud = run(config, [&](const BackupProgress&) { ++calls; });
    EXPECT_EQ(quiet.filesCopied, loud.filesCopied);
    EXPECT_EQ(quiet.bytesCopied, loud.bytesCopied);
    EXPECT_EQ(quiet.errors, loud.errors);
    EXPECT_EQ(calls, 31);
}

TEST_F(BackupRun, AStopRequestEndsTheRunAfterTheFileInHand) {
    for (int i = 0; i < 20; ++i)
        writeFile(drive / "d" / ("f" + std::to_string(i)), "x");
    std::atomic<bool> stop{false};
    env.stopRequested = &stop;
    int seen = 0;
    BackupResult result = run(makeConfig(dest, "STICK", {"", "d"}, BackupMode::sync, true),
                              [&](const BackupProgress& p) {
                                  if (!p.currentFile.empty() && ++seen == 3)
                                      stop = true;
                              });
    EXPECT_EQ(result.filesCopied, 3);
    ASSERT_FALSE(result.errors.empty());
    EXPECT_EQ(result.errors.back().reason, english("engine.stopped"));
    EXPECT_TRUE(partialsIn(dest).empty());
}

TEST_F(BackupRun, ScanTotalsCountsWhatTheCopyWalkCopies) {
    writeFile(drive / "a", "aaa");
    writeFile(drive / "s/b", "bb");
    writeFile(drive / "s/.DS_Store", "zzzz");
    fs::create_symlink("a", drive / "s/link");
    writeFile(drive / "file-source", "12345678");
    const DriveConfig config = makeConfig(dest, "STICK", {"s", "file-source", "nothing-here"});
    Totals totals = scanTotals(config, drive);
    EXPECT_EQ(totals.files, 2);
    EXPECT_EQ(totals.bytes, 2 + 8);
}

} // namespace
} // namespace keelbox::test
