// Configurations a hostile drive could carry, run against real temp trees: each must end in a
// clear issue without anything read outside the drive or written where it must not be.

#include "EngineTestSupport.h"

#include "core/Uuid.h"
#include "engine/BackupEngine.h"

#include <gtest/gtest.h>

#include <sys/stat.h>
#include <sys/xattr.h>

namespace keelbox::test {
namespace {

class HostileDrive : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(drive);
        fs::create_directories(home / ".config/autostart");
        fs::create_directories(home / ".ssh");
        writeFile(outside / "secret.txt", "secret");
        writeFile(drive / "Docs/ok.txt", "ok");
        env.homeFolder = home;
    }
    BackupResult run(const DriveConfig& config) {
        return BackupEngine::run(config, drive, AppLanguage::english, {}, env);
    }
    // Every file anywhere in the temp tree (except the drive and the outside folder) whose content
    // is the outside secret: proof that it was read.
    bool secretCopiedAnywhere() {
        for (const auto& entry : fs::recursive_directory_iterator(tmp.path())) {
            if (!entry.is_regular_file() || entry.is_symlink())
                continue;
            const fs::path p = entry.path();
            if (p == outside / "secret.txt")
                continue;
            if (readFile(p) == "secret")
                return true;
        }
        return false;
    }

    TempDir tmp;
    fs::path drive = tmp / "drive";
    fs::path home = tmp / "home";
    fs::path outside = tmp / "outside";
    fs::path dest = tmp / "dest";
    RunEnvironment env;
};

TEST_F(HostileDrive, SourcesOutsideTheDriveAreRefusedUnread) {
    fs::create_directory_symlink(outside, drive / "escape");
    fs::create_symlink(outside / "secret.txt", drive / "secret-link");
    fs::create_directory_symlink("../outside", drive / "relative-escape");
    fs::create_directory_symlink(drive / "Docs", drive / "inside-link");
    const struct {
        std::string source;
        bool refused;
    } rows[] = {
        {(outside / "secret.txt").string(), true}, // absolute
        {"/etc", true},
        {"../outside", true},
        {"Docs/../../outside/secret.txt", true},
        {"..", true},
        {"escape", true},
        {"escape/secret.txt", true},
        {"secret-link", true},
        {"relative-escape", true},
        {"inside-link", false}, // a link that stays on the drive is fine
        {"Docs", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source);
        fs::remove_all(dest);
        BackupResult result = run(makeConfig(dest, "STICK", {row.source}));
        if (row.refused) {
            ASSERT_EQ(result.errors.size(), 1u);
            EXPECT_EQ(result.errors[0].path, row.source);
            EXPECT_EQ(result.errors[0].reason, english("engine.srcOutside"));
            EXPECT_EQ(result.errors[0].suggestion, english("engine.srcOutsideHint"));
            EXPECT_EQ(result.filesCopied, 0);
            EXPECT_TRUE(listTree(dest / "STICK").empty());
        } else {
            EXPECT_TRUE(result.errors.empty());
            EXPECT_EQ(result.filesCopied, 1);
        }
        EXPECT_FALSE(secretCopiedAnywhere());
    }
    // The pre-count does not look outside either.
    const Totals totals =
        scanTotals(makeConfig(dest, "STICK", {"escape", "../outside", "secret-link"}), drive);
    EXPECT_EQ(totals.files, 0);
    EXPECT_EQ(totals.bytes, 0);
}

TEST_F(HostileDrive, BackupFoldersOnTheDriveItselfAreRefused) {
    const struct {
        const char* name;
        fs::path destination;
        std::string driveName;
    } rows[] = {
        {"inside the drive", drive / "backup", "STICK"},
        {"the drive itself", tmp.path(), "drive"},
        {"through a link to the drive", tmp / "link-to-drive", "sub"},
        {"a folder holding the drive", tmp.path().parent_path(), tmp.path().filename().string()},
    };
    fs::create_directory_symlink(drive, tmp / "link-to-drive");
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const auto before = listTree(drive);
        BackupResult result = run(makeConfig(row.destination, row.driveName, {""}));
        ASSERT_EQ(result.errors.size(), 1u);
        EXPECT_EQ(result.errors[0].reason, english("engine.destOnDrive"));
        EXPECT_EQ(result.errors[0].suggestion, english("engine.destOnDriveHint"));
        EXPECT_EQ(result.errors[0].path, (row.destination / row.driveName).string());
        EXPECT_EQ(result.filesCopied, 0);
        EXPECT_EQ(listTree(drive), before);
    }
}

