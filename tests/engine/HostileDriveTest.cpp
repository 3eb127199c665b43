// Configurations a hostile drive could carry, run against real temp trees: each must end in a
// clear issue without anything read outside the drive or written where it must not be.

#include "EngineTestSupport.h"

#include "core/Uuid.h"

#include <sys/stat.h>
#include <sys/xattr.h>

namespace keelbox::test {
namespace {

class HostileDrive : public EngineTest {
protected:
    HostileDrive() {
        fs::create_directories(home / ".config/autostart");
        fs::create_directories(home / ".ssh");
        writeFile(outside / "secret.txt", "secret");
        writeFile(drive / "Docs/ok.txt", "ok");
    }
    // Whether a file anywhere in the temp tree but its own place holds the outside secret.
    bool secretCopiedAnywhere() {
        for (const auto& entry : fs::recursive_directory_iterator(tmp.path())) {
            if (entry.is_regular_file() && !entry.is_symlink() &&
                entry.path() != outside / "secret.txt" && readFile(entry.path()) == "secret")
                return true;
        }
        return false;
    }
    void expectOneIssue(const BackupResult& result, const std::string& key) {
        ASSERT_EQ(result.errors.size(), 1u);
        EXPECT_EQ(result.errors[0].reason, english("engine." + key));
        EXPECT_EQ(result.errors[0].suggestion, english("engine." + key + "Hint"));
        EXPECT_EQ(result.filesCopied, 0);
    }

    fs::path outside = tmp / "outside";
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
        {"Docs/..", true},
        {std::string("Docs\0/../x", 10), true},
        {"escape", true},
        {"escape/secret.txt", true},
        {"secret-link", true},
        {"relative-escape", true},
        {"inside-link", false}, // a link that stays on the drive is fine
        {"Docs/./", false},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.source);
        fs::remove_all(dest);
        BackupResult result = run(makeConfig(dest, "STICK", {row.source}));
        if (row.refused) {
            expectOneIssue(result, "srcOutside");
            EXPECT_EQ(result.errors.at(0).path, row.source);
            EXPECT_TRUE(listTree(copy).empty());
        } else {
            EXPECT_TRUE(result.errors.empty());
            EXPECT_EQ(result.filesCopied, 1);
        }
        EXPECT_FALSE(secretCopiedAnywhere());
    }
    // The pre-count does not look outside either.
    run(makeConfig(dest, "STICK", {"escape", "../outside", "secret-link"}));
    EXPECT_EQ(reports.back().filesTotal, 0);
}

TEST_F(HostileDrive, BackupFoldersOnTheDriveItselfAreRefused) {
    fs::create_directory_symlink(drive, tmp / "link-to-drive");
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
    const auto before = listTree(drive);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        BackupResult result = run(makeConfig(row.destination, row.driveName, {""}));
        expectOneIssue(result, "destOnDrive");
        EXPECT_EQ(result.errors.at(0).path, (row.destination / row.driveName).string());
        EXPECT_EQ(listTree(drive), before);
    }
}

// Where the computer runs or trusts files: the root, system folders, the home folder and above,
// hidden folders and ~/bin in any home, the desktop (also under its localized name).
TEST_F(HostileDrive, PlacesTheComputerRunsOrTrustsAreRefused) {
    fs::create_directories(home / "Backups");
    fs::create_directory_symlink(home / ".config", home / "Innocent");
    writeFile(home / ".config/user-dirs.dirs", "# written by xdg-user-dirs-update\n"
                                               "XDG_DESKTOP_DIR=\"$HOME/Pulpit\"\n");
    const struct {
        std::string destination;
        std::string driveName;
        bool refused;
    } rows[] = {
        {"~", ".config", true},
        {"~/.config/autostart", "STICK", true},
        {"~/.local/bin", "STICK", true},
        {"~", ".ssh", true},
        {"~", "bin", true},
        {"~/bin", "tools", true},
        {"~", "Desktop", true},
        {"~", "Pulpit", true},
        {"~/Backups/..", ".config", true},
        {"~/..", "home", true},
        {"~/Innocent", "autostart", true},
        {"/etc", "xdg", true},
        {"/usr/local", "bin", true},
        {"/", "etc", true},
        {"/home", "someone-else", true},
        {"/root/.config", "autostart", true},
        {"/var/lib", "x", true},
        {"/boot", "efi", true},
        {"/opt", "app", true},
        {std::string("/tmp\0/../etc", 12), "xdg", true}, // a NUL cutting the path short
        {"~/Desktop", "STICK", false},
        {"~", "Backups", false},
        {"~/Documents/.stash", "STICK", false},
        {"Relative", "STICK", false}, // anchored at home, never at the working folder
    };
    const auto homeBefore = listTree(home);
    for (const auto& row : rows) {
        SCOPED_TRACE(row.destination + " + " + row.driveName);
        BackupResult result = run(makeConfig(row.destination, row.driveName, {"Docs"}));
        if (row.refused) {
            expectOneIssue(result, "destTrusted");
            EXPECT_EQ(listTree(home), homeBefore);
        } else {
            EXPECT_TRUE(result.errors.empty());
            EXPECT_EQ(result.filesCopied, 1);
        }
    }
    EXPECT_FALSE(fs::exists("/etc/xdg/Docs"));
    EXPECT_TRUE(fs::exists(home / "Relative/STICK/Docs/ok.txt"));
}

