// Reading and writing the configuration file on real folders, including a small tmpfs mounted
// read-only or full when the tests run as root.

#include "core/ConfigFile.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <chrono>
#include <csignal>
#include <fcntl.h>
#include <fstream>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <sys/wait.h>
#include <unistd.h>

namespace keelbox {
namespace {

namespace fs = std::filesystem;

using test::TempFolder;

// A tmpfs of the given size mounted on a fresh folder; unavailable unless running as root.
class TmpfsMount {
public:
    explicit TmpfsMount(const std::string& size) {
        m_point = m_folder.path() / "mnt";
        fs::create_directory(m_point);
        m_mounted = ::mount("tmpfs", m_point.c_str(), "tmpfs", 0, ("size=" + size).c_str()) == 0;
    }
    ~TmpfsMount() {
        if (m_mounted)
            ::umount2(m_point.c_str(), MNT_DETACH);
    }
    bool mounted() const { return m_mounted; }
    const fs::path& path() const { return m_point; }
    bool remountReadOnly() {
        return ::mount("tmpfs", m_point.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr) == 0;
    }

private:
    TempFolder m_folder;
    fs::path m_point;
    bool m_mounted = false;
};

DriveConfig sample(std::string name = "STICK") {
    DriveConfig config = DriveConfig::makeNew(std::move(name), floor<std::chrono::seconds>(now()));
    config.sources = {{Uuid::random(), "Docs"}, {Uuid::random(), ""}};
    return config;
}

std::string contents(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

void writeText(const fs::path& file, const std::string& text) {
    std::ofstream(file, std::ios::binary) << text;
}

// Every entry of the folder except the configuration itself: leftovers of a write.
std::vector<std::string> strayEntries(const fs::path& folder) {
    std::vector<std::string> names;
    for (const auto& entry : fs::directory_iterator(folder)) {
        if (entry.path().filename() != configFileName)
            names.push_back(entry.path().filename().string());
    }
    return names;
}

TEST(ConfigFile, WriteThenReadGivesTheSameConfiguration) {
    TempFolder drive;
    const DriveConfig config = sample();
    EXPECT_EQ(writeConfig(config, drive.path()), std::nullopt);
    const fs::path file = drive.path() / configFileName;
    EXPECT_EQ(contents(file), encodeConfig(config));
    EXPECT_EQ(readConfig(drive.path()), config);
    struct stat info {};
    ASSERT_EQ(::stat(file.c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
    EXPECT_TRUE(strayEntries(drive.path()).empty());
}

TEST(ConfigFile, WriteReplacesTheOldFile) {
    TempFolder drive;
    EXPECT_EQ(writeConfig(sample("OLD"), drive.path()), std::nullopt);
    const DriveConfig replacement = sample("NEW");
    EXPECT_EQ(writeConfig(replacement, drive.path()), std::nullopt);
    EXPECT_EQ(readConfig(drive.path()), replacement);
    EXPECT_TRUE(strayEntries(drive.path()).empty());
}

TEST(ConfigFile, UmaskDoesNotHideTheFileFromOtherUsers) {
    TempFolder drive;
    const mode_t old = ::umask(077);
    const auto error = writeConfig(sample(), drive.path());
    ::umask(old);
    EXPECT_EQ(error, std::nullopt);
    struct stat info {};
    ASSERT_EQ(::stat((drive.path() / configFileName).c_str(), &info), 0);
    EXPECT_EQ(info.st_mode & 07777, 0644u);
}

TEST(ConfigFile, MissingOrUnusableFilesReadAsNoConfiguration) {
    TempFolder drive;
    const fs::path file = drive.path() / configFileName;
    EXPECT_EQ(readConfig(drive.path()), std::nullopt);
    EXPECT_EQ(readConfig(drive.path() / "no-such-folder"), std::nullopt);

    writeText(file, "{}");
    EXPECT_EQ(readConfig(drive.path()), std::nullopt);

    // Larger than any configuration: refused without reading it all.
    fs::remove(file);
    { std::ofstream out(file, std::ios::binary); }
    fs::resize_file(file, 64 * 1024 * 1024);
    EXPECT_EQ(readConfig(drive.path()), std::nullopt);

    fs::remove(file);
    fs::create_directory(file);
    EXPECT_EQ(readConfig(drive.path()), std::nullopt);
}

TEST(ConfigFile, ALinkIsNotFollowed) {
    TempFolder drive;
    TempFolder elsewhere;
    const DriveConfig config = sample();
    ASSERT_EQ(writeConfig(config, elsewhere.path()), std::nullopt);
    const fs::path outside = elsewhere.path() / configFileName;
    const std::string before = contents(outside);
    fs::create_symlink(outside, drive.path() / configFileName);
    EXPECT_EQ(readConfig(drive.path()), std::nullopt);

    // Saving replaces the link itself and leaves its target alone.
    const DriveConfig mine = sample("MINE");
    EXPECT_EQ(writeConfig(mine, drive.path()), std::nullopt);
    EXPECT_FALSE(fs::is_symlink(drive.path() / configFileName));
    EXPECT_EQ(readConfig(drive.path()), mine);
    EXPECT_EQ(contents(outside), before);

    // Removing removes a link, not what it points to.
    fs::remove(drive.path() / configFileName);
    fs::create_symlink(outside, drive.path() / configFileName);
    EXPECT_EQ(removeConfig(drive.path()), std::nullopt);
    EXPECT_FALSE(fs::exists(fs::symlink_status(drive.path() / configFileName)));
    EXPECT_EQ(contents(outside), before);
}

TEST(ConfigFile, AFifoDoesNotBlockTheReader) {
    TempFolder drive;
    ASSERT_EQ(::mkfifo((drive.path() / configFileName).c_str(), 0644), 0);
    EXPECT_EQ(readConfig(drive.path()), std::nullopt);
}

TEST(ConfigFile, ADeviceNodeIsNotOpened) {
    TempFolder drive;
    // /dev/zero's numbers: read, it would never end.
    if (::mknod((drive.path() / configFileName).c_str(), S_IFCHR | 0644, makedev(1, 5)) != 0)
        GTEST_SKIP() << "making a device node needs root";
    EXPECT_EQ(readConfig(drive.path()), std::nullopt);
}

TEST(ConfigFile, RemoveIsQuietWhenThereIsNothingToRemove) {
    TempFolder drive;
    EXPECT_EQ(removeConfig(drive.path()), std::nullopt);
    ASSERT_EQ(writeConfig(sample(), drive.path()), std::nullopt);
    EXPECT_EQ(removeConfig(drive.path()), std::nullopt);
    EXPECT_FALSE(fs::exists(drive.path() / configFileName));
    EXPECT_EQ(removeConfig(drive.path()), std::nullopt);
    EXPECT_EQ(removeConfig(drive.path() / "gone"), std::nullopt);
}

TEST(ConfigFile, AFolderInTheWayIsReportedAndLeftAlone) {
    TempFolder drive;
    const fs::path file = drive.path() / configFileName;
    fs::create_directory(file);
    writeText(file / "inside", "keep");

    const auto writeError = writeConfig(sample(), drive.path());
    ASSERT_TRUE(writeError);
    EXPECT_EQ(writeError->code, std::errc::is_a_directory);
    EXPECT_EQ(writeError->message,
              "Could not write “" + file.string() + "”: " + writeError->code.message());
    EXPECT_TRUE(strayEntries(drive.path()).empty());

    const auto removeError = removeConfig(drive.path());
    ASSERT_TRUE(removeError);
    EXPECT_EQ(removeError->code, std::errc::is_a_directory);
    EXPECT_EQ(contents(file / "inside"), "keep");
}

TEST(ConfigFile, MissingDriveFolderIsAnError) {
    TempFolder drive;
    const auto error = writeConfig(sample(), drive.path() / "unmounted");
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, std::errc::no_such_file_or_directory);
    EXPECT_NE(error->message.find("No such file or directory"), std::string::npos);
}

TEST(ConfigFile, ReadOnlyDriveKeepsTheOldFile) {
    TmpfsMount drive("1M");
    if (!drive.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const DriveConfig old = sample("OLD");
    ASSERT_EQ(writeConfig(old, drive.path()), std::nullopt);
    ASSERT_TRUE(drive.remountReadOnly());

    const auto error = writeConfig(sample("NEW"), drive.path());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, std::errc::read_only_file_system);
    EXPECT_EQ(error->message, "Could not write “" + (drive.path() / configFileName).string() +
                                  "”: Read-only file system");
    EXPECT_EQ(readConfig(drive.path()), old);
    EXPECT_TRUE(removeConfig(drive.path()));
    EXPECT_EQ(readConfig(drive.path()), old);
}

TEST(ConfigFile, FullDriveKeepsTheOldFileAndLeavesNoTempFile) {
    TmpfsMount drive("64k");
    if (!drive.mounted())
        GTEST_SKIP() << "mounting a tmpfs needs root";
    const DriveConfig old = sample("OLD");
    ASSERT_EQ(writeConfig(old, drive.path()), std::nullopt);

    const auto error = writeConfig(sample(std::string(256 * 1024, 'x')), drive.path());
    ASSERT_TRUE(error);
    EXPECT_EQ(error->code, std::errc::no_space_on_device);
    EXPECT_EQ(readConfig(drive.path()), old);
    EXPECT_TRUE(strayEntries(drive.path()).empty());
}

TEST(ConfigFile, AReaderNeverSeesAHalfWrittenFile) {
    TempFolder drive;
    const DriveConfig first = sample(std::string(64 * 1024, 'a'));
    const DriveConfig second = sample(std::string(64 * 1024, 'b'));
    ASSERT_EQ(writeConfig(first, drive.path()), std::nullopt);

    const pid_t writer = ::fork();
    ASSERT_GE(writer, 0);
    if (writer == 0) {
        for (int i = 0;; ++i)
            (void)writeConfig(i % 2 ? first : second, drive.path());
    }
    // Killed in the middle of a write, whatever the reader saw; a failed assertion returns early.
    struct Reaper {
        pid_t pid;
        ~Reaper() {
            ::kill(pid, SIGKILL);
            int status = 0;
            ::waitpid(pid, &status, 0);
        }
    };
    std::optional<Reaper> reaper(Reaper{writer});
    // Read until the writer has replaced the file a few times; the deadline only guards against a
    // writer that never gets scheduled.
    int reads = 0, seenFirst = 0, seenSecond = 0;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(20);
    while ((reads < 50 || seenFirst < 2 || seenSecond < 2) &&
           std::chrono::steady_clock::now() < deadline) {
        const auto read = readConfig(drive.path());
        ++reads;
        ASSERT_TRUE(read) << "read " << reads << " saw an unusable file";
        if (*read == first)
            ++seenFirst;
        else if (*read == second)
            ++seenSecond;
        else
            FAIL() << "read " << reads << " saw a mixture";
    }
    reaper.reset();
    // The writer leaves at most its temp file behind.
    const auto last = readConfig(drive.path());
    ASSERT_TRUE(last);
    EXPECT_TRUE(*last == first || *last == second);
    EXPECT_LE(strayEntries(drive.path()).size(), 1u);
}

} // namespace
} // namespace keelbox
