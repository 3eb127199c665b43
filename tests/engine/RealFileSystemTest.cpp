// Runs against real mounted file systems (loop-mounted ext4, FAT and exFAT through FUSE) and real
// permission faults. They need root, loop devices and FUSE; without them they skip, or fail when
// CI=true.

#include "EngineTestSupport.h"

#include "engine/BackupEngine.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

namespace keelbox::test {
namespace {

using Kind = MountedImage::Kind;

const char* kindName(Kind kind) {
    switch (kind) {
    case Kind::ext4:
        return "ext4";
    case Kind::fat:
        return "fat";
    case Kind::exfat:
        return "exfat";
    }
    return "?";
}

class RealFileSystem : public ::testing::Test {
protected:
    void SetUp() override {
        fs::create_directories(drive);
        env.homeFolder = tmp / "home";
        fs::create_directories(env.homeFolder);
    }
    BackupResult run(const DriveConfig& config, const fs::path& root) {
        return BackupEngine::run(config, root, AppLanguage::english, {}, env);
    }

    TempDir tmp;
    fs::path drive = tmp / "drive";
    RunEnvironment env;
};

class CoarseTimes : public RealFileSystem, public ::testing::WithParamInterface<Kind> {};

TEST_P(CoarseTimes, ASecondRunFindsEverythingUnchanged) {
    std::string whyNot;
    MountedImage image(GetParam(), tmp.path(), 64, whyNot);
    KEELBOX_REQUIRE_CAPABILITY(whyNot.empty(), whyNot);
    // Odd seconds and fractions: FAT keeps even seconds, exFAT (FUSE) whole ones, both rounding
    // down, so every copy is up to 2 s older than its source.
    const struct {
        const char* name;
        std::int64_t seconds;
        long nanos;
    } files[] = {{"odd.txt", 1700000001, 700000000},
                 {"almost.txt", 1700000003, 999999999},
                 {"even.txt", 1700000000, 0},
                 {"Sub/deeper/nested.txt", 1700000005, 1}};
    for (const auto& f : files) {
        writeFile(drive / f.name, std::string("content of ") + f.name, 0640);
        setModified(drive / f.name, f.seconds, f.nanos);
    }
    fs::create_directories(drive / "Empty");
    const fs::path dest = image.mountPoint() / "Backups";
    const DriveConfig config = makeConfig(dest, "STICK", {""}, BackupMode::sync, true);

    BackupResult first = run(config, drive);
    // Permissions and ownership the file system cannot keep cost nothing.
    EXPECT_TRUE(first.errors.empty())
        << first.errors.front().summaryLine() << " / " << first.errors.front().systemMessage;
    EXPECT_EQ(first.filesCopied, 4);
    for (const auto& f : files)
        EXPECT_EQ(readFile(dest / "STICK" / f.name), std::string("content of ") + f.name);
    EXPECT_TRUE(fs::is_directory(dest / "STICK/Empty"));
    EXPECT_TRUE(partialsIn(dest).empty());

    BackupResult second = run(config, drive);
    EXPECT_TRUE(second.errors.empty());
    EXPECT_EQ(second.filesCopied, 0);
    EXPECT_EQ(second.filesSkipped, 4);

    writeFile(drive / "odd.txt", "changed, and longer than before");
    fs::remove(drive / "even.txt");
    BackupResult third = run(config, drive);
    EXPECT_TRUE(third.errors.empty());
    EXPECT_EQ(third.filesCopied, 1);
    EXPECT_EQ(third.filesSkipped, 2);
    EXPECT_EQ(third.filesDeleted, 1);
    EXPECT_EQ(readFile(dest / "STICK/odd.txt"), "changed, and longer than before");
}

TEST_P(CoarseTimes, ADriveOnTheFileSystemIsBackedUpAndThenUnchanged) {
    std::string whyNot;
    MountedImage image(GetParam(), tmp.path(), 64, whyNot);
    KEELBOX_REQUIRE_CAPABILITY(whyNot.empty(), whyNot);
    const fs::path stick = image.mountPoint();
    writeFile(stick / "Docs/report.txt", "report");
    writeFile(stick / "Docs/big.bin", std::string(3 * 1024 * 1024 + 17, 'b'));
    writeFile(stick / ".keelbox.json", "{}");
    const fs::path dest = tmp / "dest";
    const DriveConfig config = makeConfig(dest, "STICK", {"Docs"});
    BackupResult first = run(config, stick);
    EXPECT_TRUE(first.errors.empty());
    EXPECT_EQ(first.filesCopied, 2);
    EXPECT_EQ(readFile(dest / "STICK/Docs/big.bin"), std::string(3 * 1024 * 1024 + 17, 'b'));
    BackupResult second = run(config, stick);
    EXPECT_EQ(second.filesCopied, 0);
    EXPECT_EQ(second.filesSkipped, 2);
}

INSTANTIATE_TEST_SUITE_P(Kinds, CoarseTimes, ::testing::Values(Kind::fat, Kind::exfat, Kind::ext4),
                         [](const ::testing::TestParamInfo<Kind>& row) {
                             return std::string{kindName(row.param)};
                         });

TEST_F(RealFileSystem, AFullDestinationReportsAndTheNextRunCompletesWithoutLoss) {
    std::string whyNot;
    MountedImage image(Kind::ext4, tmp.path(), 8, whyNot);
    KEELBOX_REQUIRE_CAPABILITY(whyNot.empty(), whyNot);
    const fs::path dest = image.mountPoint() / "Backups";
    const std::string big(1024 * 1024 + 123, 'a');
    const std::string other(1024 * 1024 + 456, 'b');
    writeFile(drive / "a.bin", big);
    writeFile(drive / "b.bin", other);
    writeFile(drive / "small.txt", "small");

    // Leave room for one of the two large files only.
    struct statvfs vfs {};
    ASSERT_EQ(::statvfs(image.mountPoint().c_str(), &vfs), 0);
    const long long freeBytes = static_cast<long long>(vfs.f_bavail) * vfs.f_frsize;
    const long long fillerSize = freeBytes - (1024 * 1024 + 700 * 1024);
    ASSERT_GT(fillerSize, 0);
    writeFile(image.mountPoint() / "filler", std::string(static_cast<size_t>(fillerSize), 'f'));

    const DriveConfig config = makeConfig(dest, "STICK", {""});
    BackupResult full = run(config, drive);
    ASSERT_FALSE(full.errors.empty());
    for (const BackupIssue& issue : full.errors) {
        EXPECT_EQ(issue.reason, english("engine.noSpace"));
        EXPECT_EQ(issue.suggestion, english("engine.noSpaceHint"));
        EXPECT_TRUE(issue.path == "a.bin" || issue.path == "b.bin") << issue.path;
    }
    EXPECT_TRUE(partialsIn(dest).empty());
    // Whatever sits at a final name is complete.
    for (const char* name : {"a.bin", "b.bin", "small.txt"}) {
        if (fs::exists(dest / "STICK" / name)) {
            EXPECT_EQ(readFile(dest / "STICK" / name), readFile(drive / name)) << name;
        }
    }

    fs::remove(image.mountPoint() / "filler");
    BackupResult after = run(config, drive);
    EXPECT_TRUE(after.errors.empty());
    EXPECT_EQ(after.filesCopied, static_cast<Int>(full.errors.size()));
    for (const char* name : {"a.bin", "b.bin", "small.txt"})
        EXPECT_EQ(readFile(dest / "STICK" / name), readFile(drive / name)) << name;
}

TEST_F(RealFileSystem, AReadOnlyDestinationReportsEveryFileAndKeepsTheOldCopy) {
    std::string whyNot;
    MountedImage image(Kind::ext4, tmp.path(), 8, whyNot);
    KEELBOX_REQUIRE_CAPABILITY(whyNot.empty(), whyNot);
    const fs::path dest = image.mountPoint();
    writeFile(dest / "STICK/a.txt", "old copy");
    setModified(dest / "STICK/a.txt", 1000);
    writeFile(drive / "a.txt", "new content");
    writeFile(drive / "b.txt", "b");
    ASSERT_TRUE(image.remountReadOnly());

    BackupResult result = run(makeConfig(dest, "STICK", {""}), drive);
    ASSERT_EQ(result.errors.size(), 2u);
    for (const BackupIssue& issue : result.errors) {
        EXPECT_EQ(issue.reason, english("engine.readOnly"));
        EXPECT_EQ(issue.suggestion, english("engine.readOnlyHint"));
    }
    EXPECT_EQ(result.filesCopied, 0);
    EXPECT_EQ(readFile(dest / "STICK/a.txt"), "old copy");

    // A backup folder that does not exist yet cannot be made: one issue about the folder.
    BackupResult fresh = run(makeConfig(dest, "OTHER", {""}), drive);
    ASSERT_EQ(fresh.errors.size(), 1u);
    EXPECT_EQ(fresh.errors[0].path, (dest / "OTHER").string());
    EXPECT_EQ(fresh.errors[0].reason, english("engine.readOnly"));

    // Nor can a destination whose own folders are missing: the reason is the read-only disk,
    // not a file that vanished.
    BackupResult nested = run(makeConfig(dest / "New/Deeper", "STICK", {""}), drive);
    ASSERT_EQ(nested.errors.size(), 1u);
    EXPECT_EQ(nested.errors[0].reason, english("engine.readOnly"));
}

TEST_F(RealFileSystem, UnreadableFilesAndFoldersAreIssuesAndCountAsProcessed) {
    writeFile(drive / "ok.txt", "ok");
    writeFile(drive / "locked.txt", "locked", 0000);
    writeFile(drive / "LockedDir/x.txt", "x");
    ASSERT_EQ(::chmod((drive / "LockedDir").c_str(), 0000), 0);
    WithoutFileCapabilities heldToPermissions;
    KEELBOX_REQUIRE_CAPABILITY(::geteuid() != 0 || heldToPermissions.active(),
                               "cannot drop CAP_DAC_OVERRIDE for the test thread");
    std::vector<BackupProgress> reports;
    BackupResult result = BackupEngine::run(
        makeConfig(tmp / "dest", "STICK", {""}), drive, AppLanguage::english,
        [&](const BackupProgress& p) { reports.push_back(p); }, env);
    ASSERT_EQ(result.errors.size(), 2u);
    std::vector<std::string> paths;
    for (const BackupIssue& issue : result.errors) {
        paths.push_back(issue.path);
        EXPECT_EQ(issue.reason, english("engine.noPerm"));
        EXPECT_EQ(issue.suggestion, english("engine.noPermHint"));
        EXPECT_NE(issue.systemMessage.find("Permission denied"), std::string::npos);
    }
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"LockedDir", "locked.txt"}));
    EXPECT_EQ(result.filesCopied, 1);
    // The unreadable file was handled (and counted); the unreadable folder's contents were not
    // seen by the pre-count either.
    EXPECT_EQ(reports.back().filesDone, 2);
    EXPECT_EQ(reports.back().filesTotal, 2);
    EXPECT_FALSE(fs::exists(tmp / "dest/STICK/locked.txt"));
    EXPECT_TRUE(partialsIn(tmp / "dest").empty());
}

