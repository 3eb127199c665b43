// The configuration file, and with it the shared atomic write, on real folders and, as root, on a
// small tmpfs mounted full or read-only.

#include "core/ConfigFile.h"
#include "tests/support/Helpers.h"
#include "tests/support/TempFolder.h"

#include <algorithm>
#include <sys/mount.h>

namespace keelbox::test {
namespace {

DriveConfig sample(std::string name = "STICK") {
    DriveConfig config = DriveConfig::makeNew(std::move(name), floor<std::chrono::seconds>(now()));
    config.sources = {{Uuid::random(), "Docs"}, {Uuid::random(), ""}};
    return config;
}

const std::vector<std::string> onlyTheConfiguration{std::string(configFileName)};

class ConfigFile : public ::testing::Test {
protected:
    // The names in the drive folder, sorted: a leftover of a write shows up here.
    std::vector<std::string> entries() {
        std::vector<std::string> names;
        for (const auto& entry : fs::directory_iterator(drive))
            names.push_back(entry.path().filename().string());
        std::sort(names.begin(), names.end());
        return names;
    }

    TempFolder temp;
    const fs::path drive = temp.path();
    const fs::path file = drive / configFileName;
};

TEST_F(ConfigFile, WriteReplacesTheOldFileOrALinkReadableByEveryoneNeverAFolder) {
    EXPECT_EQ(writeConfig(sample("OLD"), drive), std::nullopt);
    const DriveConfig replacement = sample("NEW");
    // The umask does not hide the file from other users.
    const mode_t old = ::umask(077);
    EXPECT_EQ(writeConfig(replacement, drive), std::nullopt);
    ::umask(old);
    EXPECT_EQ(std::tuple(std::optional<DriveConfig>(readConfig(drive)),
                         fs::status(file).permissions(), entries()),
              std::tuple(std::optional{replacement}, fs::perms(0644), onlyTheConfiguration));
    // Removing is quiet when there is nothing to remove.
    EXPECT_EQ(std::tuple(removeConfig(drive), fs::exists(file), removeConfig(drive)),
              std::tuple(std::nullopt, false, std::nullopt));

    // A link at the file's name is replaced or removed, never followed.
    TempFolder elsewhere;
    ASSERT_EQ(writeConfig(sample(), elsewhere.path()), std::nullopt);
    const fs::path outside = elsewhere / configFileName;
    const std::string before = readFile(outside);
    fs::create_symlink(outside, file);
    const DriveConfig mine = sample("MINE");
    EXPECT_EQ(writeConfig(mine, drive), std::nullopt);
    EXPECT_TRUE(!fs::is_symlink(file) && readConfig(drive) == mine);
    EXPECT_EQ(readFile(outside), before);

    fs::remove(file);
    fs::create_symlink(outside, file);
    EXPECT_EQ(removeConfig(drive), std::nullopt);
    EXPECT_TRUE(!fs::exists(fs::symlink_status(file)) && readFile(outside) == before);

    // A folder in the way is reported and left alone; so is a drive folder that is not there.
    writeFile(file / "inside", "keep");
    const auto writeError = writeConfig(sample(), drive).value();
    EXPECT_EQ(std::tuple(writeError.code, writeError.message, entries(),
                         removeConfig(drive).value().code, readFile(file / "inside")),
              std::tuple(std::errc::is_a_directory,
                         "Could not write “" + file.string() + "”: Is a directory",
                         onlyTheConfiguration, std::errc::is_a_directory, std::string("keep")));
    EXPECT_EQ(writeConfig(sample(), drive / "unmounted").value().code,
              std::errc::no_such_file_or_directory);
}

// Whoever wrote the drive controls what lies at the file's name; none of it may block, hang or
// exhaust the reader.
TEST_F(ConfigFile, UnusableFilesReadAsNoConfigurationAndSayWhy) {
    using Kind = ConfigFault::Kind;
    const struct {
        const char* name;
        std::function<bool()> make;
        Kind kind;
    } rows[] = {
        // Larger than any configuration: refused without reading it all. Anything but a plain
        // file (a device such as /dev/zero too) is refused by one check before it is opened.
        {"huge", [&] { return writeFile(file, ""), fs::resize_file(file, 64 << 20), true; },
         Kind::tooLarge},
        {"a folder", [&] { return fs::create_directory(file); }, Kind::notPlainFile},
        {"a FIFO", [&] { return ::mkfifo(file.c_str(), 0644) == 0; }, Kind::notPlainFile},
        {"a link",
         [&] {
             return writeFile(drive / "real.json", encodeConfig(sample())),
                    fs::create_symlink(drive / "real.json", file), true;
         },
         Kind::notPlainFile},
    };
    for (const auto& row : rows) {
        fs::remove_all(file);
        ASSERT_TRUE(row.make()) << row.name;
        const ConfigReading read = readConfig(drive);
        EXPECT_EQ(std::tuple(read.has_value(), read.fault.kind, salvageDriveID(drive)),
                  std::tuple(false, row.kind, std::optional<std::string>{}));
    }
    EXPECT_EQ(readConfig(drive / "no-such-folder").fault.kind, Kind::missing);
}

TEST_F(ConfigFile, FullOrReadOnlyDriveKeepsTheOldFileAndLeavesNoTempFile) {
    KEELBOX_REQUIRE_CAPABILITY(::mount("tmpfs", drive.c_str(), "tmpfs", 0, "size=64k") == 0,
                               "mounting a tmpfs needs root");
    const struct Unmount {
        const fs::path& point;
        ~Unmount() { ::umount2(point.c_str(), MNT_DETACH); }
    } unmount{drive};
    const DriveConfig old = sample("OLD");
    ASSERT_EQ(writeConfig(old, drive), std::nullopt);
    EXPECT_EQ(writeConfig(sample(std::string(256 * 1024, 'x')), drive).value().code,
              std::errc::no_space_on_device);
    EXPECT_EQ(entries(), onlyTheConfiguration);

    ASSERT_EQ(::mount("tmpfs", drive.c_str(), "tmpfs", MS_REMOUNT | MS_RDONLY, nullptr), 0);
    EXPECT_EQ(writeConfig(sample("NEW"), drive).value().code, std::errc::read_only_file_system);
    EXPECT_TRUE(removeConfig(drive));
    EXPECT_EQ(readConfig(drive), old);
}

} // namespace
} // namespace keelbox::test
