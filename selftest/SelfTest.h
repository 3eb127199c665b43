#pragma once
// The built-in end-to-end check of the backup engine behind `keelbox --selftest`.

#include "engine/BackupEngine.h"

#include <chrono>
#include <filesystem>
#include <functional>
#include <ostream>

namespace keelbox {

using SelfTestBackup = std::function<BackupResult(const DriveConfig&, const std::filesystem::path&,
                                                  AppLanguage, const ProgressCallback&)>;

// What the self-test runs against. The defaults are the real engine, the system's temporary folder
// ($TMPDIR, else /tmp) and the pause that makes a rewritten file measurably newer than its copy.
struct SelfTestEnvironment {
    SelfTestBackup runBackup;
    std::filesystem::path temporaryFolder;
    std::chrono::milliseconds changePause{3100};
};

// Runs every check in a throw-away folder, prints one line per check to `out` and returns the
// process exit status: 0 when every check passed, 1 otherwise.
int runSelfTest(std::ostream& out);
int runSelfTest(std::ostream& out, const SelfTestEnvironment& environment);

// The folder for throw-away trees: `tmpdir` (the value of $TMPDIR, null when unset) unless it is
// empty, else /tmp.
std::filesystem::path temporaryFolder(const char* tmpdir);

} // namespace keelbox
