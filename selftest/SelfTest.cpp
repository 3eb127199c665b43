#include "selftest/SelfTest.h"

#include "core/ExitStatus.h"
#include "core/PosixFile.h"
#include "engine/SystemError.h"
#include "localization/Format.h"
#include "selftest/Capabilities.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>
#include <sstream>
#include <stdexcept>
#include <string>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>
#include <vector>

namespace keelbox {
namespace fs = std::filesystem;

namespace {

// A preparation step that failed: the rest of the checks make no sense without it.
struct SetupFailure : std::runtime_error {
    using std::runtime_error::runtime_error;
};

void require(const std::optional<FileError>& error) {
    if (error)
        throw SetupFailure(error->message());
}

[[noreturn]] void failSetup(std::string operation, const fs::path& path, int errnum) {
    throw SetupFailure(FileError{errnum, std::move(operation), path}.message());
}

std::string readText(const fs::path& path) {
    return readFile(path, 1 << 20).text;
}

bool pathExists(const fs::path& path) {
    std::error_code ec;
    return fs::exists(path, ec);
}

// The reason is looked for in the run's own (Polish) words; the needle is plain ASCII, so folding
// ASCII letters is all the case-insensitivity it needs.
bool containsIgnoringCase(std::string_view haystack, std::string_view needle) {
    auto lower = [](char c) {
        return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
    };
    return std::search(haystack.begin(), haystack.end(), needle.begin(), needle.end(),
                       [&](char a, char b) { return lower(a) == lower(b); }) != haystack.end();
}

class Checker {
public:
    explicit Checker(std::ostream& out) : m_out(out) {}

    void check(bool condition, const std::string& label) {
        if (condition) {
            ++passed;
            m_out << "  ✅ " << label << '\n';
        } else {
            ++failed;
            m_out << "  ❌ " << label << '\n';
        }
        m_out.flush();
    }

    void exception(const std::string& description) {
        ++failed;
        m_out << "  ❌ Wyjątek: " << description << '\n';
        m_out.flush();
    }

    Int64 passed = 0;
    Int64 failed = 0;

private:
    std::ostream& m_out;
};

std::string str(Int64 value) {
    return std::to_string(value);
}

// The checks in the order they run, each group on the state the previous ones left: a sample drive
// at `volume` backed up into `dest`.
class Checks {
public:
    Checks(Checker& checker, const SelfTestEnvironment& environment, const fs::path& volumeRoot,
           const fs::path& destination)
        : c(checker), env(environment), volume(volumeRoot), dest(destination),
          copy(destination / "TESTVOL") {
        base.schemaVersion = 1;
        base.driveID = "test";
        base.driveName = "TESTVOL";
        base.createdAt = now();
        base.updatedAt = base.createdAt;
        base.destinationPath = dest.string();
        base.mode = BackupMode::sync;
        base.deleteRemovedFiles = false;
        base.autoRunOnMount = true;
        base.sources = {SourceItem{Uuid::random(), "Docs"}};
    }

    void prepareDrive() {
        require(createFolders(volume / "Docs/Sub"));
        require(writeFileAtomically(volume / "Docs/a.txt", "alpha"));
        require(writeFileAtomically(volume / "Docs/Sub/b.txt", "beta"));
        require(writeFileAtomically(volume / ".keelbox.json", "{}"));
    }

    void copySkipAndUpdate() {
        BackupResult r = backup(base);
        c.check(r.filesCopied == 2,
                "Pierwszy backup kopiuje 2 pliki (było " + str(r.filesCopied) + ")");
        c.check(pathExists(copy / "Docs/a.txt"), "Plik a.txt istnieje w kopii");
        c.check(!pathExists(copy / "Docs/.keelbox.json"), "Plik konfiguracyjny NIE jest kopiowany");

        r = backup(base);
        c.check(r.filesCopied == 0 && r.filesSkipped == 2,
                "Ponowny backup pomija niezmienione (copied=" + str(r.filesCopied) +
                    ", skipped=" + str(r.filesSkipped) + ")");

        // The copy keeps the source's modification time and the skip rule forgives two seconds,
        // so the rewrite must come measurably later to count as a change.
        std::this_thread::sleep_for(env.changePause);
        require(writeFileAtomically(volume / "Docs/a.txt", "alpha-changed"));
        r = backup(base);
        c.check(r.filesCopied == 1,
                "Po zmianie kopiuje dokładnie 1 plik (było " + str(r.filesCopied) + ")");
        c.check(readText(copy / "Docs/a.txt") == "alpha-changed",
                "Treść kopii została zaktualizowana");
    }

    void datedAndMirror() {
        DriveConfig dated = base;
        dated.mode = BackupMode::dated;
        BackupResult r = backup(dated);
        c.check(r.filesCopied == 2,
                "Backup z datą kopiuje 2 pliki (było " + str(r.filesCopied) + ")");
        c.check(pathExists(dest / ("TESTVOL/" + dayFolderName(now()) + "/Docs/a.txt")),
                "Snapshot w folderze z dzisiejszą datą istnieje");

        if (::unlink((volume / "Docs/Sub/b.txt").c_str()) != 0)
            failSetup("delete", volume / "Docs/Sub/b.txt", errno);
        DriveConfig mirror = base;
        mirror.deleteRemovedFiles = true;
        r = backup(mirror);
        c.check(r.filesDeleted >= 1 && !pathExists(copy / "Docs/Sub/b.txt"),
                "Lustro usuwa z kopii plik skasowany na nośniku (deleted=" + str(r.filesDeleted) +
                    ")");
    }

