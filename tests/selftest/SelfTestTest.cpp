// The self-test's own logic with a scripted engine, and the whole run against the real engine,
// as root and as an ordinary user.

#include "selftest/SelfTest.h"
#include "tests/support/TempFolder.h"

#include "selftest/Capabilities.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <grp.h>
#include <regex>
#include <sstream>
#include <string>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <vector>

namespace keelbox {
namespace {
namespace fs = std::filesystem;

using test::TempFolder;

std::vector<std::string> lines(const std::string& text) {
    std::vector<std::string> result;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        result.push_back(line);
    return result;
}

// What the real engine must make the self-test print; "K" stands for the number of progress
// reports, which depends on how often the engine reports.
const std::vector<std::string> expectedLines = {
    "Keelbox — self-test",
    "",
    "  ✅ Pierwszy backup kopiuje 2 pliki (było 2)",
    "  ✅ Plik a.txt istnieje w kopii",
    "  ✅ Plik konfiguracyjny NIE jest kopiowany",
    "  ✅ Ponowny backup pomija niezmienione (copied=0, skipped=2)",
    "  ✅ Po zmianie kopiuje dokładnie 1 plik (było 1)",
    "  ✅ Treść kopii została zaktualizowana",
    "  ✅ Backup z datą kopiuje 2 pliki (było 2)",
    "  ✅ Snapshot w folderze z dzisiejszą datą istnieje",
    "  ✅ Lustro usuwa z kopii plik skasowany na nośniku (deleted=1)",
    "  ✅ Postęp jest raportowany (K raportów)",
    "  ✅ Postęp kończy na komplecie plików (1/1)",
    "  ✅ Końcowy ułamek postępu = 100% (100%)",
    "  ✅ Brakujące źródło daje błąd z opisem (Source no longer exists on the drive.)",
    "  ✅ Błąd uprawnień dostaje przyjazny powód (Brak uprawnień do pliku lub miejsca docelowego.)",
    "  ✅ Problem ma podpowiedź i zachowany komunikat systemu",
    "  ✅ Nieznany blad pokazuje komunikat systemu jako powod (Dziwny blad systemu XYZ)",
    "  ✅ Szczegoly zawieraja kod techniczny (TestDomain #9999)",
    "",
    "Wynik: 17 OK, 0 błędów",
};

void expectAllPassed(const std::string& output) {
    const std::vector<std::string> got = lines(output);
    ASSERT_EQ(got.size(), expectedLines.size()) << output;
    for (std::size_t i = 0; i < got.size(); ++i) {
        if (expectedLines[i].find("(K raportów)") != std::string::npos) {
            EXPECT_TRUE(std::regex_match(got[i], std::regex("  ✅ Postęp jest raportowany "
                                                            "\\([1-9][0-9]* raportów\\)")))
                << got[i];
        } else {
            EXPECT_EQ(got[i], expectedLines[i]);
        }
    }
}

TEST(SelfTestWithEngine, EveryCheckPassesAndTheTreeIsRemoved) {
    TempFolder temp;
    std::ostringstream out;
    SelfTestEnvironment environment;
    environment.temporaryFolder = temp.path();
    EXPECT_EQ(runSelfTest(out, environment), 0) << out.str();
    expectAllPassed(out.str());
    EXPECT_TRUE(fs::is_empty(temp.path()));
    // The permission run gave the rights back.
    if (::geteuid() == 0) {
        EXPECT_TRUE(canOverrideFilePermissions());
    }
}

// An ordinary user (nobody) gets the same seventeen passes, in a folder only that user may use.
TEST(SelfTestWithEngine, PassesAsAnOrdinaryUser) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "already an ordinary user; the test above covers it";
    TempFolder temp;
    const fs::path home = temp.path() / "nobody";
    fs::create_directories(home);
    ASSERT_EQ(::chown(home.c_str(), 65534, 65534), 0);
    ASSERT_EQ(::chmod(temp.path().c_str(), 0755), 0);

    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const pid_t pid = ::fork();
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::close(pipeFds[0]);
        if (::setgroups(0, nullptr) != 0 || ::setgid(65534) != 0 || ::setuid(65534) != 0)
            ::_exit(90);
        if (::geteuid() != 65534 || canOverrideFilePermissions())
            ::_exit(91);
        std::ostringstream out;
        SelfTestEnvironment environment;
        environment.temporaryFolder = home;
        const int status = runSelfTest(out, environment);
        const std::string text = out.str();
        [[maybe_unused]] const ssize_t written = ::write(pipeFds[1], text.data(), text.size());
        ::_exit(status);
    }
    ::close(pipeFds[1]);
    std::string output;
    char buffer[4096];
    for (ssize_t n; (n = ::read(pipeFds[0], buffer, sizeof buffer)) != 0;) {
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            break;
        output.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(pipeFds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFEXITED(status));
    EXPECT_EQ(WEXITSTATUS(status), 0) << output;
    expectAllPassed(output);
    EXPECT_TRUE(fs::is_empty(home));
}

// A scripted engine that answers every run with a prepared result and records how it was called.
struct Call {
    DriveConfig config;
    fs::path volumeRoot;
    AppLanguage language;
    bool withProgress;
    int lockedOpenError; // errno of opening Docs/locked.bin during the call, 0 when readable
};

class ScriptedEngine {
public:
    std::vector<BackupResult> results;
    std::vector<std::vector<BackupProgress>> reports;
    std::vector<Call> calls;

