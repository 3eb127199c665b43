// What a hostile drive's configuration could ask for: refused, nothing read or written astray.

#include "EngineTestSupport.h"

#include "engine/Destination.h"

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
    bool secretCopiedAnywhere() {
        return std::ranges::any_of(
            fs::recursive_directory_iterator(tmp.path()), [&](const auto& e) {
                return e.is_regular_file() && !e.is_symlink() &&
                       e.path() != outside / "secret.txt" && readFile(e.path()) == "secret";
            });
    }
    void expectOneIssue(const BackupResult& result, const std::string& key) {
        ASSERT_EQ(result.errors.size(), 1u);
        EXPECT_EQ(std::tuple(result.errors[0].suggestion, result.filesCopied),
                  std::tuple(std::optional{english("engine." + key + "Hint")}, Int{0}));
    }

    fs::path outside = tmp / "outside";
};

TEST_F(HostileDrive, SourcesOutsideTheDriveAreRefusedUnread) {
    fs::create_directory_symlink(outside, drive / "escape");
    fs::create_symlink(outside / "secret.txt", drive / "secret-link");
    fs::create_directory_symlink("../outside", drive / "relative-escape");
    fs::create_directory_symlink(drive / "Docs", drive / "inside-link");
    // Absolute, cut short by a NUL, climbing out by "..", and through links of each kind.
    for (const std::string& source : std::vector<std::string>{
             "/etc", std::string("Docs\0/../x", 10), "Docs/../../outside/secret.txt", "escape",
             "secret-link", "relative-escape"}) {
        fs::remove_all(dest);
        const BackupResult result = run(plain({source}));
        expectOneIssue(result, "srcOutside");
        EXPECT_EQ(
            std::tuple(result.errors.at(0).path, listTree(copy).size(), secretCopiedAnywhere()),
            std::tuple(source, 0u, false));
    }
    // A link that stays on the drive is fine; the pre-count does not look outside either.
    EXPECT_EQ(run(plain({"inside-link", "escape", "secret-link"})).filesCopied, 1);
    EXPECT_EQ(reports.back().filesTotal, 1);
}

// A made-up computer: moved XDG folders, a localized desktop, links, /run and mounted disks.
TEST(DestinationRule, RefusesWhatTheComputerRunsOrTrustsAndDisksThatAreAbsent) {
    DestinationFacts facts;
    facts.home = "/home/anna";
    facts.configHome = "/home/anna/.config";
    facts.dataHome = "/home/anna/.local/share";
    facts.desktops = {"/home/anna/Desktop", "/home/anna/Pulpit"};
    facts.temporaryFolders = {"/run/user/1000/tmp", "/tmp", "/home/anna/.cache/tmp"};
    facts.volumeRoot = "/run/media/anna/STICK";
    facts.mountPoints = {"/", "/run", "/run/media/anna/STICK", "/run/media/anna/Disk", "/mnt/usb"};
    facts.userMounts = {"/run/user/1000/gvfs", "/run/user/1001/gvfs"};
    facts.userName = "anna";
    facts.user = 1000;
    // Links the user owns in place of the drive folder, of another's, through a linked folder
    // and into a trusted one are real ones in LinksPlantedInTheCopyAreReplacedNeverWrittenThrough
    // and RefusedDestinationsCreateNothing; here only the day folder's own link.
    const fs::path dayLink = "/home/anna/Backups/Day/2026-12-06", today = "/mnt/usb/days/today";
    facts.resolve = [&](const fs::path& path) {
        return path.lexically_normal() == dayLink ? today : path.lexically_normal();
    };
    facts.linkOwner = [&](const fs::path& path) -> std::optional<uid_t> {
        return path.lexically_normal() == dayLink ? std::optional<uid_t>{1000} : std::nullopt;
    };
    // destination, drive folder (and "/" a day folder), refusal, the folder written or named
    const std::tuple<std::string, std::string, std::string, std::string> rows[] = {
        {"~//Backups", "STICK", "", "/home/anna/Backups/STICK"},
        {"Relative", "STICK", "", "/home/anna/Relative/STICK"},
        {"~/Documents/.stash", "STICK", "", "/home/anna/Documents/.stash/STICK"},
        {"/run/media/anna/Disk", "STICK", "", "/run/media/anna/Disk/STICK"},
        {"/run/user/1000/tmp/x", "STICK", "", "/run/user/1000/tmp/x/STICK"},
        {"/run/user/1000/gvfs/smb-share:server=nas,share=b", "STICK", "",
         "/run/user/1000/gvfs/smb-share:server=nas,share=b/STICK"},
        {"/run/user/1001/gvfs/x", "STICK", "destTrusted", "/run/user/1001/gvfs/x/STICK"},
        {"~/Backups", "Day/2026-12-06", "", "/mnt/usb/days/today"},
        {"/run/media/anna/BACKUPDISK/Keelbox", "STICK", "destNotMounted",
         "/run/media/anna/BACKUPDISK"},
        {"/mnt/gone/Backups", "STICK", "destNotMounted", "/mnt/gone"},
        {"/run/media/anna/STICK", "copy", "destOnDrive", ""},
        {"/run/media/anna", "STICK", "destOnDrive", ""},
        {"~/.config/autostart", "STICK", "destTrusted", "/home/anna/.config/autostart/STICK"},
        {"~", ".ssh", "destTrusted", "/home/anna/.ssh"},
        {"~/Pulpit", "STICK", "destTrusted", "/home/anna/Pulpit/STICK"},
        {"~/Backups/..", ".config", "destTrusted", "/home/anna/.config"},
        {"/", "home", "destTrusted", "/home"},
        {"/home", "bob", "destTrusted", "/home/bob"},
        {"/root/.config", "autostart", "destTrusted", "/root/.config/autostart"},
        {"/run", "systemd", "destTrusted", "/run/systemd"},
        {std::string("/tmp\0/../etc", 12), "xdg", "destTrusted", ""},
    };
    for (const auto& [destination, folder, refusal, written] : rows) {
        const auto slash = folder.find('/');
        const std::string drive = folder.substr(0, slash);
        const std::string day = slash == std::string::npos ? "" : folder.substr(slash + 1);
        const DestinationPlan plan = planDestination(destination, drive, day, facts);
        EXPECT_EQ(plan.reasonKey, refusal.empty() ? "" : "engine." + refusal);
        const fs::path planned = day.empty() ? plan.driveFolder : plan.dayFolder;
        EXPECT_EQ(refusal.empty() ? planned : fs::path(written.empty() ? "" : plan.detail),
                  fs::path(written));
        EXPECT_EQ(plan.missingDisk,
                  refusal == "destNotMounted" ? fs::path(written).filename().string() : "");
    }
}