TEST_F(HostileDrive, PlacesTheComputerRunsOrTrustsAreRefused) {
    fs::create_directories(home / "Backups");
    fs::create_directory_symlink(home / ".config", home / "Innocent");
    writeFile(home / ".config/user-dirs.dirs", "# written by xdg-user-dirs-update\n"
                                               "XDG_DESKTOP_DIR=\"$HOME/Pulpit\"\n");
    const struct {
        const char* name;
        std::string destination;
        std::string driveName;
    } rows[] = {
        {"label .config under home", "~", ".config"},
        {"autostart", "~/.config/autostart", "STICK"},
        {"per-user programs", "~/.local/bin", "STICK"},
        {"keys", "~", ".ssh"},
        {"home's bin", "~", "bin"},
        {"the desktop", "~", "Desktop"},
        {"the localized desktop", "~", "Pulpit"},
        {"a hidden folder through ..", "~/Backups/..", ".config"},
        {"above the home folder", "~/..", "home"},
        {"a link into a hidden folder", "~/Innocent", "autostart"},
        {"system configuration", "/etc", "xdg"},
        {"system programs", "/usr/local", "bin"},
        {"the root", "/", "etc"},
        {"a NUL cutting the path short", std::string("/tmp\0/../etc", 12), "xdg"},
    };
    const auto homeBefore = listTree(home);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        BackupResult result = run(makeConfig(row.destination, row.driveName, {""}));
        ASSERT_EQ(result.errors.size(), 1u);
        EXPECT_EQ(result.errors[0].reason, english("engine.destTrusted"));
        EXPECT_EQ(result.errors[0].suggestion, english("engine.destTrustedHint"));
        EXPECT_EQ(result.filesCopied, 0);
        EXPECT_EQ(listTree(home), homeBefore);
    }
    EXPECT_FALSE(fs::exists("/etc/xdg/Docs"));
}

TEST_F(HostileDrive, OrdinaryFoldersNextToTrustedOnesAreFine) {
    const struct {
        std::string destination;
        std::string driveName;
    } rows[] = {{"~/Desktop", "STICK"}, {"~", "Backups"}, {"~/Documents/.stash", "STICK"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.destination + " + " + row.driveName);
        BackupResult result = run(makeConfig(row.destination, row.driveName, {"Docs"}));
        EXPECT_TRUE(result.errors.empty());
        EXPECT_EQ(result.filesCopied, 1);
    }
}

TEST_F(HostileDrive, DriveNamesThatWouldLeaveTheDestinationGetASafeFolder) {
    const struct {
        std::string driveName;
        std::string folder;
    } rows[] = {{"..", "USB"}, {".", "USB"}, {"/", "-"}, {"../..", "..-.."}, {"", "USB"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.driveName);
        BackupResult result = run(makeConfig(dest, row.driveName, {"Docs"}));
        EXPECT_TRUE(result.errors.empty());
        EXPECT_EQ(*result.destinationRoot, dest / row.folder);
        EXPECT_EQ(readFile(dest / row.folder / "Docs/ok.txt"), "ok");
    }
    EXPECT_FALSE(fs::exists(tmp / "Docs"));
    EXPECT_FALSE(fs::exists(dest / "Docs"));
}

TEST_F(HostileDrive, PrivilegeBitsNeverReachTheCopy) {
    writeFile(drive / "tool", "#!/bin/sh\n", 0755);
    ASSERT_EQ(::chmod((drive / "tool").c_str(), 06755), 0);
    writeFile(drive / "shared/x", "x");
    ASSERT_EQ(::chmod((drive / "shared").c_str(), 01777), 0);
    BackupResult result = run(makeConfig(dest, "STICK", {"", "tool"}));
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(modeOf(dest / "STICK/tool"), 0755u);
    EXPECT_EQ(modeOf(dest / "STICK/shared") & 07000, 0u);
}