// Whole-drive mirrors, whose pruning must stay inside the drive's own folder too.
TEST_F(HostileDrive, DriveNamesThatWouldLeaveTheDestinationGetASafeFolder) {
    writeFile(dest / "other-drive/keep.txt", "keep");
    const struct {
        std::string driveName;
        std::string folder;
    } rows[] = {{"..", "USB"},
                {".", "USB"},
                {"/", "-"},
                {"../..", "..-.."},
                {"", "USB"},
                {"A/B:C", "A-B-C"},
                {" padded ", " padded "},
                {std::string("a\0b", 3), "a-b"},
                {"Zażółć", "Zażółć"}};
    for (const auto& row : rows) {
        SCOPED_TRACE(row.driveName);
        BackupResult result = run(makeConfig(dest, row.driveName, {""}, BackupMode::sync, true));
        EXPECT_TRUE(result.errors.empty());
        EXPECT_EQ(result.destinationRoot, dest / row.folder);
        EXPECT_EQ(readFile(dest / row.folder / "Docs/ok.txt"), "ok");
    }
    EXPECT_FALSE(fs::exists(tmp / "Docs"));
    EXPECT_FALSE(fs::exists(dest / "Docs"));
    EXPECT_EQ(readFile(dest / "other-drive/keep.txt"), "keep");
}

TEST_F(HostileDrive, LinksPlantedInTheCopyAreReplacedNeverWrittenThrough) {
    writeFile(drive / "Docs/secret.txt", "overwrite attempt");
    writeFile(drive / "Docs/Inner/new.txt", "from the drive");
    fs::create_directories(outside / "folder");
    // Somebody (or an earlier copy from elsewhere) left links where the copy's files and folders
    // go.
    fs::create_directories(copy / "Docs");
    fs::create_symlink(outside / "secret.txt", copy / "Docs/secret.txt");
    fs::create_directory_symlink(outside / "folder", copy / "Docs/Inner");
    BackupResult result = run(makeConfig(dest, "STICK", {"Docs"}));
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(readFile(outside / "secret.txt"), "secret");
    EXPECT_TRUE(fs::is_empty(outside / "folder"));
    EXPECT_FALSE(fs::is_symlink(copy / "Docs/secret.txt"));
    EXPECT_FALSE(fs::is_symlink(copy / "Docs/Inner"));
    EXPECT_EQ(readFile(copy / "Docs/Inner/new.txt"), "from the drive");

    // So is a link in place of the source's own folder; one in place of the drive's folder cannot
    // be, and is an issue, not a way out.
    fs::remove_all(copy / "Docs");
    fs::create_directory_symlink(outside / "folder", copy / "Docs");
    EXPECT_TRUE(run(makeConfig(dest, "STICK", {"Docs"})).errors.empty());
    EXPECT_FALSE(fs::is_symlink(copy / "Docs"));
    EXPECT_TRUE(fs::is_empty(outside / "folder"));
    fs::remove_all(copy);
    fs::create_directory_symlink(outside / "folder", copy);
    BackupResult drivesFolder = run(makeConfig(dest, "STICK", {"Docs"}));
    ASSERT_EQ(drivesFolder.errors.size(), 1u);
    EXPECT_EQ(drivesFolder.errors[0].path, copy.string());
    EXPECT_TRUE(fs::is_empty(outside / "folder"));
}

TEST_F(HostileDrive, DevicesAndPipesAreRefusedOrSkippedWithoutBlocking) {
    ASSERT_EQ(::mkfifo((drive / "pipe").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((drive / "Docs/inner-pipe").c_str(), 0644), 0);
    BackupResult result = run(makeConfig(dest, "STICK", {"pipe", "Docs"}));
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].path, "pipe");
    EXPECT_EQ(result.errors[0].reason, english("engine.notRegular"));
    EXPECT_EQ(result.filesCopied, 1);
    EXPECT_EQ(reports.back().filesTotal, 1);
    EXPECT_FALSE(fs::exists(copy / "Docs/inner-pipe"));
}

TEST_F(HostileDrive, ADriveNamedLikeAnotherNeverPrunesTheOthersCopy) {
    writeFile(tmp / "victim/Thesis/final.tex", "years of work");
    DriveConfig victim = makeConfig(dest, "WORK", {""}, BackupMode::sync, true);
    ASSERT_TRUE(run(victim, tmp / "victim").errors.empty());
    const bool recorded =
        ::getxattr((dest / "WORK").c_str(), "user.keelbox.driveID", nullptr, 0) > 0;
    KEELBOX_REQUIRE_CAPABILITY(recorded, "the temp folder's file system keeps no user attributes");
    // Another drive calls itself "WORK" too and asks for a whole-drive mirror.
    DriveConfig impostor = victim;
    impostor.driveID = Uuid::random().toString();
    BackupResult result = run(impostor);
    EXPECT_EQ(readFile(dest / "WORK/Thesis/final.tex"), "years of work");
    EXPECT_EQ(result.filesDeleted, 0);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].reason, english("engine.pruneForeign"));
    EXPECT_EQ(result.errors[0].suggestion, english("engine.pruneForeignHint"));
    // The owner itself still mirrors.
    fs::remove_all(tmp / "victim/Thesis");
    writeFile(tmp / "victim/new.txt", "n");
    BackupResult owner = run(victim, tmp / "victim");
    EXPECT_TRUE(owner.errors.empty());
    EXPECT_GE(owner.filesDeleted, 1);
    EXPECT_FALSE(fs::exists(dest / "WORK/Thesis"));
}

} // namespace
} // namespace keelbox::test
