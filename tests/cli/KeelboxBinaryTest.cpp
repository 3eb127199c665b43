// The `keelbox` executable as a user runs it: exit statuses, messages, and real backups of drives
// made in temporary folders.

#include "Subprocess.h"
#include "tests/support/TempFolder.h"

#include "core/ConfigFile.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <poll.h>
#include <pty.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/wait.h>
#include <unistd.h>

namespace keelbox {
namespace {
namespace fs = std::filesystem;
using test::ProcessResult;
using test::runProcess;

const std::string keelbox = KEELBOX_BINARY;

using test::TempFolder;

void writeFile(const fs::path& path, const std::string& content) {
    fs::create_directories(path.parent_path());
    std::ofstream(path, std::ios::binary) << content;
}

std::string readFile(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

ProcessResult run(const std::vector<std::string>& args,
                  std::map<std::string, std::string> environment = {}) {
    return runProcess(keelbox, args, {std::move(environment), {}});
}

bool contains(const std::string& text, const std::string& part) {
    return text.find(part) != std::string::npos;
}

// Arguments that never reach a backup: exit status and the message that tells the user why.
TEST(KeelboxArguments, ExitStatusAndMessage) {
    TempFolder temp;
    const fs::path empty = temp.path() / "empty";
    fs::create_directories(empty);
    const fs::path broken = temp.path() / "broken";
    writeFile(broken / ".keelbox.json", "{}");
    const fs::path capitalMode = temp.path() / "capital";
    writeFile(capitalMode / ".keelbox.json", R"({"schemaVersion":1,"driveID":"X","driveName":"S",
        "createdAt":"2026-12-04T18:00:00Z","updatedAt":"2026-12-04T18:00:00Z",
        "destinationPath":"/tmp/x","mode":"Sync","deleteRemovedFiles":false,
        "autoRunOnMount":true,"sources":[]})");
    const fs::path file = temp.path() / "file.txt";
    writeFile(file, "x");

    const struct {
        std::vector<std::string> args;
        std::map<std::string, std::string> environment;
        int exitCode;
        std::string out; // must appear on standard output
        std::string err; // must appear on standard error
    } rows[] = {
        {{"--version"}, {}, 0, "keelbox 0.1.0", ""},
        {{"--help"}, {}, 0, "keelbox backup DRIVE", ""},
        {{"--help", "--language", "pl"}, {}, 0, "keelbox backup NOŚNIK", ""},
        {{"--help"}, {{"LANG", "pl_PL.UTF-8"}}, 0, "Użycie:", ""},
        {{"--help"}, {{"LANGUAGE", "en"}, {"LANG", "pl_PL.UTF-8"}}, 0, "Usage:", ""},
        {{"frobnicate"}, {}, 2, "", "Unknown argument: frobnicate"},
        {{"frobnicate"}, {{"LC_ALL", "pl_PL.UTF-8"}}, 2, "", "Nieznany argument: frobnicate"},
        {{"backup"}, {}, 2, "", "exactly one drive folder"},
        {{"backup", "a", "b"}, {}, 2, "", "exactly one drive folder"},
        {{"backup", "--fast", empty.string()}, {}, 2, "", "Unknown argument: --fast"},
        {{"backup", empty.string(), "--language", "de"}, {}, 2, "", "Unknown language “de”"},
        {{"backup", (temp.path() / "nowhere").string()}, {}, 2, "", "is not a folder"},
        {{"backup", file.string()}, {}, 2, "", "is not a folder"},
        {{"backup", empty.string()}, {}, 2, "", "has no valid Keelbox configuration"},
        {{"backup", broken.string()}, {}, 2, "", "keelbox config " + broken.string()},
        {{"backup", capitalMode.string()}, {}, 2, "", "has no valid Keelbox configuration"},
        {{"backup", empty.string(), "--language", "pl"}, {}, 2, "", "nie ma poprawnej"},
        {{"config", empty.string()}, {}, 2, "", "has no valid Keelbox configuration"},
        {{"config", empty.string(), "--mode", "weekly"}, {}, 2, "", "--mode: “weekly”"},
        {{"config", empty.string(), "--mirror", "yes"}, {}, 2, "", "--mirror: “yes”"},
        {{"config", empty.string(), "--destination"}, {}, 2, "", "--destination needs a value"},
        {{"config", empty.string(), "--destination", ""}, {}, 2, "", "cannot be empty"},
        {{"config", empty.string(), "--add-source", "Missing"},
         {},
         2,
         "",
         "No such file or folder on the drive: Missing"},
        {{"config", empty.string(), "--add-source", ".."}, {}, 2, "", "is not on this drive"},
        {{"config", empty.string(), "--add-source", "/etc"}, {}, 2, "", "etc is not on this"},
        {{"config", empty.string(), "--remove-source", "Docs"}, {}, 2, "", "not one of"},
        {{"demo", "--fast"}, {}, 2, "", "Unknown argument: --fast"},
    };
    for (const auto& row : rows) {
        std::string shown;
        for (const auto& a : row.args)
            shown += a + " ";
        const ProcessResult r = run(row.args, row.environment);
        EXPECT_EQ(r.exitCode, row.exitCode) << shown << "\n" << r.out << r.err;
        EXPECT_TRUE(contains(r.out, row.out)) << shown << "\nstdout: " << r.out;
        EXPECT_TRUE(contains(r.err, row.err)) << shown << "\nstderr: " << r.err;
    }
    // Refused edits leave nothing behind on the drive.
    EXPECT_FALSE(fs::exists(empty / ".keelbox.json"));
}

TEST(KeelboxConfig, CreateEditAndShowRoundTrip) {
    TempFolder temp;
    const fs::path drive = temp.path() / "STICK";
    writeFile(drive / "Docs/a.txt", "alpha");
    writeFile(drive / "Photos/p.jpg", "jpeg");
    fs::create_symlink(drive / "Photos", temp.path() / "link-to-photos");
    const fs::path dest = temp.path() / "Backups";

    ProcessResult r = run({"config", drive.string(), "--add-source", "Docs", "--destination",
                           dest.string(), "--mode", "dated", "--auto", "off"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Configuration saved to")) << r.out;

    std::optional<DriveConfig> config = readConfig(drive);
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->driveName, "STICK"); // the mount point's folder name
    EXPECT_EQ(config->driveID.size(), 36u);
    EXPECT_EQ(config->destinationPath, dest.string());
    EXPECT_EQ(config->mode, BackupMode::dated);
    EXPECT_FALSE(config->autoRunOnMount);
    EXPECT_FALSE(config->deleteRemovedFiles);
    ASSERT_EQ(config->sources.size(), 1u);
    EXPECT_EQ(config->sources[0].relativePath, "Docs");
    const std::string driveID = config->driveID;
    const Date createdAt = config->createdAt;

    // A second edit keeps the identity; a source given through a link outside the drive that
    // points into it is listed by its place on the drive; a duplicate is skipped.
    r = run({"config", drive.string(), "--add-source", (temp.path() / "link-to-photos").string(),
             "--add-source", "Docs/", "--mode", "sync", "--mirror", "on", "--name", "My Stick"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "Already a source: Docs")) << r.err;
    config = readConfig(drive);
    ASSERT_TRUE(config.has_value());
    EXPECT_EQ(config->driveID, driveID);
    EXPECT_EQ(config->createdAt, createdAt);
    EXPECT_GE(config->updatedAt, createdAt);
    EXPECT_EQ(config->driveName, "My Stick");
    EXPECT_EQ(config->mode, BackupMode::sync);
    EXPECT_TRUE(config->deleteRemovedFiles);
    ASSERT_EQ(config->sources.size(), 2u);
    EXPECT_EQ(config->sources[1].relativePath, "Photos");

    r = run({"config", drive.string(), "--remove-source", "Docs"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    config = readConfig(drive);
    ASSERT_EQ(config->sources.size(), 1u);
    EXPECT_EQ(config->sources[0].relativePath, "Photos");

    r = run({"config", drive.string(), "--whole-drive"});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    config = readConfig(drive);
    ASSERT_EQ(config->sources.size(), 1u);
    EXPECT_EQ(config->sources[0].relativePath, "");

    // Showing changes nothing and lists what the file holds.
    const std::string before = readFile(drive / ".keelbox.json");
    r = run({"config", drive.string()});
    EXPECT_EQ(r.exitCode, 0);
    EXPECT_TRUE(contains(r.out, "My Stick")) << r.out;
    EXPECT_TRUE(contains(r.out, "(whole drive)")) << r.out;
    EXPECT_TRUE(contains(r.out, "Sync (up-to-date copy)")) << r.out;
    EXPECT_EQ(readFile(drive / ".keelbox.json"), before);

    r = run({"config", drive.string(), "--language", "pl"});
    EXPECT_TRUE(contains(r.out, "(cały nośnik)")) << r.out;
}

TEST(KeelboxConfig, DestinationInsideHomeIsStoredWithTilde) {
    TempFolder temp;
    const fs::path home = temp.path() / "home";
    const fs::path drive = temp.path() / "D";
    fs::create_directories(home / "Backups");
    fs::create_directories(drive);
    const struct {
        std::string given;
        std::string stored;
    } rows[] = {
        {(home / "Backups").string(), "~/Backups"},
        {home.string(), "~"},
        {"~/Elsewhere", "~/Elsewhere"},
        {(temp.path() / "outside").string(), (temp.path() / "outside").string()},
        {(home.string() + "2/x"), home.string() + "2/x"},
        // Written as a plain folder path: no "..", no ".", no trailing slash.
        {(home / "Backups/../Other/").string(), "~/Other"},
        {(temp.path() / "x/./y/").string(), (temp.path() / "x/y").string()},
    };
    for (const auto& row : rows) {
        const ProcessResult r =
            run({"config", drive.string(), "--destination", row.given}, {{"HOME", home.string()}});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(readConfig(drive)->destinationPath, row.stored) << row.given;
    }
    // A relative destination is taken from the folder the command runs in.
    const ProcessResult r = runProcess(keelbox, {"config", drive.string(), "--destination", "rel"},
                                       {{{"HOME", home.string()}}, temp.path().string()});
    ASSERT_EQ(r.exitCode, 0) << r.err;
    EXPECT_EQ(readConfig(drive)->destinationPath, (temp.path() / "rel").string());
}

TEST(KeelboxConfig, UnreadableFileIsReplacedWithAWarning) {
    TempFolder temp;
    const fs::path drive = temp.path() / "D";
    writeFile(drive / ".keelbox.json", "not json");
    writeFile(drive / "Docs/a.txt", "a");
    const ProcessResult r = run({"config", drive.string(), "--add-source", "Docs"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(contains(r.err, "could not be read")) << r.err;
    ASSERT_TRUE(readConfig(drive).has_value());
}

class KeelboxBackup : public ::testing::Test {
protected:
    void SetUp() override {
        drive = temp.path() / "STICK";
        dest = temp.path() / "Backups";
        writeFile(drive / "Docs/a.txt", "alpha");
        writeFile(drive / "Docs/Sub/b.txt", "beta");
        writeFile(drive / "Docs/.DS_Store", "junk");
        writeFile(drive / "Other/c.txt", "gamma");
    }
    void configure(const std::vector<std::string>& options) {
        std::vector<std::string> args{"config", drive.string(), "--destination", dest.string()};
        args.insert(args.end(), options.begin(), options.end());
        const ProcessResult r = run(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    TempFolder temp;
    fs::path drive;
    fs::path dest;
};

TEST_F(KeelboxBackup, CopiesThenFindsEverythingUnchanged) {
    configure({"--add-source", "Docs", "--name", "Stick"});

    ProcessResult r = run({"backup", drive.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(readFile(dest / "Stick/Docs/a.txt"), "alpha");
    EXPECT_EQ(readFile(dest / "Stick/Docs/Sub/b.txt"), "beta");
    EXPECT_FALSE(fs::exists(dest / "Stick/Docs/.DS_Store"));
    EXPECT_FALSE(fs::exists(dest / "Stick/Other"));
    EXPECT_TRUE(contains(r.out, "Finished in")) << r.out;
    EXPECT_TRUE(contains(r.out, "2 files")) << r.out;
    EXPECT_TRUE(contains(r.out, "Copy: " + (dest / "Stick").string())) << r.out;
    // Not a terminal: plain lines, never the in-place rewriting.
    EXPECT_FALSE(contains(r.out, "\r")) << r.out;
    EXPECT_TRUE(contains(r.out, "100% • 2/2 files")) << r.out;

    r = run({"backup", drive.string(), "--no-progress", "--language", "pl"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "0 plików")) << r.out;
    EXPECT_TRUE(contains(r.out, "2 bez zmian")) << r.out;
    EXPECT_FALSE(contains(r.out, "%")) << r.out;
}

TEST_F(KeelboxBackup, MirrorDeletesWhatTheDriveLost) {
    configure({"--whole-drive", "--mirror", "on", "--name", "Stick"});
    ASSERT_EQ(run({"backup", drive.string()}).exitCode, 0);
    EXPECT_TRUE(fs::exists(dest / "Stick/Other/c.txt"));
    // The drive's own rules are never copied.
    EXPECT_FALSE(fs::exists(dest / "Stick/.keelbox.json"));

    fs::remove_all(drive / "Other");
    const ProcessResult r = run({"backup", drive.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_FALSE(fs::exists(dest / "Stick/Other"));
    EXPECT_TRUE(contains(r.out, "1 deleted")) << r.out;
    EXPECT_TRUE(fs::exists(dest / "Stick/Docs/a.txt"));
}

TEST_F(KeelboxBackup, IssuesAreListedWithHintAndExitOne) {
    configure({"--add-source", "Docs", "--add-source", "Other", "--name", "Stick"});
    fs::remove_all(drive / "Other");
    const ProcessResult r = run({"backup", drive.string()});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Problems (1):")) << r.out;
    EXPECT_TRUE(contains(r.out, "Other — Source no longer exists on the drive.")) << r.out;
    EXPECT_TRUE(contains(r.out, "Hint: Check that this folder/file is still on the drive"))
        << r.out;
    // The other source was still copied.
    EXPECT_EQ(readFile(dest / "Stick/Docs/a.txt"), "alpha");
}

TEST_F(KeelboxBackup, FullDestinationEndsInIssuesNotACrash) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting a small tmpfs needs root";
    fs::create_directories(dest);
    if (::mount("keelbox-test", dest.c_str(), "tmpfs", 0, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount tmpfs here: " << std::strerror(errno);
    writeFile(drive / "Docs/big.bin", std::string(512 * 1024, 'x'));
    configure({"--add-source", "Docs", "--name", "Stick"});
    const ProcessResult r = run({"backup", drive.string()});
    ::umount2(dest.c_str(), MNT_DETACH);
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_EQ(r.signal, 0);
    EXPECT_TRUE(contains(r.out, "Not enough space on the destination disk.")) << r.out;
    EXPECT_TRUE(contains(r.out, "big.bin")) << r.out;
}

// Read-only file systems, as a write-protected card or a drive mounted read-only gives them.
TEST_F(KeelboxBackup, ReadOnlyMountsEndInClearMessages) {
    if (::geteuid() != 0)
        GTEST_SKIP() << "mounting tmpfs needs root";
    const fs::path readOnly = temp.path() / "ro";
    fs::create_directories(readOnly);
    if (::mount("keelbox-test", readOnly.c_str(), "tmpfs", MS_RDONLY, "size=64k") != 0)
        GTEST_SKIP() << "cannot mount tmpfs here: " << std::strerror(errno);

    // The drive's folder cannot be made there: one issue naming it, exit status 1.
    dest = readOnly;
    configure({"--add-source", "Docs", "--name", "Stick"});
    const ProcessResult backup = run({"backup", drive.string()});
    EXPECT_EQ(backup.exitCode, 1) << backup.out << backup.err;
    EXPECT_TRUE(contains(backup.out, "The destination is read-only.")) << backup.out;
    EXPECT_TRUE(contains(backup.out, (readOnly / "Stick").string())) << backup.out;

    // A drive that cannot be written keeps its old rules; the command says why it failed.
    const ProcessResult config = run({"config", readOnly.string(), "--whole-drive"});
    ::umount2(readOnly.c_str(), MNT_DETACH);
    EXPECT_EQ(config.exitCode, 1) << config.out << config.err;
    EXPECT_TRUE(contains(config.err, "Could not save the configuration:")) << config.err;
    EXPECT_TRUE(contains(config.err, "Read-only file system")) << config.err;
}

// On a terminal the progress is one line rewritten in place, never wider than the terminal.
TEST_F(KeelboxBackup, TerminalGetsOneRewrittenLineThatFits) {
    for (int i = 0; i < 200; ++i)
        writeFile(drive / "Docs/Deep" / ("a-rather-long-file-name-" + std::to_string(i) + ".txt"),
                  std::string(4096, 'z'));
    configure({"--add-source", "Docs", "--name", "Stick"});

    int terminal = -1;
    winsize size{};
    size.ws_col = 40;
    size.ws_row = 24;
    const pid_t pid = ::forkpty(&terminal, nullptr, nullptr, &size);
    ASSERT_GE(pid, 0);
    if (pid == 0) {
        ::execl(keelbox.c_str(), keelbox.c_str(), "backup", drive.c_str(), "--language", "en",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    std::string out;
    char buffer[4096];
    for (;;) {
        const ssize_t n = ::read(terminal, buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) // EIO once the child has gone
            break;
        out.append(buffer, static_cast<std::size_t>(n));
    }
    ::close(terminal);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << out;
    EXPECT_EQ(readFile(dest / "Stick/Docs/Deep/a-rather-long-file-name-7.txt").size(), 4096u);

    // Every stretch drawn after a carriage return, up to the erase-line sequence, is one
    // progress line; the terminal's own line ends ("\r\n") are not.
    std::size_t drawn = 0;
    for (std::size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1)) {
        const std::size_t end = out.find("\x1b[K", at);
        if (end == std::string::npos || out.compare(at, 2, "\r\n") == 0)
            continue;
        const std::string line = out.substr(at + 1, end - at - 1);
        if (line.empty())
            continue;
        ++drawn;
        std::size_t columns = 0;
        for (unsigned char c : line)
            columns += (c & 0xC0) != 0x80 ? 1 : 0;
        EXPECT_LE(columns, 39u) << line;
    }
    EXPECT_GE(drawn, 2u) << out; // "Scanning contents…" and at least the final line
    // Docs also holds the fixture's two files.
    EXPECT_NE(out.find("202/202 files"), std::string::npos) << out;
    EXPECT_NE(out.find("Finished in"), std::string::npos) << out;
}

// A reader that goes away (`keelbox backup … | head -1`) costs the output, never the backup.
TEST_F(KeelboxBackup, ClosedOutputDoesNotCutTheBackupShort) {
    for (int i = 0; i < 300; ++i)
        writeFile(drive / "Many" / (std::to_string(i) + ".txt"), "x");
    configure({"--add-source", "Many", "--name", "Stick"});
    int outPipe[2];
    ASSERT_EQ(::pipe(outPipe), 0);
    ::close(outPipe[0]);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::execl(keelbox.c_str(), keelbox.c_str(), "backup", drive.c_str(),
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(outPipe[1]);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    Int copied = 0;
    for (const auto& entry : fs::directory_iterator(dest / "Stick/Many"))
        copied += entry.is_regular_file() ? 1 : 0;
    EXPECT_EQ(copied, 300);
}

// Ctrl-C in the middle of a run: the engine stops after the file in hand and the command says so.
TEST_F(KeelboxBackup, InterruptStopsAfterTheCurrentFile) {
    for (int folder = 0; folder < 20; ++folder) {
        for (int i = 0; i < 250; ++i)
            writeFile(drive / "Many" / std::to_string(folder) / (std::to_string(i) + ".txt"),
                      std::string(2048, 'a'));
    }
    configure({"--add-source", "Many", "--name", "Stick"});

    int outPipe[2];
    ASSERT_EQ(::pipe(outPipe), 0);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::dup2(outPipe[1], STDOUT_FILENO);
        ::close(outPipe[0]);
        ::execl(keelbox.c_str(), keelbox.c_str(), "backup", drive.c_str(), "--language", "en",
                static_cast<char*>(nullptr));
        ::_exit(127);
    }
    ::close(outPipe[1]);
    // Wait for the first progress line (a tenth of the files), then press Ctrl-C.
    std::string out;
    char buffer[4096];
    bool signalled = false;
    for (;;) {
        const ssize_t n = ::read(outPipe[0], buffer, sizeof buffer);
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        out.append(buffer, static_cast<std::size_t>(n));
        if (!signalled && contains(out, "files •")) {
            ::kill(pid, SIGINT);
            signalled = true;
        }
    }
    ::close(outPipe[0]);
    int status = 0;
    ::waitpid(pid, &status, 0);
    ASSERT_TRUE(signalled) << out;
    ASSERT_TRUE(WIFEXITED(status)) << out;
    EXPECT_EQ(WEXITSTATUS(status), 130) << out;
    EXPECT_TRUE(contains(out, "Stopped on request")) << out;
    // Said once, not repeated as a problem of its own.
    EXPECT_FALSE(contains(out, "Problems (")) << out;
    Int copied = 0;
    for (const auto& entry : fs::recursive_directory_iterator(dest / "Stick/Many"))
        copied += entry.is_regular_file() ? 1 : 0;
    EXPECT_GT(copied, 0);
    EXPECT_LT(copied, 5000);
}

TEST(KeelboxSelfTest, RunsFromTheCommandLine) {
    TempFolder temp;
    // Whatever else stands on the line, "--selftest" selects the self-test.
    const ProcessResult r = runProcess(keelbox, {"--language", "pl", "--selftest"},
                                       {{{"TMPDIR", temp.path().string()}}, {}});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(r.out.rfind("Keelbox — self-test\n\n", 0), 0u) << r.out;
    EXPECT_TRUE(r.out.ends_with("\nWynik: 17 OK, 0 błędów\n")) << r.out;
    // The throw-away tree is gone.
    EXPECT_TRUE(fs::is_empty(temp.path()));
}

TEST(KeelboxDemo, BacksUpASampleDriveTwiceAndCleansUp) {
    TempFolder temp;
    const ProcessResult r = runProcess(keelbox, {"demo"}, {{{"TMPDIR", temp.path().string()}}, {}});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "First backup:")) << r.out;
    EXPECT_TRUE(contains(r.out, "323 files")) << r.out;
    EXPECT_TRUE(contains(r.out, "0 files")) << r.out;
    EXPECT_TRUE(contains(r.out, "323 unchanged")) << r.out;
    EXPECT_TRUE(contains(r.out, "/DemoStick")) << r.out;
    EXPECT_TRUE(fs::is_empty(temp.path()));

    const ProcessResult kept =
        runProcess(keelbox, {"demo", "--keep"}, {{{"TMPDIR", temp.path().string()}}, {}});
    ASSERT_EQ(kept.exitCode, 0) << kept.err;
    ASSERT_FALSE(fs::is_empty(temp.path()));
    const fs::path root = fs::directory_iterator(temp.path())->path();
    EXPECT_TRUE(readConfig(root / "DemoStick").has_value());
    EXPECT_TRUE(fs::exists(root / "Backups/DemoStick/Videos/clip-1.mp4"));
}

} // namespace
} // namespace keelbox