// With the computer's links really resolved; the self-test's own tree is allowed anywhere.
TEST_F(HostileDrive, RefusedDestinationsCreateNothing) {
    fs::create_directory_symlink(home / ".config", home / "Innocent");
    fs::create_directory_symlink(drive, tmp / "link-to-drive");
    const auto homeBefore = listTree(home);
    const auto driveBefore = listTree(drive);
    const std::string absentDisk = "/media/" + tmp.path().filename().string() + "/Absent/Disk";
    const std::pair<std::string, const char*> rows[] = {
        {"~/Innocent", "destTrusted"},
        {absentDisk, "destNotMounted"},
        {(tmp / "link-to-drive").string(), "destOnDrive"}};
    for (const auto& [destination, reason] : rows) {
        BackupResult result =
            run(makeConfig(destination, tmp.path().filename().string(), {"Docs"}));
        expectOneIssue(result, reason);
        EXPECT_EQ(listTree(home), homeBefore);
        EXPECT_EQ(listTree(drive), driveBefore);
    }
    EXPECT_FALSE(fs::exists("/media/" + tmp.path().filename().string()));
    env.callersOwnFolder = home / ".config/selftest";
    EXPECT_TRUE(run(makeConfig(home / ".config/selftest/DEST", "STICK", {"Docs"})).errors.empty());
}

// Whole-drive mirrors, whose pruning must stay inside the drive's own folder too.
TEST_F(HostileDrive, DriveNamesThatWouldLeaveTheDestinationGetASafeFolder) {
    writeFile(dest / "other-drive/keep.txt", "keep");
    const std::pair<std::string, std::string> rows[] = {{"..", "USB"},
                                                        {"/", "-"},
                                                        {"../..", "..-.."},
                                                        {"A/B:C", "A-B-C"},
                                                        {std::string("a\0b", 3), "a-b"}};
    for (const auto& [driveName, folder] : rows) {
        BackupResult result = run(makeConfig(dest, driveName, {""}, BackupMode::sync, true));
        EXPECT_EQ(onlyIssue(result), "0 issues");
        EXPECT_EQ(result.destinationRoot, dest / folder);
        EXPECT_EQ(readFile(dest / folder / "Docs/ok.txt"), "ok");
    }
    EXPECT_FALSE(fs::exists(tmp / "Docs"));
    EXPECT_FALSE(fs::exists(dest / "Docs"));
    EXPECT_EQ(readFile(dest / "other-drive/keep.txt"), "keep");
}