TEST_F(RealFileSystem, FilesVanishingDuringTheRunEndCleanly) {
    for (int i = 0; i < 20; ++i)
        writeFile(drive / "A" / ("f" + std::to_string(i)), "a");
    writeFile(drive / "B/b.txt", "b");
    bool removed = false;
    BackupResult result = BackupEngine::run(
        makeConfig(tmp / "dest", "STICK", {"A", "B"}), drive, AppLanguage::english,
        [&](const BackupProgress& p) {
            if (!removed && p.filesDone == 1) {
                removed = true;
                fs::remove_all(drive / "A");
                fs::remove_all(drive / "B");
            }
        },
        env);
    EXPECT_TRUE(removed);
    // B vanished before its turn; A's files are either skipped unseen or reported as gone.
    ASSERT_FALSE(result.errors.empty());
    EXPECT_EQ(result.errors.back().path, "B");
    EXPECT_EQ(result.errors.back().reason, english("engine.srcMissing"));
    for (std::size_t i = 0; i + 1 < result.errors.size(); ++i)
        EXPECT_EQ(result.errors[i].reason, english("engine.gone"));
    EXPECT_EQ(result.filesCopied, 1);
    EXPECT_TRUE(partialsIn(tmp / "dest").empty());
}

TEST_F(RealFileSystem, NamesTooLongAreIssuesAndTheLongestLegalNameCopies) {
    const std::string longest(255, 'n');
    const std::string tooLong(300, 'x');
    writeFile(drive / longest, "fits");
    fs::create_directories(drive / "Docs");
    BackupResult ok = run(makeConfig(tmp / "dest", "STICK", {""}), drive);
    EXPECT_TRUE(ok.errors.empty());
    EXPECT_EQ(readFile(tmp / "dest/STICK" / longest), "fits");

    BackupResult source = run(makeConfig(tmp / "dest", "STICK", {"Docs/" + tooLong}), drive);
    ASSERT_EQ(source.errors.size(), 1u);
    EXPECT_EQ(source.errors[0].reason, english("engine.nameLong"));
    EXPECT_EQ(source.errors[0].suggestion, std::nullopt);

    BackupResult destination = run(makeConfig(tmp / tooLong, "STICK", {""}), drive);
    ASSERT_EQ(destination.errors.size(), 1u);
    EXPECT_EQ(destination.errors[0].path, (tmp / tooLong / "STICK").string());
    EXPECT_EQ(destination.errors[0].reason, english("engine.nameLong"));
}