TEST_F(HostileDrive, LinksPlantedInTheCopyAreNeverFollowed) {
    writeFile(drive / "Docs/new.txt", "from the drive");
    writeFile(drive / "Docs/secret.txt", "overwrite attempt");
    fs::create_directories(dest / "STICK");
    // Somebody (or an earlier copy from elsewhere) left links where the copy's folder and file go.
    fs::create_directory_symlink(outside, dest / "STICK/Docs");
    BackupResult result = run(makeConfig(dest, "STICK", {"Docs"}));
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(readFile(outside / "secret.txt"), "secret");
    EXPECT_FALSE(fs::exists(outside / "new.txt"));
    EXPECT_FALSE(fs::is_symlink(dest / "STICK/Docs"));
    EXPECT_EQ(readFile(dest / "STICK/Docs/new.txt"), "from the drive");
}

TEST_F(HostileDrive, ALinkInPlaceOfTheDriveFolderIsAnIssueNotAWayOut) {
    fs::create_directories(dest);
    fs::create_directories(tmp / "elsewhere");
    fs::create_directory_symlink(tmp / "elsewhere", dest / "STICK");
    BackupResult result = run(makeConfig(dest, "STICK", {"Docs"}));
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].path, (dest / "STICK").string());
    EXPECT_TRUE(fs::is_empty(tmp / "elsewhere"));
}

TEST_F(HostileDrive, DevicesAndPipesListedAsSourcesAreRefusedWithoutBlocking) {
    ASSERT_EQ(::mkfifo((drive / "pipe").c_str(), 0644), 0);
    BackupResult result = run(makeConfig(dest, "STICK", {"pipe", "Docs"}));
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].path, "pipe");
    EXPECT_EQ(result.errors[0].reason, english("engine.notRegular"));
    EXPECT_EQ(result.filesCopied, 1);
}

TEST_F(HostileDrive, MirrorPruningStaysInsideTheDrivesCopy) {
    writeFile(dest / "STICK/old.txt", "old");
    writeFile(dest / "other-drive/keep.txt", "keep");
    fs::create_directory_symlink(outside, dest / "STICK/planted");
    // Whole drive, mirror mode, and a drive name that tries to climb out.
    BackupResult result = run(makeConfig(dest, "STICK", {""}, BackupMode::sync, true));
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.filesDeleted, 2);
    EXPECT_EQ(readFile(outside / "secret.txt"), "secret");
    EXPECT_EQ(readFile(dest / "other-drive/keep.txt"), "keep");
    BackupResult climbing = run(makeConfig(dest, "..", {""}, BackupMode::sync, true));
    EXPECT_TRUE(climbing.errors.empty());
    EXPECT_EQ(readFile(dest / "other-drive/keep.txt"), "keep");
    EXPECT_TRUE(fs::exists(dest / "STICK/Docs/ok.txt"));
}

TEST_F(HostileDrive, ADriveNamedLikeAnotherNeverPrunesTheOthersCopy) {
    writeFile(tmp / "victim/Thesis/final.tex", "years of work");
    DriveConfig victim = makeConfig(dest, "WORK", {""}, BackupMode::sync, true);
    BackupResult first = BackupEngine::run(victim, tmp / "victim", AppLanguage::english, {}, env);
    ASSERT_TRUE(first.errors.empty());
    // Another drive calls itself "WORK" too and asks for a whole-drive mirror.
    DriveConfig impostor = makeConfig(dest, "WORK", {""}, BackupMode::sync, true);
    impostor.driveID = Uuid::random().toString();
    BackupResult result = run(impostor);
    const bool recorded =
        ::getxattr((dest / "WORK").c_str(), "user.keelbox.driveID", nullptr, 0) > 0;
    KEELBOX_REQUIRE_CAPABILITY(recorded, "the temp folder's file system keeps no user attributes");
    EXPECT_EQ(readFile(dest / "WORK/Thesis/final.tex"), "years of work");
    EXPECT_EQ(result.filesDeleted, 0);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].reason, english("engine.pruneForeign"));
    EXPECT_EQ(result.errors[0].suggestion, english("engine.pruneForeignHint"));
    // The owner itself still mirrors.
    fs::remove_all(tmp / "victim/Thesis");
    writeFile(tmp / "victim/new.txt", "n");
    BackupResult owner = BackupEngine::run(victim, tmp / "victim", AppLanguage::english, {}, env);
    EXPECT_TRUE(owner.errors.empty());
    EXPECT_GE(owner.filesDeleted, 1);
    EXPECT_FALSE(fs::exists(dest / "WORK/Thesis"));
}

} // namespace
} // namespace keelbox::test
