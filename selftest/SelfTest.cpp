#include "selftest/SelfTest.h"

#include "engine/SystemError.h"
#include "selftest/Capabilities.h"

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <iterator>
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

std::string quoted(const fs::path& path) {
    return "“" + path.string() + "”";
}

[[noreturn]] void failSetup(std::string_view what, const fs::path& path, int errnum) {
    throw SetupFailure(std::string(what) + " " + quoted(path) + ": " + std::strerror(errnum));
}

void createFolders(const fs::path& path) {
    std::error_code ec;
    fs::create_directories(path, ec);
    if (ec)
        throw SetupFailure("Could not create folder " + quoted(path) + ": " + ec.message());
}

bool writeAll(int fd, std::string_view bytes) {
    while (!bytes.empty()) {
        const ssize_t written = ::write(fd, bytes.data(), bytes.size());
        if (written < 0) {
            if (errno == EINTR)
                continue;
            return false;
        }
        bytes.remove_prefix(static_cast<size_t>(written));
    }
    return true;
}

// The whole file or nothing: a temporary file beside the target, renamed over it.
void writeTextAtomically(const fs::path& path, std::string_view text) {
    fs::path temporary = path;
    temporary += ".keelbox-selftest.tmp";
    const int fd = ::open(temporary.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        failSetup("Could not write", path, errno);
    if (!writeAll(fd, text)) {
        const int errnum = errno;
        ::close(fd);
        ::unlink(temporary.c_str());
        failSetup("Could not write", path, errnum);
    }
    if (::close(fd) != 0) {
        const int errnum = errno;
        ::unlink(temporary.c_str());
        failSetup("Could not write", path, errnum);
    }
    if (::rename(temporary.c_str(), path.c_str()) != 0) {
        const int errnum = errno;
        ::unlink(temporary.c_str());
        failSetup("Could not write", path, errnum);
    }
}

void writeBytes(const fs::path& path, std::string_view bytes) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0)
        failSetup("Could not write", path, errno);
    const bool written = writeAll(fd, bytes);
    const int writeError = errno;
    const bool closed = ::close(fd) == 0;
    if (!written)
        failSetup("Could not write", path, writeError);
    if (!closed)
        failSetup("Could not write", path, errno);
}

std::string readText(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in)
        return {};
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
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

