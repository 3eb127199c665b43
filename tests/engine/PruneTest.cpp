// Mirror pruning through whole runs: what goes, what stays, and that an unreadable drive or a link
// in the copy never costs anything outside the drive's copy.

#include "EngineTestSupport.h"

#include "engine/BackupEngine.h"
#include "engine/SysCalls.h"

#include <gtest/gtest.h>

#include <cerrno>

namespace keelbox::test {
namespace {

class Prune : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(drive);
        env.homeFolder = tmp / "home";
        fs::create_directories(env.homeFolder);
    }
    BackupResult run(const DriveConfig& config) {
        return BackupEngine::run(config, drive, AppLanguage::english, {}, env);
    }
    DriveConfig mirror(std::vector<std::string> sources = {""}) {
        return makeConfig(dest, "STICK", std::move(sources), BackupMode::sync, true);
    }

    TempDir tmp;
    fs::path drive = tmp / "drive";
    fs::path dest = tmp / "dest";
    fs::path copy = tmp / "dest/STICK";
    RunEnvironment env;
};

TEST_F(Prune, WhatWasDeletedOnTheDriveGoesFromTheCopy) {
    writeFile(drive / "keep.txt", "k");
    writeFile(drive / "gone.txt", "g");
    for (int i = 0; i < 10; ++i)
        writeFile(drive / "OldFolder" / ("f" + std::to_string(i)), "x");
    ASSERT_TRUE(run(mirror()).errors.empty());
    fs::remove(drive / "gone.txt");
    fs::remove_all(drive / "OldFolder");
    BackupResult result = run(mirror());
    EXPECT_TRUE(result.errors.empty());
    // A removed folder counts once, whatever it held.
    EXPECT_EQ(result.filesDeleted, 2);
    EXPECT_EQ(listTree(copy), (std::vector<std::string>{"keep.txt"}));
}

TEST_F(Prune, WithoutTheSwitchOrInDatedModeTheCopyKeepsEverything) {
    const struct {
        const char* name;
        BackupMode mode;
        bool deleteRemoved;
    } rows[] = {{"switch off", BackupMode::sync, false}, {"dated", BackupMode::dated, true}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        fs::remove_all(dest);
        writeFile(drive / "gone.txt", "g");
        const DriveConfig config = makeConfig(dest, "STICK", {""}, row.mode, row.deleteRemoved);
        BackupResult first = run(config);
        ASSERT_TRUE(first.destinationRoot.has_value());
        fs::remove(drive / "gone.txt");
        BackupResult second = run(config);
        EXPECT_EQ(second.filesDeleted, 0);
        EXPECT_TRUE(fs::exists(*second.destinationRoot / "gone.txt"));
    }
}

TEST_F(Prune, NeverCopiedNamesInTheCopyAreNeverDeleted) {
    writeFile(drive / "a.txt", "a");
    writeFile(copy / ".DS_Store", "view settings");
    writeFile(copy / "Sub/.DS_Store", "view settings");
    writeFile(copy / ".Trashes/501/thing", "trash");
    writeFile(copy / ".keelbox.json", "{}");
    BackupResult result = run(mirror());
    EXPECT_EQ(result.filesDeleted, 1); // only "Sub" (not on the drive) goes, with what it held
    EXPECT_TRUE(fs::exists(copy / ".DS_Store"));
    EXPECT_TRUE(fs::exists(copy / ".Trashes/501/thing"));
    EXPECT_TRUE(fs::exists(copy / ".keelbox.json"));
    EXPECT_FALSE(fs::exists(copy / "Sub"));
}

TEST_F(Prune, ANameThatIsAFileOnTheDriveAndAFolderInTheCopyStays) {
    writeFile(drive / "name", "a file on the drive");
    writeFile(drive / "Docs/a.txt", "a");
    // The copy's "name" is a folder; the drive's file cannot replace it by a plain copy, but the
    // name exists, so pruning keeps the name.
    writeFile(copy / "name/inner.txt", "old");
    BackupResult result = run(mirror({"Docs"}));
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.filesDeleted, 0);
    EXPECT_TRUE(fs::exists(copy / "name"));
}

TEST_F(Prune, TheCopyRootAndWhatLiesAboveItAreNeverDeleted) {
    writeFile(drive / "Docs/a.txt", "a");
    writeFile(dest / "sibling-of-drive-folder.txt", "not ours");
    writeFile(copy / "Other/untouched.txt", "another source's copy");
    BackupResult result = run(mirror({"Docs"}));
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.filesDeleted, 0);
    EXPECT_TRUE(fs::exists(dest / "sibling-of-drive-folder.txt"));
    EXPECT_TRUE(fs::exists(copy / "Other/untouched.txt"));
    EXPECT_TRUE(fs::exists(copy / "Docs/a.txt"));
}

