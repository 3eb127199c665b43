// The self-test against the real engine, and its own logic with a scripted engine. The run as an
// ordinary user goes through the binary (tests/cli).

#include "selftest/SelfTest.h"
#include "tests/support/Helpers.h"
#include "tests/support/TempFolder.h"

#include "selftest/Capabilities.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <regex>
#include <sstream>
#include <unistd.h>

namespace keelbox {
namespace {
namespace fs = std::filesystem;
using test::TempFolder;

void expectLines(const std::string& text, std::initializer_list<const char*> lines) {
    for (const char* line : lines)
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
}

// Wherever the temporary folder is: plain, under /run, in a hidden folder of the home.
class SelfTestWithEngine : public ::testing::TestWithParam<const char*> {};

TEST_P(SelfTestWithEngine, EveryCheckPassesAndTheTreeIsRemoved) {
    TempFolder temp;
    fs::path temporary = temp.path();
    fs::path runFolder;
    const std::string place = GetParam();
    const char* oldHome = std::getenv("HOME");
    const std::string savedHome = oldHome != nullptr ? oldHome : "";
    if (place == "run") {
        runFolder = fs::path("/run") / temp.path().filename();
        std::error_code ec;
        KEELBOX_REQUIRE_CAPABILITY(fs::create_directories(runFolder / "tmp", ec),
                                   "/run is not writable");
        temporary = runFolder / "tmp";
    } else if (place == "hiddenHome") {
        ::setenv("HOME", (temp / "home").c_str(), 1);
        temporary = temp / "home/.cache/tmp";
        fs::create_directories(temporary);
    }
    std::ostringstream out;
    SelfTestEnvironment environment;
    environment.temporaryFolder = temporary;
    const int status = runSelfTest(out, environment);
    const bool treeRemoved = fs::is_empty(temporary);
    ::setenv("HOME", savedHome.c_str(), 1);
    if (!runFolder.empty())
        fs::remove_all(runFolder);
    EXPECT_EQ(status, 0) << out.str();
    // The number of progress reports depends on how often the engine reports.
    const std::string text =
        std::regex_replace(out.str(), std::regex(R"(\(([1-9][0-9]*) raportów\))"), "(K raportów)");
    EXPECT_EQ(text, "Keelbox — self-test\n\n"
                    "  ✅ Pierwszy backup kopiuje 2 pliki (było 2)\n"
                    "  ✅ Plik a.txt istnieje w kopii\n"
                    "  ✅ Plik konfiguracyjny NIE jest kopiowany\n"
                    "  ✅ Ponowny backup pomija niezmienione (copied=0, skipped=2)\n"
                    "  ✅ Po zmianie kopiuje dokładnie 1 plik (było 1)\n"
                    "  ✅ Treść kopii została zaktualizowana\n"
                    "  ✅ Backup z datą kopiuje 2 pliki (było 2)\n"
                    "  ✅ Snapshot w folderze z dzisiejszą datą istnieje\n"
                    "  ✅ Lustro usuwa z kopii plik skasowany na nośniku (deleted=1)\n"
                    "  ✅ Postęp jest raportowany (K raportów)\n"
                    "  ✅ Postęp kończy na komplecie plików (1/1)\n"
                    "  ✅ Końcowy ułamek postępu = 100% (100%)\n"
                    "  ✅ Brakujące źródło daje błąd z opisem (Source no longer exists on the "
                    "drive.)\n"
                    "  ✅ Błąd uprawnień dostaje przyjazny powód (Brak uprawnień do pliku lub "
                    "miejsca docelowego.)\n"
                    "  ✅ Problem ma podpowiedź i zachowany komunikat systemu\n"
                    "  ✅ Nieznany blad pokazuje komunikat systemu jako powod (Dziwny blad "
                    "systemu XYZ)\n"
                    "  ✅ Szczegoly zawieraja kod techniczny (TestDomain #9999)\n"
                    "\nWynik: 17 OK, 0 błędów\n");
    EXPECT_TRUE(treeRemoved);
    // The permission run gave the rights back.
    if (::geteuid() == 0) {
        EXPECT_TRUE(canOverrideFilePermissions());
    }
}
INSTANTIATE_TEST_SUITE_P(TemporaryFolders, SelfTestWithEngine,
                         ::testing::Values("plain", "run", "hiddenHome"));

// A scripted engine that answers every run with a prepared result and records how it was called.
struct Call {
    DriveConfig config;
    fs::path volumeRoot;
    AppLanguage language;
    bool withProgress;
    int lockedOpenError; // errno of opening Docs/locked.bin during the call, 0 when readable
};

struct ScriptedEngine {
    std::vector<BackupResult> results = std::vector<BackupResult>(8);
    std::vector<std::vector<BackupProgress>> reports = std::vector<std::vector<BackupProgress>>(8);
    std::vector<Call> calls;
    TempFolder temp;

