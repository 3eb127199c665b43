// Root meets real permission checks while FilePermissionsEnforced is alive, and only then.

#include "selftest/Capabilities.h"
#include "tests/support/Helpers.h"
#include "tests/support/TempFolder.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <thread>
#include <unistd.h>

namespace keelbox::test {
namespace {

// errno of opening `file` with `flags`, 0 when it opened.
int openError(const fs::path& file, int flags) {
    const int fd = ::open(file.c_str(), flags | O_CLOEXEC, 0644);
    if (fd < 0)
        return errno;
    ::close(fd);
    return 0;
}

TEST(FilePermissionsEnforced, RootIsRefusedOnlyWhileEnforcedAndScopesNest) {
    TempFolder temp;
    const fs::path locked = temp / "locked.bin", sealed = temp / "sealed";
    writeFile(locked, "secret", 0);
    fs::create_directories(sealed);
    ASSERT_EQ(::chmod(sealed.c_str(), 0555), 0);
    const bool couldOverride = canOverrideFilePermissions();
    EXPECT_TRUE(::geteuid() != 0 || couldOverride) << "root without CAP_DAC_OVERRIDE: untested";
    // Root reads mode 000 unless the capabilities are lowered; an ordinary user never does.
    EXPECT_EQ(openError(locked, O_RDONLY), couldOverride ? 0 : EACCES);
    {
        FilePermissionsEnforced enforced;
        // A thread started meanwhile (an engine helper, say) inherits the lowered rights.
        int threadError = 0;
        std::thread([&] { threadError = openError(locked, O_RDONLY); }).join();
        EXPECT_EQ(std::tuple(enforced.lowered(), canOverrideFilePermissions(),
                             openError(locked, O_RDONLY),
                             openError(sealed / "n", O_WRONLY | O_CREAT), threadError),
                  std::tuple(couldOverride, false, EACCES, EACCES, EACCES));
        // The owner may still change the mode back, which the self-test does afterwards.
        EXPECT_EQ(::chmod(locked.c_str(), 0), 0);
        {
            FilePermissionsEnforced inner;
            // Nothing is left to lower, so the inner scope must not restore anything.
            EXPECT_FALSE(inner.lowered());
        }
        EXPECT_TRUE(!canOverrideFilePermissions() && openError(locked, O_RDONLY) == EACCES);
    }
    EXPECT_EQ(std::pair(canOverrideFilePermissions(), openError(locked, O_RDONLY)),
              std::pair(couldOverride, couldOverride ? 0 : EACCES));
}

} // namespace
} // namespace keelbox::test
