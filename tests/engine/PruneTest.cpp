// Mirror pruning through whole runs.

#include "EngineTestSupport.h"

#include "localization/Format.h"

#include <sys/xattr.h>

namespace keelbox::test {
namespace {

using Prune = EngineTest;

// Without progress reports the walk reads everything itself, so both ways.
TEST_F(Prune, WhatLeftTheDriveGoesAndWhatWasNeverCopiedStays) {
    for (const bool shown : {true, false}) {
        SCOPED_TRACE(shown ? "progress shown" : "no progress");
        removeDriveAndCopies();
        withProgress = shown;
        writeFile(drive / "keep.txt", "k");
        writeFile(drive / "gone.txt", "g");
        for (int i = 0; i < 10; ++i)
            writeFile(drive / "OldFolder" / ("f" + std::to_string(i)), "x");
        writeFile(drive / "Real/x.txt", "x");
        writeFile(drive / "Docs/y.txt", "y");
        ASSERT_TRUE(run(mirror()).errors.empty());
        fs::remove(drive / "gone.txt");
        fs::remove_all(drive / "OldFolder");
        // A folder replaced by a link on the drive keeps its copy.
        fs::remove_all(drive / "Docs");
        fs::create_directory_symlink("Real", drive / "Docs");
        // Never-copied names stay; links go, never what they point at; a partial copy goes.
        for (const char* name : {".DS_Store", "Sub/.DS_Store", ".Trashes/501/thing",
                                 ".keelbox.json", ".keelbox-partial-99999999-1"})
            writeFile(copy / name, "planted");
        writeFile(tmp / "outside/precious/file.txt", "precious");
        fs::create_directory_symlink(tmp / "outside/precious", copy / "link-to-folder");
        fs::create_symlink(tmp / "outside/precious/file.txt", copy / "link-to-file");

        BackupResult result = run(mirror());
        // A folder counts once; the uncounted partial copy never was a copy of anything.
        EXPECT_EQ(std::tuple(result.errors.size(), result.filesDeleted), std::tuple(0u, Int{5}));
        EXPECT_EQ(listTree(copy),
                  (std::vector<std::string>{".DS_Store", ".Trashes/", ".Trashes/501/",
                                            ".Trashes/501/thing", ".keelbox.json", "Docs/",
                                            "Docs/y.txt", "Real/", "Real/x.txt", "keep.txt"}));
        EXPECT_EQ(readFile(tmp / "outside/precious/file.txt"), "precious");
    }
}

// Only after a run that left its under-way record, and never another run's.
TEST_F(Prune, PartialCopiesOfARunCutShortAreSweptButNotThoseOfARunStillGoing) {
    writeFile(drive / "Docs/a.txt", "a");
    ASSERT_TRUE(run(plain()).errors.empty());
    const std::string dead = ".keelbox-partial-99999999-1"; // beyond any process number
    const std::string live = ".keelbox-partial-" + std::to_string(::getppid()) + "-1";
    for (const fs::path& folder : {copy, copy / "Docs"})
        writeFile(folder / dead, "half a file"), writeFile(folder / live, "being written");
    ASSERT_TRUE(run(plain()).errors.empty()); // a run that ended normally left no record
    EXPECT_TRUE(fs::exists(copy / "Docs" / dead));
    const bool recorded = ::setxattr(copy.c_str(), "user.keelbox.running", "1", 1, 0) == 0;
    KEELBOX_REQUIRE_CAPABILITY(recorded, "user extended attributes in the temp folder");
    const BackupResult swept = run(plain());
    EXPECT_EQ(std::tuple(swept.errors.size(), swept.filesDeleted), std::tuple(0u, Int{0}));
    for (const fs::path& folder : {copy, copy / "Docs"}) {
        EXPECT_FALSE(fs::exists(folder / dead)) << folder;
        EXPECT_TRUE(fs::exists(folder / live)) << folder;
    }
    char value[8];
    EXPECT_LT(::getxattr(copy.c_str(), "user.keelbox.running", value, sizeof value), 0);
}

TEST_F(Prune, WithoutTheSwitchOrInDatedModeTheCopyKeepsEverything) {
    for (const auto& config : {makeConfig(dest, "STICK", {""}, BackupMode::sync, false),
                               makeConfig(dest, "STICK", {""}, BackupMode::dated, true)}) {
        fs::remove_all(dest);
        writeFile(drive / "gone.txt", "g");
        BackupResult first = run(config);
        ASSERT_TRUE(first.destinationRoot.has_value());
        fs::remove(drive / "gone.txt");
        EXPECT_EQ(run(config).filesDeleted, 0);
        EXPECT_TRUE(fs::exists(*first.destinationRoot / "gone.txt"));
    }
}

// An automatic run never empties most of a copy; the user's own run deletes as configured.
TEST_F(Prune, AnAutomaticRunNeverMassDeletes) {
    // files, how many the drive lost, automatic or not, deletions (-1: held back with an issue)
    const std::tuple<const char*, int, int, bool, Int> rows[] = {
        {"stick emptied, by the user", 100, 100, false, 100},
        {"60 % deleted, automatic", 100, 60, true, -1},
        {"40 % deleted, automatic", 100, 40, true, 40},
        {"few files, most deleted, automatic", 40, 30, true, 30},
        {"few files, all deleted, automatic", 3, 3, true, -1},
    };
    for (const auto& [name, files, deleted, automatic, expectedDeletions] : rows) {
        removeDriveAndCopies();
        for (int i = 0; i < files; ++i)
            writeFile(drive / "Docs" / ("f" + std::to_string(i)), "x");
        env.automatic = false;
        ASSERT_TRUE(run(mirror({"Docs"})).errors.empty());
        for (int i = 0; i < deleted; ++i)
            fs::remove(drive / "Docs" / ("f" + std::to_string(i)));
        writeFile(drive / "Docs/.DS_Store", "clutter does not count as content");
        env.automatic = automatic;
        BackupResult result = run(mirror({"Docs"}));
        const bool held = expectedDeletions < 0;
        const std::string why =
            held ? formatText(english("engine.massDeleteHeld"), {Int{deleted}, Int{files}}) : "";
        EXPECT_EQ(std::tuple(result.filesDeleted, result.errors.size(),
                             result.errors.empty() ? "" : result.errors[0].reason),
                  std::tuple(held ? 0 : expectedDeletions, held ? 1u : 0u, why));
    }
}

// Only the sources' copies are pruned, and a removal that fails is an issue of its own. (With
// every removal failing, one tried outside the source's copy would show as a second issue.)
TEST_F(Prune, OnlyTheSourcesCopiesArePrunedAndAFailedRemovalGivesItsOwnIssue) {
    writeFile(drive / "Docs/a.txt", "a");
    writeFile(drive / "name", "a file on the drive, not a source");
    writeFile(dest / "sibling-of-drive-folder.txt", "not ours");
    markOwned(copy);
    writeFile(copy / "Other/untouched.txt", "another source's copy");
    writeFile(copy / "name/inner.txt", "old");
    writeFile(copy / "Docs/stale.txt", "deleted on the drive");
    SysCalls calls = realSysCalls();
    calls.unlinkat = [](int, const char*, int) { return errno = EBUSY, -1; };
    BackupResult result = withSysCalls(calls, [&] { return run(mirror({"Docs"})); });
    EXPECT_EQ(std::tuple(onlyIssue(result), result.filesDeleted, result.filesCopied),
              std::tuple("Docs/stale.txt — " + english("engine.pruneFail"), Int{0}, Int{1}));
    for (const fs::path& kept : {dest / "sibling-of-drive-folder.txt", copy / "Other/untouched.txt",
                                 copy / "name/inner.txt", copy / "Docs/stale.txt"})
        EXPECT_TRUE(fs::exists(kept)) << kept;
}

} // namespace
} // namespace keelbox::test