    SelfTestEnvironment environment(const fs::path& temporary) {
        SelfTestEnvironment env;
        env.temporaryFolder = temporary;
        env.changePause = std::chrono::milliseconds(0);
        env.runBackup = [this](const DriveConfig& config, const fs::path& volume,
                               AppLanguage language, const ProgressCallback& onProgress) {
            const std::size_t index = calls.size();
            int lockedError = -1;
            const fs::path locked = volume / "Docs/locked.bin";
            if (fs::exists(locked)) {
                const int fd = ::open(locked.c_str(), O_RDONLY | O_CLOEXEC);
                lockedError = fd < 0 ? errno : 0;
                if (fd >= 0)
                    ::close(fd);
            }
            calls.push_back({config, volume, language, static_cast<bool>(onProgress), lockedError});
            if (onProgress && index < reports.size()) {
                for (const BackupProgress& p : reports[index])
                    onProgress(p);
            }
            return index < results.size() ? results[index] : BackupResult{};
        };
        return env;
    }
};

TEST(SelfTestScripted, RunsTheEightBackupsWithTheirVariants) {
    TempFolder temp;
    ScriptedEngine engine;
    std::ostringstream out;
    runSelfTest(out, engine.environment(temp.path()));

    ASSERT_EQ(engine.calls.size(), 8u) << out.str();
    const Call& first = engine.calls[0];
    EXPECT_EQ(first.volumeRoot.filename(), "VOLUME");
    EXPECT_EQ(fs::path(first.config.destinationPath), first.volumeRoot.parent_path() / "DEST");
    EXPECT_TRUE(
        first.volumeRoot.parent_path().filename().string().starts_with("Keelbox-selftest-"));
    EXPECT_EQ(first.volumeRoot.parent_path().filename().string().size(),
              std::string("Keelbox-selftest-").size() + 36);
    EXPECT_EQ(first.config.driveName, "TESTVOL");
    EXPECT_EQ(first.config.driveID, "test");
    EXPECT_TRUE(first.config.autoRunOnMount);
    ASSERT_EQ(first.config.sources.size(), 1u);
    EXPECT_EQ(first.config.sources[0].relativePath, "Docs");

    const struct {
        BackupMode mode;
        bool mirror;
        std::string source;
        AppLanguage language;
        bool progress;
    } expected[] = {
        {BackupMode::sync, false, "Docs", AppLanguage::english, false},
        {BackupMode::sync, false, "Docs", AppLanguage::english, false},
        {BackupMode::sync, false, "Docs", AppLanguage::english, false},
        {BackupMode::dated, false, "Docs", AppLanguage::english, false},
        {BackupMode::sync, true, "Docs", AppLanguage::english, false},
        {BackupMode::sync, false, "Docs", AppLanguage::english, true},
        {BackupMode::sync, false, "NieIstnieje-XYZ", AppLanguage::english, false},
        {BackupMode::sync, false, "Docs", AppLanguage::polish, false},
    };
    for (std::size_t i = 0; i < engine.calls.size(); ++i) {
        const Call& call = engine.calls[i];
        EXPECT_EQ(call.volumeRoot, first.volumeRoot) << i;
        EXPECT_EQ(call.config.mode, expected[i].mode) << i;
        EXPECT_EQ(call.config.deleteRemovedFiles, expected[i].mirror) << i;
        ASSERT_EQ(call.config.sources.size(), 1u);
        EXPECT_EQ(call.config.sources[0].relativePath, expected[i].source) << i;
        EXPECT_EQ(call.language, expected[i].language) << i;
        EXPECT_EQ(call.withProgress, expected[i].progress) << i;
    }
    // The missing-source variant has its own entry identity; the others share the base one.
    EXPECT_EQ(engine.calls[4].config.sources[0].id, first.config.sources[0].id);
    EXPECT_NE(engine.calls[6].config.sources[0].id, first.config.sources[0].id);
    // The locked file exists only for the last run, and it cannot be read then, even by root.
    for (std::size_t i = 0; i < 7; ++i)
        EXPECT_EQ(engine.calls[i].lockedOpenError, -1) << i;
    EXPECT_EQ(engine.calls[7].lockedOpenError, EACCES);
    EXPECT_TRUE(fs::is_empty(temp.path()));
}

TEST(SelfTestScripted, EngineThatDoesNothingFailsWithTheDocumentedLabels) {
    TempFolder temp;
    ScriptedEngine engine;
    std::ostringstream out;
    EXPECT_EQ(runSelfTest(out, engine.environment(temp.path())), 1);
    const std::string text = out.str();
    for (const char* line : {
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
             "  ✅ Nieznany blad pokazuje komunikat systemu jako powod (Dziwny blad systemu XYZ)\n",
             "\nWynik: 3 OK, 14 błędów\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }
}

TEST(SelfTestScripted, ProgressAndPermissionRulesUseTheRightReport) {
    TempFolder temp;
    ScriptedEngine engine;
    engine.results.resize(8);
    // Three reports, the last one complete: its fraction comes from bytes.
    engine.reports.resize(8);
    engine.reports[5] = {{1, 3, 10, 400, "a"}, {2, 3, 200, 400, "b"}, {3, 3, 400, 400, ""}};
    // Missing source whose reason is empty fails even though an issue exists.
    engine.results[6].errors = {{"NieIstnieje-XYZ", "", "", std::nullopt}};
    // The permission issue is second; the label still shows the first issue's reason.
    engine.results[7].errors = {
        {"Docs/x", "Inny problem", "sys", std::nullopt},
        {"Docs/locked.bin", "BRAK UPRAWNIEŃ do pliku", "EACCES", std::string("Nadaj dostęp")},
    };
    std::ostringstream out;
    runSelfTest(out, engine.environment(temp.path()));
    const std::string text = out.str();
    for (const char* line : {
             "  ✅ Postęp jest raportowany (3 raportów)\n",
             "  ✅ Postęp kończy na komplecie plików (3/3)\n",
             "  ✅ Końcowy ułamek postępu = 100% (100%)\n",
             "  ❌ Brakujące źródło daje błąd z opisem ()\n",
             "  ✅ Błąd uprawnień dostaje przyjazny powód (Inny problem)\n",
             "  ✅ Problem ma podpowiedź i zachowany komunikat systemu\n",
         }) {
        EXPECT_NE(text.find(line), std::string::npos) << line << "\nin:\n" << text;
    }

    // A permission issue without a hint, or with an empty system message, fails the second check.
    ScriptedEngine bare;
    bare.results.resize(8);
    bare.results[7].errors = {{"Docs/locked.bin", "Brak uprawnień", "", std::string("hint")}};
    std::ostringstream bareOut;
    runSelfTest(bareOut, bare.environment(temp.path()));
    EXPECT_NE(bareOut.str().find("  ✅ Błąd uprawnień dostaje przyjazny powód (Brak uprawnień)"),
              std::string::npos);
    EXPECT_NE(bareOut.str().find("  ❌ Problem ma podpowiedź i zachowany komunikat systemu"),
              std::string::npos);
}

TEST(SelfTestScripted, IncompleteLastReportFailsTheCompletionChecks) {
    TempFolder temp;
    ScriptedEngine engine;
    engine.reports.resize(8);
    // 998 of 1000 bytes is short of the 0.999 the check asks for; 2 of 3 files is not complete.
    engine.reports[5] = {{2, 3, 998, 1000, "x"}};
    std::ostringstream out;
    runSelfTest(out, engine.environment(temp.path()));
    EXPECT_NE(out.str().find("  ❌ Postęp kończy na komplecie plików (2/3)"), std::string::npos)
        << out.str();
    EXPECT_NE(out.str().find("  ❌ Końcowy ułamek postępu = 100% (99%)"), std::string::npos)
        << out.str();
}

TEST(SelfTestScripted, UnusableTemporaryFolderEndsWithOneException) {
    TempFolder temp;
    const fs::path notAFolder = temp.path() / "plain-file";
    std::ofstream(notAFolder) << "x";
    ScriptedEngine engine;
    std::ostringstream out;
    EXPECT_EQ(runSelfTest(out, engine.environment(notAFolder)), 1);
    const std::vector<std::string> got = lines(out.str());
    ASSERT_EQ(got.size(), 5u) << out.str();
    EXPECT_EQ(got[0], "Keelbox — self-test");
    EXPECT_EQ(got[1], "");
    EXPECT_TRUE(got[2].starts_with("  ❌ Wyjątek: Could not create folder “" + notAFolder.string() +
                                   "/Keelbox-selftest-"))
        << got[2];
    EXPECT_TRUE(got[2].ends_with("/VOLUME/Docs/Sub”: Not a directory")) << got[2];
    EXPECT_EQ(got[3], "");
    EXPECT_EQ(got[4], "Wynik: 0 OK, 1 błędów");
    EXPECT_TRUE(engine.calls.empty());
}

// Checks printed before a failed preparation step stay counted.
TEST(SelfTestScripted, FailureMidwayKeepsEarlierChecks) {
    TempFolder temp;
    ScriptedEngine engine;
    engine.results.resize(8);
    engine.results[0].filesCopied = 2;
    SelfTestEnvironment env = engine.environment(temp.path());
    const SelfTestBackup inner = env.runBackup;
    // The second run takes the drive's Docs folder away, so rewriting a.txt cannot work.
    env.runBackup = [&](const DriveConfig& c, const fs::path& volume, AppLanguage l,
                        const ProgressCallback& p) {
        BackupResult r = inner(c, volume, l, p);
        if (engine.calls.size() == 2)
            fs::remove_all(volume / "Docs");
        return r;
    };
    std::ostringstream out;
    EXPECT_EQ(runSelfTest(out, env), 1);
    const std::string text = out.str();
    EXPECT_NE(text.find("  ✅ Pierwszy backup kopiuje 2 pliki (było 2)"), std::string::npos);
    EXPECT_NE(text.find("  ❌ Wyjątek: Could not write “"), std::string::npos) << text;
    EXPECT_NE(text.find("a.txt”: No such file or directory"), std::string::npos) << text;
    EXPECT_NE(text.find("\nWynik: 2 OK, 3 błędów\n"), std::string::npos) << text;
    EXPECT_EQ(engine.calls.size(), 2u);
    EXPECT_TRUE(fs::is_empty(temp.path()));
}

} // namespace
} // namespace keelbox