    std::string run(const SelfTestEnvironment& env, int expectedStatus = 1) {
        std::ostringstream out;
        EXPECT_EQ(runSelfTest(out, env), expectedStatus) << out.str();
        return out.str();
    }
    std::string run() { return run(environment(temp.path())); }

    SelfTestEnvironment environment(const fs::path& temporary) {
        SelfTestEnvironment env;
        env.temporaryFolder = temporary;
        env.changePause = std::chrono::milliseconds(0);
        env.runBackup = [this](const DriveConfig& config, const fs::path& volume,
                               AppLanguage language, const ProgressCallback& onProgress) {
            const std::size_t index = calls.size();
            int lockedError = -1;
            if (fs::exists(volume / "Docs/locked.bin")) {
                const int fd = ::open((volume / "Docs/locked.bin").c_str(), O_RDONLY | O_CLOEXEC);
                lockedError = fd < 0 ? errno : 0;
                if (fd >= 0)
                    ::close(fd);
            }
            calls.push_back({config, volume, language, static_cast<bool>(onProgress), lockedError});
            for (std::size_t i = 0;
                 onProgress && index < reports.size() && i < reports[index].size(); ++i)
                onProgress(reports[index][i]);
            return index < results.size() ? results[index] : BackupResult{};
        };
        return env;
    }
};

TEST(SelfTestScripted, EngineThatDoesNothingFailsWithTheDocumentedLabels) {
    ScriptedEngine engine;
    expectLines(engine.run(),
                {
                    "  ❌ Pierwszy backup kopiuje 2 pliki (było 0)\n",
                    "  ❌ Plik a.txt istnieje w kopii\n",
                    "  ✅ Plik konfiguracyjny NIE jest kopiowany\n",
                    "  ❌ Ponowny backup pomija niezmienione (copied=0, skipped=0)\n",
                    "  ❌ Lustro usuwa z kopii plik skasowany na nośniku (deleted=0)\n",
                    "  ❌ Postęp jest raportowany (0 raportów)\n",
                    "  ❌ Postęp kończy na komplecie plików (-1/-1)\n",
                    "  ❌ Końcowy ułamek postępu = 100% (0%)\n",
                    "  ❌ Brakujące źródło daje błąd z opisem (—)\n",
                    "  ❌ Błąd uprawnień dostaje przyjazny powód (brak błędu)\n",
                    "  ❌ Problem ma podpowiedź i zachowany komunikat systemu\n",
                    "  ✅ Nieznany blad pokazuje komunikat systemu jako powod (Dziwny blad "
                    "systemu XYZ)\n",
                    "\nWynik: 3 OK, 14 błędów\n",
                });
}

TEST(SelfTestScripted, ProgressAndPermissionRulesUseTheRightReport) {
    ScriptedEngine engine;
    // Three reports, the last one complete: its fraction comes from bytes.
    engine.reports[5] = {{1, 3, 10, 400, "a"}, {2, 3, 200, 400, "b"}, {3, 3, 400, 400, ""}};
    // Missing source whose reason is empty fails even though an issue exists.
    engine.results[6].errors = {{"NieIstnieje-XYZ", "", "", std::nullopt}};
    // The permission issue is second; the label still shows the first issue's reason.
    engine.results[7].errors = {
        {"Docs/x", "Inny problem", "sys", std::nullopt},
        {"Docs/locked.bin", "BRAK UPRAWNIEŃ do pliku", "EACCES", std::string("Nadaj dostęp")},
    };
    expectLines(engine.run(), {
                                  "  ✅ Postęp jest raportowany (3 raportów)\n",
                                  "  ✅ Postęp kończy na komplecie plików (3/3)\n",
                                  "  ✅ Końcowy ułamek postępu = 100% (100%)\n",
                                  "  ❌ Brakujące źródło daje błąd z opisem ()\n",
                                  "  ✅ Błąd uprawnień dostaje przyjazny powód (Inny problem)\n",
                                  "  ✅ Problem ma podpowiedź i zachowany komunikat systemu\n",
                              });

    // 998 of 1000 bytes is short of the 0.999 asked for, 2 of 3 files not complete; a permission
    // issue with an empty system message fails the second permission check.
    ScriptedEngine bare;
    bare.reports[5] = {{2, 3, 998, 1000, "x"}};
    bare.results[7].errors = {{"Docs/locked.bin", "Brak uprawnień", "", std::string("hint")}};
    expectLines(bare.run(), {
                                "  ❌ Postęp kończy na komplecie plików (2/3)",
                                "  ❌ Końcowy ułamek postępu = 100% (99%)",
                                "  ✅ Błąd uprawnień dostaje przyjazny powód (Brak uprawnień)",
                                "  ❌ Problem ma podpowiedź i zachowany komunikat systemu",
                            });
}

TEST(SelfTestScripted, UnusableTemporaryFolderEndsWithOneException) {
    ScriptedEngine engine;
    const fs::path notAFolder = engine.temp.path() / "plain-file";
    std::ofstream(notAFolder) << "x";
    const std::string out = engine.run(engine.environment(notAFolder));
    const std::string start = "Keelbox — self-test\n\n  ❌ Wyjątek: Could not create folder “" +
                              notAFolder.string() + "/Keelbox-selftest-";
    EXPECT_TRUE(out.starts_with(start)) << out;
    EXPECT_TRUE(out.ends_with("/VOLUME/Docs/Sub”: Not a directory\n\nWynik: 0 OK, 1 błędów\n"))
        << out;
    EXPECT_EQ(std::count(out.begin(), out.end(), '\n'), 5);
    EXPECT_TRUE(engine.calls.empty());
}

// Checks printed before a failed preparation step stay counted.
TEST(SelfTestScripted, FailureMidwayKeepsEarlierChecks) {
    ScriptedEngine engine;
    engine.results[0].filesCopied = 2;
    SelfTestEnvironment env = engine.environment(engine.temp.path());
    // The second run takes the drive's Docs folder away, so rewriting a.txt cannot work.
    env.runBackup = [&engine, inner = env.runBackup](const DriveConfig& c, const fs::path& volume,
                                                     AppLanguage l, const ProgressCallback& p) {
        BackupResult r = inner(c, volume, l, p);
        if (engine.calls.size() == 2)
            fs::remove_all(volume / "Docs");
        return r;
    };
    expectLines(engine.run(env),
                {"  ✅ Pierwszy backup kopiuje 2 pliki (było 2)", "  ❌ Wyjątek: Could not write “",
                 "a.txt”: No such file or directory", "\nWynik: 2 OK, 3 błędów\n"});
    EXPECT_EQ(engine.calls.size(), 2u);
    EXPECT_TRUE(fs::is_empty(engine.temp.path()));
}

} // namespace
} // namespace keelbox
