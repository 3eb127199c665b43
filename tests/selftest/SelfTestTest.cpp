// The self-test against the real engine, and its own logic with a scripted engine. The run as an
// ordinary user goes through the binary (tests/cli).

#include "selftest/SelfTest.h"
#include "tests/support/Helpers.h"
#include "tests/support/TempFolder.h"

#include "selftest/Capabilities.h"

namespace keelbox {
namespace {
namespace fs = std::filesystem;
using test::TempFolder;

// In a hidden folder of the home, where no backup folder of a drive's may go: the self-test's own
// tree is allowed there (its run in a plain folder, as an ordinary user, is tests/cli's; a
// temporary folder under /run takes the same exception for the caller's own folder).
TEST(SelfTestWithEngine, EveryCheckPassesAndTheTreeIsRemoved) {
    TempFolder temp;
    const fs::path temporary = temp / "home/.cache/tmp";
    fs::create_directories(temporary);
    const std::string savedHome = std::getenv("HOME") ? std::getenv("HOME") : "";
    ::setenv("HOME", (temp / "home").c_str(), 1);
    std::ostringstream out;
    // The rewrite changes the file's size, so it counts as a change without the pause; the binary's
    // run as an ordinary user (tests/cli) keeps the pause.
    const int status =
        runSelfTest(out, {.runBackup = {}, .temporaryFolder = temporary, .changePause = {}});
    const bool treeRemoved = fs::is_empty(temporary);
    ::setenv("HOME", savedHome.c_str(), 1);
    // Every check names what it saw, so a failing one explains itself in the output.
    // The tree is removed, and the permission run gave the rights back.
    EXPECT_TRUE(status == 0 && out.str().ends_with("\nWynik: 17 OK, 0 błędów\n") && treeRemoved &&
                (::geteuid() != 0 || canOverrideFilePermissions()))
        << out.str();
}

// A scripted engine that answers every run with a prepared result and counts the runs.
struct ScriptedEngine {
    std::vector<BackupResult> results = std::vector<BackupResult>(8);
    std::size_t calls = 0;
    TempFolder temp;

    SelfTestEnvironment environment{
        [this](const DriveConfig&, const fs::path&, AppLanguage, const ProgressCallback&) {
            const std::size_t index = calls++;
            return index < results.size() ? results[index] : BackupResult{};
        },
        temp.path(),
        {}};

    std::string run() {
        std::ostringstream out;
        EXPECT_EQ(runSelfTest(out, environment), 1) << out.str();
        return out.str();
    }
};

// Only the checks that an idle engine cannot fail pass.
TEST(SelfTestScripted, EngineThatDoesNothingFailsEveryOtherCheck) {
    ScriptedEngine engine;
    test::expectParts(engine.run(),
                      {"  ✅ Plik konfiguracyjny NIE jest kopiowany\n",
                       "  ✅ Nieznany blad pokazuje komunikat systemu jako powod",
                       "  ✅ Szczegoly zawieraja kod techniczny", "\nWynik: 3 OK, 14 błędów\n"});
}

// A preparation step that fails ends the run with one line; the checks before it stay counted.
TEST(SelfTestScripted, FailureMidwayKeepsEarlierChecks) {
    ScriptedEngine engine;
    engine.results[0].filesCopied = 2;
    // The second run takes the drive's Docs folder away, so rewriting a.txt cannot work.
    engine.environment.runBackup = [&engine, inner = engine.environment.runBackup](
                                       const DriveConfig& c, const fs::path& volume, AppLanguage l,
                                       const ProgressCallback& p) {
        BackupResult r = inner(c, volume, l, p);
        if (engine.calls == 2)
            fs::remove_all(volume / "Docs");
        return r;
    };
    test::expectParts(engine.run(),
                      {"  ✅ Pierwszy backup kopiuje 2 pliki (było 2)",
                       "  ❌ Wyjątek: Could not write “", "a.txt”: No such file or directory",
                       "\nWynik: 2 OK, 3 błędy\n"});
    EXPECT_EQ(engine.calls, 2u);
    EXPECT_TRUE(fs::is_empty(engine.temp.path()));
}

} // namespace
} // namespace keelbox
