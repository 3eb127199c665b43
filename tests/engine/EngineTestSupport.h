#pragma once
// Temp trees, file helpers and real mounted file systems for the engine's tests.

#include "core/Records.h"
#include "engine/BackupEngine.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <filesystem>
#include <memory>
#include <string>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace keelbox::test {

namespace fs = std::filesystem;

using TempDir = TempFolder;

void writeFile(const fs::path& file, std::string_view content, mode_t mode = 0644);
std::string readFile(const fs::path& file);
// Sets the modification time without following a link.
void setModified(const fs::path& file, std::int64_t seconds, long nanoseconds = 0);
struct timespec modifiedOf(const fs::path& file);
mode_t modeOf(const fs::path& file);
// Every entry below `root` as a sorted relative path, folders with a trailing "/", links with
// a trailing "@".
std::vector<std::string> listTree(const fs::path& root);
// Every file name of `folder` that is a partial copy left behind.
std::vector<std::string> partialsIn(const fs::path& folder);

DriveConfig makeConfig(const fs::path& destination, std::string driveName,
                       std::vector<std::string> sources, BackupMode mode = BackupMode::sync,
                       bool deleteRemovedFiles = false);

std::string english(std::string_view key);

// When CI=true every capability a test needs must be present: a missing one fails the test
// instead of skipping it.
bool capabilitiesRequired();

#define KEELBOX_REQUIRE_CAPABILITY(available, why)                                                 \
    do {                                                                                           \
        if (!(available)) {                                                                        \
            if (::keelbox::test::capabilitiesRequired())                                           \
                FAIL() << "missing capability (CI=true): " << (why);                               \
            else                                                                                   \
                GTEST_SKIP() << "missing capability: " << (why);                                   \
        }                                                                                          \
    } while (0)

// A small file system in an image file, mounted below a temp folder for the life of the object and
// always unmounted and deleted afterwards.
class MountedImage {
public:
    enum class Kind { ext4, fat, exfat };

    // Empty `whyNot` on success.
    MountedImage(Kind kind, const fs::path& workDir, int megabytes, std::string& whyNot);
    ~MountedImage();
    MountedImage(const MountedImage&) = delete;
    MountedImage& operator=(const MountedImage&) = delete;

    bool mounted() const { return m_mounted; }
    const fs::path& mountPoint() const { return m_mountPoint; }
    bool remountReadOnly();

    // Whether this machine can mount `kind` (root, loop devices, FUSE, the tools); empty when yes.
    static std::string unavailableReason(Kind kind);

private:
    void unmount();

    Kind m_kind;
    fs::path m_image;
    fs::path m_mountPoint;
    std::string m_loopDevice;
    bool m_mounted = false;
};

// Runs a shell command quietly; its exit status.
int shell(const std::string& command);

// Drops CAP_DAC_OVERRIDE and CAP_DAC_READ_SEARCH from the calling thread's effective set, so that
// root is held to file permissions like anybody else, and gives them back at the end.
class WithoutFileCapabilities {
public:
    WithoutFileCapabilities();
    ~WithoutFileCapabilities();
    WithoutFileCapabilities(const WithoutFileCapabilities&) = delete;
    WithoutFileCapabilities& operator=(const WithoutFileCapabilities&) = delete;
    bool active() const { return m_active; }

private:
    bool m_active = false;
    std::uint32_t m_saved[2] = {0, 0};
};

} // namespace keelbox::test