TEST_F(HostileDrive, LinksPlantedInTheCopyAreReplacedNeverWrittenThrough) {
    writeFile(drive / "Docs/secret.txt", "overwrite attempt");
    writeFile(drive / "Docs/Inner/new.txt", "from the drive");
    fs::create_directories(outside / "folder");
    markOwned(copy);
    fs::create_directories(copy / "Docs");
    fs::create_symlink(outside / "secret.txt", copy / "Docs/secret.txt");
    fs::create_directory_symlink(outside / "folder", copy / "Docs/Inner");
    EXPECT_TRUE(run(plain({"Docs"})).errors.empty());
    EXPECT_EQ(readFile(outside / "secret.txt"), "secret");
    EXPECT_TRUE(fs::is_empty(outside / "folder"));
    EXPECT_EQ(listTree(copy / "Docs"),
              (std::vector<std::string>{"Inner/", "Inner/new.txt", "ok.txt", "secret.txt"}));

    // A link in place of the source's folder too; one in place of the drive folder only if ours.
    fs::remove_all(copy / "Docs");
    fs::create_directory_symlink(outside / "folder", copy / "Docs");
    EXPECT_TRUE(run(plain({"Docs"})).errors.empty());
    EXPECT_EQ(listTree(copy / "Docs").size(), 4u);
    EXPECT_TRUE(fs::is_empty(outside / "folder"));
    fs::remove_all(copy);
    const std::tuple<fs::path, uid_t, const char*> rows[] = {
        {outside / "folder", 4242, "engine.destLink"},
        {home / ".config/autostart", ::geteuid(), "engine.destTrusted"},
        {outside / "folder", ::geteuid(), nullptr}};
    for (const auto& [target, owner, refusal] : rows) {
        fs::remove(copy);
        fs::create_directory_symlink(target, copy);
        if (::lchown(copy.c_str(), owner, static_cast<gid_t>(-1)) != 0)
            GTEST_SKIP() << "cannot give a link away without root";
        BackupResult linked = run(plain({"Docs"}));
        if (refusal) {
            expectOneIssue(linked, std::string(refusal).substr(7));
            EXPECT_TRUE(fs::is_empty(target));
        } else {
            EXPECT_TRUE(linked.errors.empty());
            EXPECT_EQ(readFile(target / "Docs/Inner/new.txt"), "from the drive");
        }
    }
}

TEST_F(HostileDrive, DevicesAndPipesAreRefusedOrSkippedWithoutBlocking) {
    ASSERT_EQ(::mkfifo((drive / "pipe").c_str(), 0644), 0);
    ASSERT_EQ(::mkfifo((drive / "Docs/inner-pipe").c_str(), 0644), 0);
    BackupResult result = run(plain({"pipe", "Docs"}));
    EXPECT_EQ(onlyIssue(result), "pipe — " + english("engine.notRegular"));
    EXPECT_EQ(std::tuple(result.filesCopied, reports.back().filesTotal),
              std::tuple(Int{1}, Int{1}));
    EXPECT_FALSE(fs::exists(copy / "Docs/inner-pipe"));
}

// A drive named like a folder the user already has: nothing in it is written or deleted.
TEST_F(HostileDrive, AnExistingFolderWithoutMarkIsLeftAlone) {
    writeFile(home / "Documents/Taxes/2025.pdf", "receipts");
    writeFile(home / "Documents/letter.odt", "dear");
    writeFile(drive / "Taxes", "a file where the user has a folder");
    writeFile(drive / "new.txt", "n");
    const auto before = listTree(home / "Documents");
    for (const bool mirrorOn : {false, true}) {
        BackupResult result = run(makeConfig("~", "Documents", {""}, BackupMode::sync, mirrorOn));
        expectOneIssue(result, "folderNotOurs");
        EXPECT_EQ(result.errors[0].path, (home / "Documents").string());
        EXPECT_EQ(listTree(home / "Documents"), before);
    }
    // An empty folder of that name is taken, and marked.
    fs::create_directories(home / "Empty");
    EXPECT_TRUE(run(makeConfig("~", "Empty", {""})).errors.empty());
    EXPECT_TRUE(fs::exists(home / "Empty/.keelbox-drive"));
}

} // namespace
} // namespace keelbox::test