fs::path systemTemporaryFolder() {
    const char* tmpdir = std::getenv("TMPDIR");
    if (tmpdir != nullptr && *tmpdir != '\0')
        return tmpdir;
    return "/tmp";
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

void runChecks(Checker& c, const SelfTestEnvironment& env, const fs::path& volume,
               const fs::path& dest) {
    const auto backup = [&](const DriveConfig& config, AppLanguage language,
                            const ProgressCallback& onProgress = {}) {
        return env.runBackup(config, volume, language, onProgress);
    };

    createFolders(volume / "Docs/Sub");
    writeTextAtomically(volume / "Docs/a.txt", "alpha");
    writeTextAtomically(volume / "Docs/Sub/b.txt", "beta");
    writeTextAtomically(volume / ".keelbox.json", "{}");

    DriveConfig base;
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

    DriveConfig dated = base;
    dated.mode = BackupMode::dated;
    DriveConfig mirror = base;
    mirror.deleteRemovedFiles = true;
    DriveConfig missingSource = base;
    missingSource.sources = {SourceItem{Uuid::random(), "NieIstnieje-XYZ"}};

    const fs::path copy = dest / "TESTVOL";

    BackupResult r = backup(base, AppLanguage::english);
    c.check(r.filesCopied == 2,
            "Pierwszy backup kopiuje 2 pliki (było " + str(r.filesCopied) + ")");
    c.check(pathExists(copy / "Docs/a.txt"), "Plik a.txt istnieje w kopii");
    c.check(!pathExists(copy / "Docs/.keelbox.json"), "Plik konfiguracyjny NIE jest kopiowany");

    r = backup(base, AppLanguage::english);
    c.check(r.filesCopied == 0 && r.filesSkipped == 2,
            "Ponowny backup pomija niezmienione (copied=" + str(r.filesCopied) +
                ", skipped=" + str(r.filesSkipped) + ")");

    // The copy keeps the source's modification time and the skip rule forgives two seconds, so
    // the rewrite must come measurably later to count as a change.
    std::this_thread::sleep_for(env.changePause);
    writeTextAtomically(volume / "Docs/a.txt", "alpha-changed");

    r = backup(base, AppLanguage::english);
    c.check(r.filesCopied == 1,
            "Po zmianie kopiuje dokładnie 1 plik (było " + str(r.filesCopied) + ")");
    c.check(readText(copy / "Docs/a.txt") == "alpha-changed", "Treść kopii została zaktualizowana");

    r = backup(dated, AppLanguage::english);
    c.check(r.filesCopied == 2, "Backup z datą kopiuje 2 pliki (było " + str(r.filesCopied) + ")");
    const std::string day = dayFolderName(now());
    c.check(pathExists(dest / ("TESTVOL/" + day + "/Docs/a.txt")),
            "Snapshot w folderze z dzisiejszą datą istnieje");

    if (::unlink((volume / "Docs/Sub/b.txt").c_str()) != 0)
        failSetup("Could not delete", volume / "Docs/Sub/b.txt", errno);
    r = backup(mirror, AppLanguage::english);
    c.check(r.filesDeleted >= 1 && !pathExists(copy / "Docs/Sub/b.txt"),
            "Lustro usuwa z kopii plik skasowany na nośniku (deleted=" + str(r.filesDeleted) + ")");

    std::vector<BackupProgress> reports;
    backup(base, AppLanguage::english,
           [&reports](const BackupProgress& progress) { reports.push_back(progress); });
    const BackupProgress* last = reports.empty() ? nullptr : &reports.back();
    const Int done = last ? last->filesDone : -1;
    const Int total = last ? last->filesTotal : -1;
    const double fraction = last ? last->fraction() : 0.0;
    c.check(!reports.empty(),
            "Postęp jest raportowany (" + str(static_cast<Int64>(reports.size())) + " raportów)");
    c.check(last != nullptr && done == total && total > 0,
            "Postęp kończy na komplecie plików (" + str(done) + "/" + str(total) + ")");
    c.check(fraction >= 0.999,
            "Końcowy ułamek postępu = 100% (" + str(static_cast<Int64>(fraction * 100.0)) + "%)");

    r = backup(missingSource, AppLanguage::english);
    const std::string missingReason = r.errors.empty() ? "—" : r.errors.front().reason;
    c.check(!r.errors.empty() && !r.errors.front().reason.empty(),
            "Brakujące źródło daje błąd z opisem (" + missingReason + ")");

    const fs::path locked = volume / "Docs/locked.bin";
    writeBytes(locked, std::string_view("\x01\x02\x03", 3));
    if (::chmod(locked.c_str(), 0) != 0)
        failSetup("Could not change the permissions of", locked, errno);
    {
        // Root reads a mode-000 file as if nothing were in the way; without the override
        // capabilities the run meets the same refusal an ordinary user does.
        FilePermissionsEnforced enforced;
        r = backup(base, AppLanguage::polish);
    }
    ::chmod(locked.c_str(), 0644);
    const auto denied = std::find_if(r.errors.begin(), r.errors.end(), [](const BackupIssue& i) {
        return containsIgnoringCase(i.reason, "uprawnie");
    });
    const bool found = denied != r.errors.end();
    c.check(found, "Błąd uprawnień dostaje przyjazny powód (" +
                       (r.errors.empty() ? std::string("brak błędu") : r.errors.front().reason) +
                       ")");
    c.check(found && denied->suggestion.has_value() && !denied->systemMessage.empty(),
            "Problem ma podpowiedź i zachowany komunikat systemu");

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

} // namespace

int runSelfTest(std::ostream& out) {
    return runSelfTest(out, {});
}

int runSelfTest(std::ostream& out, const SelfTestEnvironment& environment) {
    SelfTestEnvironment env = environment;
    const fs::path temporary =
        env.temporaryFolder.empty() ? systemTemporaryFolder() : env.temporaryFolder;
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

    out << "\nWynik: " << checker.passed << " OK, " << checker.failed << " błędów" << std::endl;
    return checker.failed != 0 ? 1 : 0;
}

} // namespace keelbox