TEST_F(RealFileSystem, AFolderInsideItselfIsCopiedOnceAndReported) {
    KEELBOX_REQUIRE_CAPABILITY(::geteuid() == 0, "needs root for a bind mount");
    writeFile(drive / "A/file.txt", "a");
    fs::create_directories(drive / "A/sub/loop");
    // The folder A shows up again below itself, as a damaged FAT or a bind mount makes it.
    ASSERT_EQ(shell("mount --bind '" + (drive / "A").string() + "' '" +
                    (drive / "A/sub/loop").string() + "'"),
              0);
    struct Unmount {
        fs::path at;
        ~Unmount() { shell("umount '" + at.string() + "' || umount -l '" + at.string() + "'"); }
    } unmount{drive / "A/sub/loop"};
    std::vector<BackupProgress> reports;
    BackupResult result = BackupEngine::run(
        makeConfig(tmp / "dest", "STICK", {""}), drive, AppLanguage::english,
        [&](const BackupProgress& p) { reports.push_back(p); }, env);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].path, "A/sub/loop");
    EXPECT_EQ(result.errors[0].reason, english("engine.tooDeep"));
    EXPECT_EQ(result.filesCopied, 1);
    EXPECT_EQ(reports.back().filesTotal, 1);
    EXPECT_EQ(readFile(tmp / "dest/STICK/A/file.txt"), "a");
}

TEST_F(RealFileSystem, NestingDeeperThanAnyRealDriveEndsThatBranch) {
    // Built through descriptors: the whole path is longer than the kernel takes in one piece.
    int fd = ::open(drive.c_str(), O_RDONLY | O_DIRECTORY);
    ASSERT_GE(fd, 0);
    for (int level = 0; level < 1100; ++level) {
        ASSERT_EQ(::mkdirat(fd, "d", 0755), 0);
        int next = ::openat(fd, "d", O_RDONLY | O_DIRECTORY);
        ::close(fd);
        ASSERT_GE(next, 0);
        fd = next;
    }
    ::close(fd);
    writeFile(drive / "top.txt", "t");
    BackupResult result = run(makeConfig(tmp / "dest", "STICK", {""}), drive);
    ASSERT_EQ(result.errors.size(), 1u);
    EXPECT_EQ(result.errors[0].reason, english("engine.tooDeep"));
    EXPECT_EQ(result.filesCopied, 1);
    // Removing such a tree needs descriptors too; the temp folder's clean-up copes with long paths.
    shell("rm -rf '" + drive.string() + "' '" + (tmp / "dest").string() + "'");
}

} // namespace
} // namespace keelbox::test
