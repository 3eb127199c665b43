// Root meets real permission checks while FilePermissionsEnforced is alive, and only then.

#include "selftest/Capabilities.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

namespace keelbox {
namespace {
namespace fs = std::filesystem;

class LockedFiles : public ::testing::Test {
protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "keelbox-caps-XXXXXX").string();
        ASSERT_NE(::mkdtemp(pattern.data()), nullptr);
        folder = pattern;
        locked = folder / "locked.bin";
        std::ofstream(locked) << "secret";
        ASSERT_EQ(::chmod(locked.c_str(), 0), 0);
        sealed = folder / "sealed";
        fs::create_directories(sealed);
        ASSERT_EQ(::chmod(sealed.c_str(), 0555), 0);
    }
    void TearDown() override {
        ::chmod(sealed.c_str(), 0755);
        std::error_code ec;
        fs::remove_all(folder, ec);
    }

    // errno of opening the locked file for reading, 0 when it opened.
    int openError() const {
        const int fd = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0)
            return errno;
        ::close(fd);
        return 0;
    }
    int createError() const {
        const fs::path file = sealed / "new.txt";
        const int fd = ::open(file.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0644);
        if (fd < 0)
            return errno;
        ::close(fd);
        ::unlink(file.c_str());
        return 0;
    }

    fs::path folder;
    fs::path locked;
    fs::path sealed;
};

TEST_F(LockedFiles, RootIsRefusedOnlyWhileEnforced) {
    const bool root = ::geteuid() == 0;
    const bool couldOverride = canOverrideFilePermissions();
    // Root reads mode 000 unless the capabilities are lowered; an ordinary user never does.
    EXPECT_EQ(openError(), couldOverride ? 0 : EACCES);
    {
        FilePermissionsEnforced enforced;
        EXPECT_EQ(enforced.lowered(), couldOverride);
        EXPECT_FALSE(canOverrideFilePermissions());
        EXPECT_EQ(openError(), EACCES);
        EXPECT_EQ(createError(), EACCES);
        // A thread started meanwhile (an engine helper, say) inherits the lowered rights.
        int threadError = 0;
        std::thread([&] { threadError = openError(); }).join();
        EXPECT_EQ(threadError, EACCES);
        // The owner may still change the mode back, which the self-test does afterwards.
        EXPECT_EQ(::chmod(locked.c_str(), 0), 0);
    }
    EXPECT_EQ(canOverrideFilePermissions(), couldOverride);
    EXPECT_EQ(openError(), couldOverride ? 0 : EACCES);
    if (root) {
        EXPECT_TRUE(couldOverride) << "root without CAP_DAC_OVERRIDE: the root case is untested";
    }
}

TEST_F(LockedFiles, NestedScopesRestoreInOrder) {
    const bool couldOverride = canOverrideFilePermissions();
    {
        FilePermissionsEnforced outer;
        {
            FilePermissionsEnforced inner;
            // Nothing is left to lower, so the inner scope must not restore anything.
            EXPECT_FALSE(inner.lowered());
        }
        EXPECT_FALSE(canOverrideFilePermissions());
        EXPECT_EQ(openError(), EACCES);
    }
    EXPECT_EQ(canOverrideFilePermissions(), couldOverride);
}

} // namespace
} // namespace keelbox