    void progress() {
        std::vector<BackupProgress> reports;
        backup(base, AppLanguage::english,
               [&reports](const BackupProgress& progress) { reports.push_back(progress); });
        const BackupProgress* last = reports.empty() ? nullptr : &reports.back();
        const Int done = last ? last->filesDone : -1;
        const Int total = last ? last->filesTotal : -1;
        const double fraction = last ? last->fraction() : 0.0;
        c.check(!reports.empty(), "Postęp jest raportowany (" +
                                      str(static_cast<Int64>(reports.size())) + " raportów)");
        c.check(last != nullptr && done == total && total > 0,
                "Postęp kończy na komplecie plików (" + str(done) + "/" + str(total) + ")");
        c.check(fraction >= 0.999, "Końcowy ułamek postępu = 100% (" +
                                       str(static_cast<Int64>(fraction * 100.0)) + "%)");
    }

    void problems() {
        DriveConfig missingSource = base;
        missingSource.sources = {SourceItem{Uuid::random(), "NieIstnieje-XYZ"}};
        BackupResult r = backup(missingSource);
        const std::string missingReason = r.errors.empty() ? "—" : r.errors.front().reason;
        c.check(!r.errors.empty() && !r.errors.front().reason.empty(),
                "Brakujące źródło daje błąd z opisem (" + missingReason + ")");

        const fs::path locked = volume / "Docs/locked.bin";
        require(writeFileInPlace(locked, std::string_view("\x01\x02\x03", 3)));
        if (::chmod(locked.c_str(), 0) != 0)
            failSetup("change the permissions of", locked, errno);
        {
            // Root reads a mode-000 file as if nothing were in the way; without the override
            // capabilities the run meets the same refusal an ordinary user does.
            FilePermissionsEnforced enforced;
            r = backup(base, AppLanguage::polish);
        }
        ::chmod(locked.c_str(), 0644);
        const auto denied =
            std::find_if(r.errors.begin(), r.errors.end(), [](const BackupIssue& i) {
                return containsIgnoringCase(i.reason, "uprawnie");
            });
        const bool found = denied != r.errors.end();
        c.check(found,
                "Błąd uprawnień dostaje przyjazny powód (" +
                    (r.errors.empty() ? std::string("brak błędu") : r.errors.front().reason) + ")");
        c.check(found && denied->suggestion.has_value() && !denied->systemMessage.empty(),
                "Problem ma podpowiedź i zachowany komunikat systemu");
    }

    void unknownSystemError() {
        SystemError strange;
        strange.domain = "TestDomain";
        strange.code = 9999;
        strange.description = "Dziwny blad systemu XYZ";
        const BackupIssue issue = makeIssue(strange, "a/b.txt", AppLanguage::polish);
        c.check(issue.reason == "Dziwny blad systemu XYZ",
                "Nieznany blad pokazuje komunikat systemu jako powod (" + issue.reason + ")");
        c.check(issue.systemMessage.find("TestDomain") != std::string::npos &&
                    issue.systemMessage.find("9999") != std::string::npos,
                "Szczegoly zawieraja kod techniczny (" + issue.systemMessage + ")");
    }

private:
    BackupResult backup(const DriveConfig& config, AppLanguage language = AppLanguage::english,
                        const ProgressCallback& onProgress = {}) {
        return env.runBackup(config, volume, language, onProgress);
    }

    Checker& c;
    const SelfTestEnvironment& env;
    const fs::path volume;
    const fs::path dest;
    const fs::path copy;
    DriveConfig base;
};

void runChecks(Checker& checker, const SelfTestEnvironment& env, const fs::path& volume,
               const fs::path& dest) {
    Checks checks(checker, env, volume, dest);
    checks.prepareDrive();
    checks.copySkipAndUpdate();
    checks.datedAndMirror();
    checks.progress();
    checks.problems();
    checks.unknownSystemError();
}

} // namespace

fs::path temporaryFolder(const char* tmpdir) {
    return tmpdir != nullptr && *tmpdir != '\0' ? fs::path(tmpdir) : fs::path("/tmp");
}

int runSelfTest(std::ostream& out) {
    return runSelfTest(out, {});
}

int runSelfTest(std::ostream& out, const SelfTestEnvironment& environment) {
    SelfTestEnvironment env = environment;
    const fs::path temporary =
        env.temporaryFolder.empty() ? temporaryFolder(std::getenv("TMPDIR")) : env.temporaryFolder;
    const fs::path root = temporary / ("Keelbox-selftest-" + Uuid::random().toString());
    if (!env.runBackup) {
        // The tree is the self-test's own, so it is a destination wherever TMPDIR puts it (under
        // /run, in a hidden folder of the home).
        env.runBackup = [root](const DriveConfig& config, const fs::path& volumeRoot,
                               AppLanguage language, const ProgressCallback& onProgress) {
            RunEnvironment runEnvironment;
            runEnvironment.callersOwnFolder = root;
            return BackupEngine::run(config, volumeRoot, language, onProgress, runEnvironment);
        };
    }
    const fs::path volume = root / "VOLUME";
    const fs::path dest = root / "DEST";

    Checker checker(out);
    out << "Keelbox — self-test\n" << std::endl;

    try {
        runChecks(checker, env, volume, dest);
    } catch (const std::exception& e) {
        checker.exception(e.what());
    }

    std::error_code ignored;
    fs::remove_all(root, ignored);

    out << "\nWynik: " << checker.passed << " OK, "
        << formatText("%ld %{błąd|błędy|błędów}", {static_cast<std::int64_t>(checker.failed)})
        << std::endl;
    return checker.failed != 0 ? exitIssues : exitOk;
}

} // namespace keelbox
