// The pure decisions of a run: names, day folders, the skip rule, relative paths, the places a
// backup folder may never be.

#include "EngineTestSupport.h"

#include "engine/BackupEngine.h"
#include "engine/PathSafety.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <ctime>

namespace keelbox::test {
namespace {

TEST(DriveFolderName, MapsTheDriveNameToOneSafeFolderName) {
    const struct {
        std::string name;
        std::string folder;
    } rows[] = {
        {"", "USB"},
        {"A/B:C", "A-B-C"},
        {"Photos 2024", "Photos 2024"},
        {" padded ", " padded "},
        {"/", "-"},
        {"..", "USB"},
        {".", "USB"},
        {"../..", "..-.."},
        {std::string("a\0b", 3), "a-b"},
        {".config", ".config"}, // only refused where it would land (see the hostile tests)
        {"Zażółć", "Zażółć"},
    };
    for (const auto& row : rows)
        EXPECT_EQ(driveFolderName(row.name), row.folder) << "name: " << row.name;
}

TEST(IsExcluded, MatchesWholeComponentsExactly) {
    const struct {
        std::string_view path;
        bool excluded;
    } rows[] = {
        {".DS_Store", true},       {"a/b/.DS_Store", true},
        {".Trashes/501/x", true},  {"x/System Volume Information/y", true},
        {"$RECYCLE.BIN", true},    {".keelbox.json", true},
        {"//.fseventsd//", true},  {".ds_store", false},
        {"a.DS_Store", false},     {".DS_Store2/x", false},
        {"docs/notes.txt", false}, {"", false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(isExcluded(row.path), row.excluded) << row.path;
}

TEST(IsUnchanged, IsOneSidedWithATwoSecondAllowance) {
    const struct {
        Int64 sourceSize;
        double sourceTime;
        Int64 copySize;
        double copyTime;
        bool unchanged;
    } rows[] = {
        {10, 1001.5, 10, 1000.0, true},  // source 1.5 s newer
        {10, 1002.5, 10, 1000.0, false}, // 2.5 s newer
        {10, 1002.0, 10, 1000.0, true},  // exactly 2 s
        {10, 900.0, 10, 1000.0, true},   // the copy is newer
        {10, 1000.0, 11, 5000.0, false}, // sizes differ, copy newer
        {0, 1000.0, -1, 1000.0, false},  // a folder in the copy's place
        {10, 1e12, 10, 1000.0, false},   // a time far in the future
    };
    for (const auto& row : rows) {
        EXPECT_EQ(isUnchanged(row.sourceSize, row.sourceTime, row.copySize, row.copyTime),
                  row.unchanged)
            << row.sourceSize << "@" << row.sourceTime << " vs " << row.copySize << "@"
            << row.copyTime;
    }
}

class DayFolder : public ::testing::Test {
protected:
    void SetUp() override {
        const char* tz = std::getenv("TZ");
        if (tz != nullptr)
            saved = tz;
        hadTz = tz != nullptr;
    }
    void TearDown() override {
        if (hadTz)
            ::setenv("TZ", saved.c_str(), 1);
        else
            ::unsetenv("TZ");
        ::tzset();
    }
    bool hadTz = false;
    std::string saved;
};

TEST_F(DayFolder, UsesTheLocalCalendarDay) {
    // 2026-12-04T23:30:00Z
    const Date instant{std::chrono::seconds{1796427000}};
    const struct {
        const char* tz;
        const char* day;
    } rows[] = {{"UTC0", "2026-12-04"},
                {"XST-14", "2026-12-05"},
                {"YST10", "2026-12-04"},
                {"ZST1", "2026-12-04"}};
    for (const auto& row : rows) {
        ::setenv("TZ", row.tz, 1);
        ::tzset();
        EXPECT_EQ(dayFolderName(instant), row.day) << row.tz;
    }
    ::setenv("TZ", "UTC0", 1);
    ::tzset();
    EXPECT_EQ(dayFolderName(Date{std::chrono::seconds{0}}), "1970-01-01");
}

TEST(RelativeSubpath, ResolvesLinksOnBothSides) {
    TempDir tmp;
    fs::create_directories(tmp / "base/a/b");
    fs::create_directories(tmp / "other");
    fs::create_directory_symlink(tmp / "base", tmp / "base-link");
    fs::create_directory_symlink(tmp / "base/a", tmp / "other/into-base");
    EXPECT_EQ(relativeSubpath(tmp / "base/a/b", tmp / "base"), "a/b");
    EXPECT_EQ(relativeSubpath(tmp / "base", tmp / "base"), "");
    EXPECT_EQ(relativeSubpath(tmp / "base/", tmp / "base"), "");
    EXPECT_EQ(relativeSubpath(tmp / "base-link/a", tmp / "base"), "a");
    EXPECT_EQ(relativeSubpath(tmp / "base/a", tmp / "base-link"), "a");
    EXPECT_EQ(relativeSubpath(tmp / "other/into-base/b", tmp / "base"), "a/b");
    EXPECT_EQ(relativeSubpath(tmp / "base/a/../a/b", tmp / "base"), "a/b");
    EXPECT_EQ(relativeSubpath(tmp / "base/not-yet/there", tmp / "base"), "not-yet/there");
    EXPECT_EQ(relativeSubpath(tmp / "other", tmp / "base"), std::nullopt);
    EXPECT_EQ(relativeSubpath(tmp / "base", tmp / "base/a"), std::nullopt);
    // Components are compared whole: "base2" does not lie below "base".
    fs::create_directories(tmp / "base2");
    EXPECT_EQ(relativeSubpath(tmp / "base2", tmp / "base"), std::nullopt);
}

TEST(SourcePaths, OnlyPlainRelativePathsAreAccepted) {
    const struct {
        std::string path;
        bool safe;
    } rows[] = {
        {"", true},
        {"Docs", true},
        {"Docs/./Photos//2024/", true},
        {"a..b/..c", true},
        {"/etc", false},
        {"..", false},
        {"../outside", false},
        {"Docs/../../outside", false},
        {"Docs/..", false},
        {std::string("Docs\0/../x", 10), false},
    };
    for (const auto& row : rows)
        EXPECT_EQ(isSafeRelativePath(row.path), row.safe) << row.path;
}

TEST(DestinationExpansion, TildeMeansTheHomeFolder) {
    const fs::path home = "/home/ala";
    EXPECT_EQ(expandDestination("~", home), home);
    EXPECT_EQ(expandDestination("~/Backups/Keelbox", home), "/home/ala/Backups/Keelbox");
    EXPECT_EQ(expandDestination("/srv/backups", home), "/srv/backups");
    // Relative destinations are anchored at home, never at the working folder.
    EXPECT_EQ(expandDestination("Backups", home), "/home/ala/Backups");
    EXPECT_EQ(expandDestination("~bob/x", home), "/home/ala/~bob/x");
}

TEST(TrustedLocations, RefuseWhereTheComputerRunsOrTrustsFiles) {
    const fs::path home = "/home/ala";
    const struct {
        const char* folder;
        bool trusted;
    } rows[] = {
        {"/home/ala/Backups/Keelbox/STICK", false},
        {"/home/ala/USB", false},
        {"/media/ala/BIGDISK/STICK", false},
        {"/tmp/x/STICK", false},
        {"/mnt/backup/STICK", false},
        {"/home/ala/Documents/.hidden-inside-ordinary", false},
        {"/home/ala", true},
        {"/home/ala/", true},
        {"/home", true},
        {"/", true},
        {"/home/ala/.config", true},
        {"/home/ala/.config/autostart", true},
        {"/home/ala/.local/share/applications", true},
        {"/home/ala/.ssh", true},
        {"/home/ala/.bashrc.d", true},
        {"/home/ala/bin", true},
        {"/home/ala/bin/tools", true},
        {"/home/bob", true},
        {"/home/bob/.config", true},
        {"/home/bob/Backups", false},
        {"/root/.config/autostart", true},
        {"/etc", true},
        {"/etc/xdg/autostart", true},
        {"/usr/local/bin", true},
        {"/boot/efi", true},
        {"/var/lib/x", true},
        {"/lib64", true},
        {"/run/user/1000", true},
        {"/proc/self", true},
        {"/sys/kernel", true},
        {"/dev/shm", true},
        {"/opt/app", true},
        {"/etcetera/STICK", false},
        {"/usrdata/STICK", false},
        {"relative/path", true},
    };
    for (const auto& row : rows)
        EXPECT_EQ(isTrustedLocation(row.folder, home), row.trusted) << row.folder;
}

} // namespace
} // namespace keelbox::test
