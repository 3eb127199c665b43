// Real mounted file systems (ext4, FAT and exFAT through FUSE) and real permission faults.

#include "EngineTestSupport.h"

#include "core/ConfigFile.h"
#include "engine/VolumeIds.h"
#include "localization/Format.h"
#include "selftest/Capabilities.h"

#include <sys/ioctl.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>

namespace keelbox::test {
namespace {

using namespace std::string_literals;
using Kind = MountedImage::Kind;
using RealFileSystem = EngineTest;
class OnImage : public EngineTest, public ::testing::WithParamInterface<Kind> {};
using CoarseTimes = OnImage;
using DriveFolders = OnImage;
using DatedSnapshots = OnImage;

// Copies up to 2 s older than their sources (FAT, exFAT round down) are still unchanged.
TEST_P(CoarseTimes, ASecondRunFindsEverythingUnchanged) {
    KEELBOX_MOUNTED_IMAGE(image, GetParam(), 64);
    for (const auto& [name, seconds, nanos] : {std::tuple{"odd.txt", 1700000001, 700000000},
                                               {"almost.txt", 1700000003, 999999999},
                                               {"even.txt", 1700000000, 0},
                                               {"Sub/deeper/nested.txt", 1700000005, 1}}) {
        writeFile(drive / name, std::string("content of ") + name, 0640);
        setModified(drive / name, seconds, nanos);
    }
    fs::create_directories(drive / "Empty");
    const fs::path onImage = image.mountPoint / "Backups";
    const DriveConfig config = makeConfig(onImage, "STICK", {""}, BackupMode::sync, true);

    // Not even an issue for permissions the disk cannot keep.
    const BackupResult first = run(config);
    EXPECT_EQ(
        std::tuple(onlyIssue(first), first.filesCopied, fs::is_directory(onImage / "STICK/Empty")),
        std::tuple("0 issues"s, Int{4}, true));
    EXPECT_EQ(run(config).filesSkipped, 4);

    writeFile(drive / "odd.txt", "changed, and longer than before");
    fs::remove(drive / "even.txt");
    BackupResult third = run(config);
    EXPECT_EQ(
        std::tuple(third.errors.size(), third.filesCopied, third.filesSkipped, third.filesDeleted),
        std::tuple(std::size_t{0}, Int{1}, Int{2}, Int{1}));
    EXPECT_EQ(readFile(onImage / "STICK/odd.txt"), "changed, and longer than before");
}

INSTANTIATE_TEST_SUITE_P(Kinds, CoarseTimes, ::testing::Values(Kind::fat, Kind::exfat), kindName);

// The owner mark is a file, so ext4 and exFAT behave alike. The drive is an image of its own, and
// its clone a second image of the same size with the same file system UUID.
TEST_P(DriveFolders, BelongToOneDriveSurviveItsSetUpAgainAndNeverGoToAClone) {
    KEELBOX_MOUNTED_IMAGE(image, GetParam(), 64);
    KEELBOX_MOUNTED_IMAGE(stick, Kind::ext4, 8);
    KEELBOX_MOUNTED_IMAGE(clone, Kind::ext4, 8);
    const fs::path onImage = image.mountPoint / "Backups";
    const fs::path work = onImage / "WORK";
    writeFile(stick.mountPoint / "Thesis/final.tex", "years of work");
    DriveConfig owner = makeConfig(onImage, "WORK", {""}, BackupMode::sync, true);
    env.volumeUUID = "1111-AAAA";
    ASSERT_TRUE(run(owner, stick.mountPoint).errors.empty());
    const auto before = listTree(work);

    // Another stick with the same label, or a clone set up on its own, mirroring or not: nothing
    // written, nothing deleted, and the clone is told to take its own name.
    writeFile(tmp / "other/private.txt", "the other stick's");
    writeFile(clone.mountPoint / "private.txt", "the clone's");
    DriveConfig other = owner;
    other.driveID = Uuid::random().toString();
    const std::tuple<const char*, fs::path, bool, const char*> strangers[] = {
        {"2222-BBBB", tmp / "other", true, "engine.folderForeignHint"},
        {"", tmp / "other", false, "engine.folderForeignHint"},
        {"1111-AAAA", clone.mountPoint, true, "engine.folderCloneHint"}};
    for (const auto& [uuid, root, mirrorOn, hint] : strangers) {
        env.volumeUUID = uuid;
        other.deleteRemovedFiles = mirrorOn;
        BackupResult result = run(other, root);
        EXPECT_EQ(onlyIssue(result), work.string() + " — " + english("engine.folderForeign"));
        EXPECT_EQ(result.errors.at(0).suggestion, english(hint)) << uuid;
        EXPECT_EQ(listTree(work), before);
    }

    // The owner's configuration made anew on the same stick: still its folder, and the first run
    // deletes nothing; the next one mirrors again.
    DriveConfig again = owner;
    again.driveID = Uuid::random().toString();
    env.volumeUUID = "1111-AAAA";
    fs::remove_all(stick.mountPoint / "Thesis");
    writeFile(stick.mountPoint / "new.txt", "n");
    for (const Int deleted : {0, 1}) {
        BackupResult result = run(again, stick.mountPoint);
        EXPECT_EQ(std::tuple(result.errors.size(), result.filesDeleted), std::tuple(0u, deleted));
    }
    EXPECT_EQ(listTree(work), (std::vector<std::string>{"lost+found/", "new.txt"}));
}
INSTANTIATE_TEST_SUITE_P(Kinds, DriveFolders, ::testing::Values(Kind::exfat, Kind::ext4), kindName);

// Rules the system will not hand over say so, never "bad JSON", and hold back config --new (which
// salvages the identity through the same reader): a mode-000 file, and a failing disk (an ext4
// image shut down as a dying device would be).
TEST_F(RealFileSystem, RulesTheSystemWillNotHandOverSayWhy) {
    KEELBOX_MOUNTED_IMAGE(stick, Kind::ext4, 8);
    const fs::path file = stick.mountPoint / ".keelbox.json";
    writeFile(file, encodeConfig(makeConfig(dest, "STICK", {""})), 0);
    for (const ConfigFault::Kind kind :
         {ConfigFault::Kind::unreadable, ConfigFault::Kind::ioError}) {
        FilePermissionsEnforced heldToPermissions;
        KEELBOX_REQUIRE_CAPABILITY(!canOverrideFilePermissions(), "cannot drop CAP_DAC_OVERRIDE");
        if (kind == ConfigFault::Kind::ioError) {
            ::chmod(file.c_str(), 0644);
            const int root = ::open(stick.mountPoint.c_str(), O_RDONLY | O_DIRECTORY);
            unsigned flags = 2; // EXT4_GOING_FLAGS_NOLOGFLUSH
            KEELBOX_REQUIRE_CAPABILITY(::ioctl(root, _IOR('X', 125, __u32), &flags) == 0,
                                       "ext4 cannot be shut down here");
            ::close(root);
        }
        ConfigFault salvaged;
        EXPECT_EQ(std::pair(readConfig(stick.mountPoint).fault.kind,
                            salvageDriveID(stick.mountPoint, &salvaged)),
                  std::pair(kind, std::optional<std::string>{}));
        EXPECT_TRUE(salvaged.kind == kind && faultHidesContent(salvaged));
    }
}

// The label and UUID of a mounted drive, from udev's record of its device, without D-Bus.
TEST_F(RealFileSystem, AMountedDriveIsNamedByUdevsRecordOfItsDevice) {
    KEELBOX_MOUNTED_IMAGE(image, Kind::ext4, 8);
    struct stat st {};
    ASSERT_EQ(::stat(image.mountPoint.c_str(), &st), 0);
    VolumeIdSources sources;
    sources.udevData = tmp / "udev";
    writeFile(sources.udevData /
                  ("b" + std::to_string(major(st.st_dev)) + ":" + std::to_string(minor(st.st_dev))),
              "S:disk/by-label/My\\x20Disk\nE:ID_FS_UUID=0b1e-77aa\nE:ID_FS_LABEL=My_Disk\n"
              "E:ID_FS_LABEL_ENC=My\\x20Disk\\x2fx\n");
    const VolumeIds ids = volumeIds(image.mountPoint, sources);
    EXPECT_EQ(std::tuple(ids.mountPoint, ids.label, ids.uuid),
              std::tuple(true, std::string("My Disk/x"), std::string("0b1e-77aa")));
    fs::create_directories(image.mountPoint / "sub");
    EXPECT_FALSE(volumeIds(image.mountPoint / "sub", sources).mountPoint);
}

TEST_F(RealFileSystem, AFullDestinationReportsAndTheNextRunCompletesWithoutLoss) {
    KEELBOX_MOUNTED_IMAGE(image, Kind::ext4, 8);
    const fs::path onImage = image.mountPoint / "Backups";
    writeFile(drive / "a.bin", std::string(1024 * 1024 + 123, 'a'));
    writeFile(drive / "b.bin", std::string(1024 * 1024 + 456, 'b'));
    writeFile(drive / "small.txt", "small");
    // Leave room for one of the two large files only.
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(image.mountPoint.c_str(), &vfs), 0);
    const long long fillerSize =
        static_cast<long long>(vfs.f_bavail) * vfs.f_frsize - (1024 * 1024 + 700 * 1024);
    ASSERT_GT(fillerSize, 0);
    writeFile(image.mountPoint / "filler", std::string(static_cast<size_t>(fillerSize), 'f'));