TEST_F(Prune, LinksInTheCopyGoThemselvesAndNothingTheyPointAt) {
    writeFile(tmp / "outside/precious/file.txt", "precious");
    writeFile(drive / "a.txt", "a");
    fs::create_directories(copy);
    fs::create_directory_symlink(tmp / "outside/precious", copy / "link-to-folder");
    fs::create_symlink(tmp / "outside/precious/file.txt", copy / "link-to-file");
    BackupResult result = run(mirror());
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.filesDeleted, 2);
    EXPECT_EQ(readFile(tmp / "outside/precious/file.txt"), "precious");
    EXPECT_FALSE(fs::exists(copy / "link-to-folder"));
}

TEST_F(Prune, AFolderOnTheDriveReplacedByALinkKeepsItsCopy) {
    writeFile(drive / "Real/x.txt", "x");
    writeFile(drive / "Docs/y.txt", "y");
    ASSERT_TRUE(run(mirror()).errors.empty());
    fs::remove_all(drive / "Docs");
    fs::create_directory_symlink("Real", drive / "Docs");
    BackupResult result = run(mirror());
    EXPECT_EQ(result.filesDeleted, 0);
    EXPECT_TRUE(fs::exists(copy / "Docs/y.txt"));
}

TEST_F(Prune, AnUnreadableDriveDeletesNothing) {
    writeFile(drive / "a.txt", "a");
    writeFile(drive / "Docs/b.txt", "b");
    ASSERT_TRUE(run(mirror()).errors.empty());
    // The drive stops answering (a pulled stick under FUSE gives ENOTCONN, a failing one EIO):
    // the copy's files must not be taken as deleted.
    SysCalls calls = realSysCalls();
    calls.fstatat = [](int dir, const char* name, struct stat* st, int flags) -> int {
        int result = realSysCalls().fstatat(dir, name, st, flags);
        // Entries of the copy still answer; the drive's do not.
        if (result == 0 && ::faccessat(dir, ".keelbox-drive-marker", F_OK, 0) == 0) {
            errno = ENOTCONN;
            return -1;
        }
        return result;
    };
    calls.openat = [](int dir, const char* name, int flags, mode_t mode) -> int {
        if (::faccessat(dir, ".keelbox-drive-marker", F_OK, 0) == 0) {
            errno = ENOTCONN;
            return -1;
        }
        return realSysCalls().openat(dir, name, flags, mode);
    };
    writeFile(drive / ".keelbox-drive-marker", "");
    writeFile(drive / "Docs/.keelbox-drive-marker", "");
    // Even what really is gone from the drive stays while the drive cannot be read.
    writeFile(copy / "only-in-copy.txt", "kept");
    ScopedSysCalls seam{calls};
    Tally tally{AppLanguage::english};
    pruneRemoved(drive, copy, tally);
    EXPECT_EQ(tally.filesDeleted, 0);
    EXPECT_TRUE(fs::exists(copy / "a.txt"));
    EXPECT_TRUE(fs::exists(copy / "Docs/b.txt"));
    EXPECT_TRUE(fs::exists(copy / "only-in-copy.txt"));
}

TEST_F(Prune, AFailedRemovalGivesItsOwnIssue) {
    writeFile(drive / "a.txt", "a");
    writeFile(copy / "stale.txt", "s");
    SysCalls calls = realSysCalls();
    calls.unlinkat = [](int, const char*, int) -> int {
        errno = EBUSY;
        return -1;
    };
    ScopedSysCalls seam{calls};
    Tally tally{AppLanguage::english};
    pruneRemoved(drive, copy, tally);
    ASSERT_EQ(tally.errors.size(), 1u);
    EXPECT_EQ(tally.errors[0].path, "stale.txt");
    EXPECT_EQ(tally.errors[0].reason, english("engine.pruneFail"));
    EXPECT_NE(tally.errors[0].systemMessage.find("stale.txt"), std::string::npos);
    EXPECT_EQ(tally.errors[0].suggestion, std::nullopt);
    EXPECT_EQ(tally.filesDeleted, 0);
}

TEST_F(Prune, APartialCopyLeftByACrashIsPrunedAsNotOnTheDrive) {
    writeFile(drive / "a.txt", "a");
    writeFile(copy / ".keelbox-partial-999-1", "half a file");
    BackupResult result = run(mirror());
    EXPECT_EQ(result.filesDeleted, 1);
    EXPECT_TRUE(partialsIn(copy).empty());
}

} // namespace
} // namespace keelbox::test
