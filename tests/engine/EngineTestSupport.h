#pragma once
// Whole runs of the engine on temp trees, file helpers and real mounted file systems.

#include "core/Records.h"
#include "engine/BackupEngine.h"
#include "engine/SysCalls.h"
#include "localization/Language.h"
#include "tests/support/Helpers.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <fcntl.h>
#include <map>
#include <sys/stat.h>
#include <tuple>
#include <unistd.h>

namespace keelbox::test {

void setModified(const fs::path& file, std::int64_t seconds, long nanoseconds = 0);
struct timespec modifiedOf(const fs::path& file);
mode_t modeOf(const fs::path& file);
// Every entry below `root`, sorted; folders end in "/", links in "@".
std::vector<std::string> listTree(const fs::path& root);
std::vector<std::string> partialsIn(const fs::path& folder);

inline constexpr std::string_view testDriveID = "5A7E0C1E-0000-4000-8000-00000000D15C";
// Marks `driveFolder` as the test drive's, as its first run would.
void markOwned(const fs::path& driveFolder);

DriveConfig makeConfig(const fs::path& destination, std::string driveName,
                       std::vector<std::string> sources, BackupMode mode = BackupMode::sync,
                       bool deleteRemovedFiles = false);

inline std::string english(std::string_view key) {
    return localizedText(key, AppLanguage::english);
}

// "path — reason" of a run's only issue, else how many it had.
std::string onlyIssue(const BackupResult& result);
// The paths of a run's issues, sorted.
std::vector<std::string> issuePaths(const BackupResult& result);

int shell(const std::string& command);

// `body`'s result, with `calls` in force while it runs.
template <typename Body> auto withSysCalls(const SysCalls& calls, Body body) {
    ScopedSysCalls seam{calls};
    return body();
}

class EngineTest : public ::testing::Test {
protected:
    EngineTest() {
        fs::create_directories(drive);
        fs::create_directories(home);
        env.homeFolder = home;
    }
    // Progress reports land in `reports`; without `withProgress` there is no pre-count.
    BackupResult run(const DriveConfig& config, const fs::path& root = {},
                     const ProgressCallback& alsoReport = {}) {
        reports.clear();
        const auto report = [&](const BackupProgress& p) {
            reports.push_back(p);
            if (alsoReport)
                alsoReport(p);
        };
        return BackupEngine::run(config, root.empty() ? drive : root, AppLanguage::english,
                                 withProgress ? ProgressCallback(report) : nullptr, env);
    }
    void removeDriveAndCopies() { fs::remove_all(drive), fs::remove_all(dest); }
    DriveConfig plain(std::vector<std::string> sources = {""}) {
        return makeConfig(dest, "STICK", std::move(sources));
    }
    DriveConfig mirror(std::vector<std::string> sources = {""}) {
        return makeConfig(dest, "STICK", std::move(sources), BackupMode::sync, true);
    }

    TempFolder tmp;
    fs::path drive = tmp / "drive";
    fs::path home = tmp / "home";
    fs::path dest = tmp / "dest";
    fs::path copy = tmp / "dest/STICK"; // the drive's folder below `dest`
    bool withProgress = true;
    RunEnvironment env;
    std::vector<BackupProgress> reports;
};

// A file system in an image file, mounted for the life of the object.
struct MountedImage {
    enum class Kind { ext4, fat, exfat };

    MountedImage(Kind kind, const fs::path& workDir, int megabytes, std::string& whyNot);
    ~MountedImage() { unmount(); }
    void unmount();

    fs::path imageFile;
    fs::path mountPoint;
};

std::string kindName(const ::testing::TestParamInfo<MountedImage::Kind>& row);

} // namespace keelbox::test

// Mounts an image of `kind` as `name`, or skips where this machine cannot.
#define KEELBOX_MOUNTED_IMAGE(name, kind, megabytes)                                               \
    std::string name##WhyNot;                                                                      \
    ::keelbox::test::MountedImage name(kind, tmp.path(), megabytes, name##WhyNot);                 \
    KEELBOX_REQUIRE_CAPABILITY(name##WhyNot.empty(), name##WhyNot)