    const DriveConfig config = makeConfig(onImage, "STICK", {""});
    std::vector<std::pair<SpaceShortage, std::size_t>> warnings; // with the reports before it
    env.onSpaceShortage = [&](const SpaceShortage& s) { warnings.emplace_back(s, reports.size()); };
    BackupResult full = run(config);
    ASSERT_EQ(warnings.size(), 1u);
    // Which file finds no room first depends on how the two copying threads interleave; the
    // run stops there with one issue, whose free space is that left once a large file is copied.
    ASSERT_EQ(full.errors.size(), 1u);
    const std::string warnedFree =
        formatFileSize(warnings[0].first.available, AppLanguage::english) + " is free.";
    EXPECT_EQ(std::tuple(warnings[0].first.needed, warnings[0].second, partialsIn(onImage).size(),
                         full.filesCopied < 2 || !full.errors[0].reason.ends_with(warnedFree)),
              std::tuple(2097736, 0u, 0u, true));
    // Whatever sits at a final name is whole; once there is room, everything is there.
    for (const char* name : {"a.bin", "b.bin", "small.txt"})
        EXPECT_TRUE(!fs::exists(onImage / "STICK" / name) ||
                    readFile(onImage / "STICK" / name) == readFile(drive / name))
            << name;
    // With part of the copy there, the walk finds that the rest will not fit before it fails.
    const BackupResult again = run(config);
    ASSERT_EQ(warnings.size(), 2u);
    EXPECT_EQ(std::pair(warnings[1].first.atLeast, again.errors.size()),
              std::pair(true, std::size_t{1}));
    ASSERT_TRUE(fs::remove(image.mountPoint / "filler"));
    EXPECT_EQ(run(config).filesCopied, 3 - full.filesCopied - again.filesCopied);
    EXPECT_EQ(listTree(onImage / "STICK"), listTree(drive));
}

// A drive pulled mid-run: its file system unmounted (lazily, as the desktop does once the device
// is gone) and reads failing as a vanished device's do. One outcome, not one issue per file; the
// same error from a drive still mounted is a damaged file.
TEST_F(RealFileSystem, APulledDriveEndsTheRunWithOneOutcome) {
    static struct {
        std::mutex lock;
        int error;
        ino_t first;
        fs::path yank;
    } pull;
    const std::string gone = "The drive was disconnected; 1 of 3 files copied.";
    for (const auto& [errnum, unmount, outcome] : {std::tuple{EIO, true, gone},
                                                   {ENODEV, false, gone},
                                                   {EIO, false, std::string("2 issues")}}) {
        ASSERT_EQ(shell("mount -t tmpfs keelbox-test '" + drive.string() + "'"), 0);
        for (const char* name : {"a.bin", "b.bin", "c.bin"})
            writeFile(drive / name, std::string(100000, name[0]));
        pull.error = errnum, pull.first = 0, pull.yank = unmount ? drive : fs::path{};
        SysCalls calls = realSysCalls();
        calls.copyFileRange = [](int, off_t*, int, off_t*, size_t, unsigned) {
            return errno = EXDEV, ssize_t{-1};
        };
        calls.sendFile = [](int, int, off_t*, size_t) { return errno = EINVAL, ssize_t{-1}; };
        // The first file read is copied; the others fail as a vanished device's do.
        calls.read = [](int in, void* buffer, size_t n) {
            struct stat st {};
            ::fstat(in, &st);
            std::lock_guard hold{pull.lock};
            if (pull.first == 0 || pull.first == st.st_ino)
                return pull.first = st.st_ino, realSysCalls().read(in, buffer, n);
            if (!pull.yank.empty() && shell("umount -l '" + pull.yank.string() + "'") == 0)
                pull.yank.clear();
            return errno = pull.error, ssize_t{-1};
        };
        const BackupResult result = withSysCalls(calls, [&] { return run(plain()); });
        shell("umount -l '" + drive.string() + "' 2>/dev/null");
        EXPECT_EQ(std::tuple(onlyIssue(result), result.ending == BackupResult::Ending::driveGone,
                             result.filesCopied, partialsIn(dest).size()),
                  std::tuple(outcome, outcome == gone, Int{1}, 0u));
        fs::remove_all(dest);
    }
}

TEST_F(RealFileSystem, AReadOnlyDestinationReportsEveryFileAndKeepsTheOldCopy) {
    KEELBOX_MOUNTED_IMAGE(image, Kind::ext4, 8);
    const fs::path onImage = image.mountPoint;
    markOwned(onImage / "STICK");
    writeFile(onImage / "STICK/a.txt", "old copy");
    setModified(onImage / "STICK/a.txt", 1000);
    writeFile(drive / "a.txt", "new content");
    writeFile(drive / "b.txt", "b");
    ASSERT_EQ(shell("mount -o remount,ro '" + onImage.string() + "'"), 0);

    BackupResult result = run(makeConfig(onImage, "STICK", {""}));
    ASSERT_EQ(result.errors.size(), 2u);
    EXPECT_EQ(std::tuple(result.errors[0].suggestion, result.errors[1].suggestion,
                         result.filesCopied, readFile(onImage / "STICK/a.txt")),
              std::tuple(english("engine.readOnlyHint"), english("engine.readOnlyHint"), Int{0},
                         "old copy"s));
    // A backup folder that cannot be made: one issue, the read-only disk.
    for (const fs::path& destination : {onImage, onImage / "New/Deeper"}) {
        EXPECT_EQ(onlyIssue(run(makeConfig(destination, "OTHER", {""}))),
                  (destination / "OTHER").string() + " — " + english("engine.readOnly"));
    }
}

TEST_F(RealFileSystem, UnreadableFilesAndFoldersAreIssuesAndCountAsProcessed) {
    writeFile(drive / "ok.txt", "ok");
    writeFile(drive / "locked.txt", "locked", 0000);
    writeFile(drive / "LockedDir/x.txt", "x");
    ASSERT_EQ(::chmod((drive / "LockedDir").c_str(), 0000), 0);
    // A folder in the way of the unreadable file stays until a new copy is complete.
    markOwned(copy);
    writeFile(copy / "locked.txt/kept.txt", "kept");
    FilePermissionsEnforced heldToPermissions;
    KEELBOX_REQUIRE_CAPABILITY(!canOverrideFilePermissions(),
                               "cannot drop CAP_DAC_OVERRIDE for the test thread");
    BackupResult result = run(plain());
    EXPECT_EQ(issuePaths(result), (std::vector<std::string>{"LockedDir", "locked.txt"}));
    for (const BackupIssue& issue : result.errors)
        EXPECT_EQ(issue.suggestion, english("engine.noPermHint"));
    EXPECT_EQ(std::tuple(result.filesCopied, reports.back().filesDone, reports.back().filesTotal,
                         readFile(copy / "locked.txt/kept.txt"), partialsIn(dest).size()),
              std::tuple(Int{1}, Int{2}, Int{2}, "kept"s, 0u));
}

TEST_F(RealFileSystem, NamesTooLongAreIssuesAndTheLongestLegalNameCopies) {
    const std::string longest(255, 'n'), tooLong(300, 'x');
    writeFile(drive / longest, "fits");
    fs::create_directories(drive / "Docs");
    EXPECT_TRUE(run(plain()).errors.empty());
    EXPECT_EQ(readFile(copy / longest), "fits");
    EXPECT_EQ(onlyIssue(run(plain({"Docs/" + tooLong}))),
              "Docs/" + tooLong + " — " + english("engine.nameLong"));
    EXPECT_EQ(onlyIssue(run(makeConfig(tmp / tooLong, "STICK", {""}))),
              (tmp / tooLong / "STICK").string() + " — " + english("engine.nameLong"));
}

// A folder met again below itself (as a damaged FAT or a bind mount makes it), and a nesting
// deeper than any real drive (built through descriptors: the whole path is longer than the kernel
// takes in one piece): each ends its branch with one issue.
TEST_F(RealFileSystem, AFolderInsideItselfOrNestedTooDeepEndsThatBranch) {
    KEELBOX_REQUIRE_CAPABILITY(::geteuid() == 0, "needs root for a bind mount");
    writeFile(drive / "A/file.txt", "a");
    fs::create_directories(drive / "A/sub/loop");
    const std::string loop = "'" + (drive / "A/sub/loop").string() + "'";
    ASSERT_EQ(shell("mount --bind '" + (drive / "A").string() + "' " + loop), 0);
    struct Unmount {
        std::string at;
        ~Unmount() { shell("umount " + at + " || umount -l " + at); }
    } unmount{loop};
    int fd = ::open(drive.c_str(), O_RDONLY | O_DIRECTORY);
    for (int level = 0; level < 1100 && fd >= 0; ++level) {
        const int next = ::mkdirat(fd, "d", 0755) == 0 ? ::openat(fd, "d", O_RDONLY) : -1;
        ::close(fd);
        fd = next;
    }
    ASSERT_GE(fd, 0);
    ::close(fd);
    BackupResult result = run(plain());
    ASSERT_EQ(result.errors.size(), 2u);
    EXPECT_EQ(std::tuple(issuePaths(result)[0] + " — " + result.errors[0].reason,
                         result.errors[1].reason, result.filesCopied, reports.back().filesTotal,
                         readFile(copy / "A/file.txt")),
              std::tuple("A/sub/loop — " + english("engine.tooDeep"), english("engine.tooDeep"),
                         Int{1}, Int{1}, "a"s));
    // Removing such a tree needs descriptors too; rm copes with long paths.
    shell("rm -rf '" + drive.string() + "' '" + dest.string() + "'");
}

// Clashes and unstorable names are reported, the first name's copy stays, nothing is pruned.
TEST_F(RealFileSystem, ACaseInsensitiveBackupDiskNeitherOverwritesNorPrunes) {
    KEELBOX_MOUNTED_IMAGE(image, Kind::exfat, 64);
    const fs::path onImage = image.mountPoint / "Backups";
    const std::vector<std::pair<std::string, std::string>> pairs{
        {"Report.txt", "report.txt"}, {"Zażółć.txt", "ZAŻÓŁĆ.TXT"}, {"Sub/x.txt", "Sub/X.TXT"}};
    for (const auto& [a, b] : pairs) {
        writeFile(drive / a, "content of " + a);
        writeFile(drive / b, "other content, " + b);
    }
    writeFile(drive / "a:b", "colon");
    writeFile(drive / "what?", "question");
    std::map<std::string, std::string> copied; // the first run's copy of each pair
    for (const bool mirror : {false, true, true}) {
        const BackupResult r = run(makeConfig(onImage, "STICK", {""}, BackupMode::sync, mirror));
        EXPECT_EQ(r.filesDeleted, 0);
        std::map<std::string, std::string> reasons;
        for (const BackupIssue& issue : r.errors)
            reasons[issue.path] = issue.reason;
        ASSERT_EQ(reasons.size(), 5u) << r.errors.front().summaryLine();
        for (const char* name : {"a:b", "what?"})
            EXPECT_EQ(reasons[name], english("engine.badName")) << name;
        for (const auto& [a, b] : pairs) {
            const bool aCopied = reasons.contains(b);
            const std::string& kept = aCopied ? a : b;
            EXPECT_EQ(reasons[aCopied ? b : a], formatText(english("engine.caseClash"),
                                                           {fs::path(kept).filename().string()}));
            const std::string content = readFile(onImage / "STICK" / a);
            EXPECT_EQ(content, readFile(drive / kept));
            EXPECT_EQ(content, copied.emplace(a, content).first->second) << a;
        }
    }
}

// 1 GiB with three bytes of data, copied by copy_file_range, by sendfile, or by read and write.
TEST_F(RealFileSystem, SparseFilesStaySparseOnEveryPathOfTheCopy) {
    const fs::path file = drive / "disk.img";
    const std::pair<off_t, std::string> pieces[] = {
        {0, "head"}, {off_t{512} << 20, "middle"}, {(off_t{1} << 30) - 4, "tail"}};
    const int out = ::open(file.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(out, 0);
    for (const auto& [offset, text] : pieces)
        ASSERT_EQ(::pwrite(out, text.data(), text.size(), offset), ssize_t(text.size()));
    ::close(out);
    for (const int refused : {0, 1, 2}) {
        fs::remove_all(dest);
        SysCalls calls = realSysCalls();
        if (refused >= 1)
            calls.copyFileRange = [](int, off_t*, int, off_t*, size_t, unsigned) {
                return errno = EXDEV, ssize_t{-1};
            };
        if (refused >= 2)
            calls.sendFile = [](int, int, off_t*, size_t) { return errno = EINVAL, ssize_t{-1}; };
        ScopedSysCalls seam{calls};
        EXPECT_TRUE(run(plain()).errors.empty());
        struct stat st {};
        ::stat((copy / "disk.img").c_str(), &st);
        EXPECT_EQ(std::pair(st.st_size, st.st_blocks * 512 < 1 << 20),
                  std::pair(off_t{1} << 30, true));
        const int fd = ::open((copy / "disk.img").c_str(), O_RDONLY);
        for (const auto& [offset, text] : pieces) {
            std::string got(text.size(), '\0');
            EXPECT_EQ(got.substr(0, ::pread(fd, got.data(), got.size(), offset)), text);
        }
        ::close(fd);
    }
}

// Copied once more; one that keeps changing is reported and dated 1970 for the next run.
int changesLeft = 0;
std::string changingFile;

TEST_F(RealFileSystem, FilesChangingDuringTheirCopyAreCopiedAgainOrReported) {
    for (const int changes : {1, 2}) {
        fs::remove_all(dest);
        changingFile = (drive / "doc.txt").string();
        writeFile(changingFile, "version 0");
        changesLeft = changes;
        SysCalls calls = realSysCalls();
        calls.copyFileRange = [](int in, off_t* a, int out, off_t* b, size_t n, unsigned f) {
            if (changesLeft > 0) {
                --changesLeft;
                std::ofstream{changingFile, std::ios::app} << ", saved again";
            }
            return realSysCalls().copyFileRange(in, a, out, b, n, f);
        };
        BackupResult r = withSysCalls(calls, [&] { return run(plain()); });
        const bool reported = changes == 2;
        EXPECT_EQ(std::tuple(r.filesCopied, onlyIssue(r), modifiedOf(copy / "doc.txt").tv_sec == 0),
                  std::tuple(Int{reported ? 0 : 1},
                             reported ? "doc.txt — " + english("engine.changing") : "0 issues",
                             reported));
        EXPECT_EQ(reported ? run(plain()).filesCopied : 1, 1);
        EXPECT_EQ(readFile(copy / "doc.txt"), readFile(changingFile));
    }
}

// Links where the disk makes them, copies on FAT; day one never changes.
TEST_P(DatedSnapshots, DayTwoSharesUnchangedFilesAndNeverChangesDayOne) {
    KEELBOX_MOUNTED_IMAGE(image, GetParam(), 64);
    const bool links = GetParam() == Kind::ext4;
    for (int i = 0; i < 40; ++i)
        writeFile(drive / "A" / ("f" + std::to_string(i)), std::string(8192, char('a' + i % 26)));
    writeFile(drive / "edit.txt", "day one");
    setModified(drive / "edit.txt", 1700000000);
    const DriveConfig config = makeConfig(image.mountPoint, "STICK", {""}, BackupMode::dated);
    const Date dayTwo = now();
    env.clock = [&] { return dayTwo - std::chrono::hours(24); };
    ASSERT_EQ(run(config).filesCopied, 41);
    const fs::path one =
        image.mountPoint / "STICK" / dayFolderName(dayTwo - std::chrono::hours(24));
    const fs::path two = image.mountPoint / "STICK" / dayFolderName(dayTwo);
    writeFile(one / "A/.keelbox-partial-99999999-7", "left by a killed run");
    ::setxattr(one.c_str(), "user.keelbox.running", "1", 1, 0);
    env.clock = [&] { return dayTwo; };
    const BackupResult second = run(config);
    EXPECT_EQ(std::tuple(second.errors.size(), second.filesLinked, second.filesCopied,
                         partialsIn(one).size()),
              std::tuple(std::size_t{0}, Int{links ? 41 : 0}, Int{links ? 0 : 41}, 0u));
    EXPECT_EQ(listTree(two), listTree(one));

    writeFile(drive / "edit.txt", "day two, edited");
    ::chmod((drive / "A/f0").c_str(), 0600); // a mode change alone: day two gets its own inode
    EXPECT_EQ(run(config).filesCopied, links ? 2 : 1);
    EXPECT_EQ(std::tuple(readFile(one / "edit.txt"), readFile(two / "edit.txt"),
                         links ? modeOf(one / "A/f0") : 0644u,
                         links ? modeOf(two / "A/f0") : 0600u),
              std::tuple("day one"s, "day two, edited"s, 0644u, 0600u));
}

INSTANTIATE_TEST_SUITE_P(Kinds, DatedSnapshots, ::testing::Values(Kind::ext4, Kind::fat), kindName);

} // namespace
} // namespace keelbox::test
