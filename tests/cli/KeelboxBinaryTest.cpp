// The `keelbox` executable as a user runs it: exit statuses, messages, and real backups of drives
// made in temporary folders.

#include "tests/support/Subprocess.h"
#include "tests/support/TempFolder.h"

#include "core/ConfigFile.h"

#include <gtest/gtest.h>

#include <csignal>
#include <cstring>
#include <sys/mount.h>

namespace keelbox::test {
namespace {

const std::string keelbox = KEELBOX_BINARY;

ProcessResult run(const std::vector<std::string>& args, ProcessOptions options = {}) {
    return runProcess(keelbox, args, options);
}

int filesBelow(const fs::path& folder) {
    int count = 0;
    for (const auto& entry : fs::recursive_directory_iterator(folder))
        count += entry.is_regular_file() ? 1 : 0;
    return count;
}

// Arguments that never reach a backup: exit status and the message that tells the user why.
TEST(KeelboxArguments, ExitStatusAndMessage) {
    TempFolder temp;
    const std::string empty = (temp / "empty").string(), file = (temp / "file.txt").string();
    const std::string warned = (temp / "warned").string();
    fs::create_directories(warned);
    const fs::path broken = temp / "broken", capitalMode = temp / "capital";
    fs::create_directories(empty);
    writeFile(file, "x");
    writeFile(broken / ".keelbox.json", "{}");
    writeFile(capitalMode / ".keelbox.json", R"({"schemaVersion":1,"driveID":"X","driveName":"S",
        "createdAt":"2026-12-04T18:00:00Z","updatedAt":"2026-12-04T18:00:00Z",
        "destinationPath":"/tmp/x","mode":"Sync","deleteRemovedFiles":false,
        "autoRunOnMount":true,"sources":[]})");
    const std::map<std::string, std::string> polish{{"LC_ALL", "pl_PL.UTF-8"}};
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
        {{"frobnicate"}, polish, 2, "", "Nieznany argument: frobnicate"},
        {{"--anything-unknown"}, {}, 2, "", "Unknown argument: --anything-unknown"},
        {{"--language", "pl", "backup", empty}, {}, 2, "", "nie ma poprawnej"},
        {{"config", warned, "--whole-drive", "--destination", "/mnt/keelbox-absent/Backups"},
         {},
         0,
         "Configuration saved",
         "refused: The backup folder is on the disk “keelbox-absent”, which is not connected"},
        {{"--help"}, {{"LC_MESSAGES", "pl_PL.UTF-8"}, {"LANG", "C.UTF-8"}}, 0, "Użycie:", ""},
        {{"--help", "--language"}, {}, 2, "", "--language needs a value"},
        {{"--help", "--language", "de"}, {}, 2, "", "Unknown language “de”"},
        {{"backup"}, {}, 2, "", "exactly one drive folder"},
        {{"backup", "--fast", empty}, {}, 2, "", "Unknown argument: --fast"},
        {{"backup", (temp / "nowhere").string()}, {}, 2, "", "is not a folder"},
        {{"backup", empty}, {}, 2, "", "has no valid Keelbox configuration"},
        {{"backup", broken.string()}, {}, 2, "", "keelbox config " + broken.string()},
        {{"backup", capitalMode.string()}, {}, 2, "", "the key “mode” has a value"},
        {{"config", empty}, {}, 2, "", "has no valid Keelbox configuration"},
        {{"config", empty, "--mode", "weekly"}, {}, 2, "", "--mode: “weekly”"},
        {{"config", empty, "--mirror", "yes"}, {}, 2, "", "--mirror: “yes”"},
        {{"config", empty, "--destination"}, {}, 2, "", "--destination needs a value"},
        {{"config", empty, "--destination", ""}, {}, 2, "", "cannot be empty"},
        {{"config", empty, "--add-source", "Missing"}, {}, 2, "", "on the drive: Missing"},
        {{"config", empty, "--add-source", ".."}, {}, 2, "", "is not on this drive"},
        {{"config", empty, "--add-source", "/etc"}, {}, 2, "", "etc is not on this"},
        {{"config", empty, "--remove-source", "Docs"}, {}, 2, "", "not one of"},
    };
    for (const auto& row : rows) {
        std::string shown;
        for (const auto& a : row.args)
            shown += a + " ";
        const ProcessResult r = run(row.args, {.environment = row.environment});
        EXPECT_EQ(r.exitCode, row.exitCode) << shown << "\n" << r.out << r.err;
        EXPECT_TRUE(contains(r.out, row.out)) << shown << "\nstdout: " << r.out;
        EXPECT_TRUE(contains(r.err, row.err)) << shown << "\nstderr: " << r.err;
    }
    // Refused edits leave nothing behind on the drive.
    EXPECT_FALSE(fs::exists(fs::path(empty) / ".keelbox.json"));
}

TEST(KeelboxConfig, CreateEditAndShowRoundTrip) {
    TempFolder temp;
    const fs::path drive = temp / "STICK", dest = temp / "Backups";
    writeFile(drive / "Docs/a.txt", "alpha");
    writeFile(drive / "Photos/p.jpg", "jpeg");
    fs::create_symlink(drive / "Photos", temp / "link-to-photos");

    ProcessResult r = run({"config", drive.string(), "--add-source", "Docs", "--destination",
                           dest.string(), "--mode", "dated", "--auto", "off"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Configuration saved to")) << r.out;
    std::optional<DriveConfig> config = readConfig(drive);
    ASSERT_TRUE(config.has_value());
    // Named after the mount point's folder, with a fresh identity.
    EXPECT_TRUE(config->driveName == "STICK" && Uuid::parse(config->driveID));
    EXPECT_TRUE(config->destinationPath == dest.string() && config->mode == BackupMode::dated &&
                !config->autoRunOnMount);
    ASSERT_EQ(config->sources.size(), 1u);
    EXPECT_EQ(config->sources[0].relativePath, "Docs");
    const DriveConfig created = *config;

    // A second edit keeps the identity; a source given through a link outside the drive that
    // points into it is listed by its place on the drive; a duplicate is skipped.
    r = run({"config", drive.string(), "--add-source", (temp / "link-to-photos").string(),
             "--add-source", "Docs/", "--mode", "sync", "--mirror", "on", "--name", "My Stick"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "Already a source: Docs")) << r.err;
    config = readConfig(drive);
    ASSERT_TRUE(config.has_value());
    EXPECT_TRUE(config->driveID == created.driveID && config->createdAt == created.createdAt);
    EXPECT_TRUE(config->driveName == "My Stick" && config->mode == BackupMode::sync &&
                config->deleteRemovedFiles);
    ASSERT_EQ(config->sources.size(), 2u);
    EXPECT_EQ(config->sources[1].relativePath, "Photos");

    ASSERT_EQ(run({"config", drive.string(), "--remove-source", "Docs"}).exitCode, 0);
    ASSERT_EQ(readConfig(drive)->sources.size(), 1u);
    EXPECT_EQ(readConfig(drive)->sources[0].relativePath, "Photos");
    ASSERT_EQ(run({"config", drive.string(), "--whole-drive"}).exitCode, 0);
    ASSERT_EQ(readConfig(drive)->sources.size(), 1u);
    EXPECT_EQ(readConfig(drive)->sources[0].relativePath, "");

    // Showing changes nothing and lists what the file holds.
    const std::string before = readFile(drive / ".keelbox.json");
    r = run({"config", drive.string()});
    EXPECT_EQ(r.exitCode, 0);
    for (const char* part : {"My Stick", "(whole drive)", "Sync (up-to-date copy)"})
        EXPECT_TRUE(contains(r.out, part)) << r.out;
    EXPECT_EQ(readFile(drive / ".keelbox.json"), before);
    EXPECT_TRUE(contains(run({"config", drive.string(), "--language", "pl"}).out, "(cały nośnik)"));

    // A file that does not read is never replaced by accident, and the error says what is wrong.
    const std::string good = readFile(drive / ".keelbox.json");
    std::string typed = good;
    typed.replace(typed.find("false"), 5, "\"no\"");
    const struct {
        std::string content;
        const char* says;
    } broken[] = {
        {"{\n  \"driveID\": \"X\",\n  oops\n}", "syntax error at line 3, column 3"},
        {"[1, 2]", "does not hold a JSON object"},
        {"{\"driveID\": \"X\", \"schemaVersion\": 1}", "the key “driveName” is missing"},
        {typed, "“autoRunOnMount” has a value of the wrong type or an invalid value: \"no\""},
    };
    for (const auto& row : broken) {
        writeFile(drive / ".keelbox.json", row.content);
        for (const std::vector<std::string>& args :
             {std::vector<std::string>{"config", drive.string(), "--mirror", "on"},
              {"config", drive.string()},
              {"backup", drive.string()}}) {
            r = run(args);
            EXPECT_EQ(r.exitCode, 2);
            EXPECT_TRUE(contains(r.err, row.says)) << r.err;
            EXPECT_EQ(readFile(drive / ".keelbox.json"), row.content);
        }
    }
    // Asked for explicitly, a new one is made, the old file kept aside with its identity.
    writeFile(drive / ".keelbox.json", "{\"driveID\": \"KEEP-ME\", \"mode\": 7}");
    r = run({"config", drive.string(), "--new", "--whole-drive"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(contains(r.err, ".keelbox.json.old-")) << r.err;
    ASSERT_TRUE(readConfig(drive).has_value());
    EXPECT_EQ(readConfig(drive)->driveID, "KEEP-ME");
}

TEST(KeelboxConfig, DestinationInsideHomeIsStoredWithTilde) {
    TempFolder temp;
    const fs::path home = temp / "home", drive = temp / "D";
    fs::create_directories(home / "Backups");
    fs::create_directories(drive);
    const struct {
        std::string given;
        std::string stored;
    } rows[] = {
        {(home / "Backups").string(), "~/Backups"},
        {home.string(), "~"},
        {"~/Elsewhere", "~/Elsewhere"},
        {(temp / "outside").string(), (temp / "outside").string()},
        {(home.string() + "2/x"), home.string() + "2/x"},
        // Written as a plain folder path: no "..", no ".", no trailing slash.
        {(home / "Backups/../Other/").string(), "~/Other"},
        // A relative destination is taken from the folder the command runs in.
        {"rel", (temp / "rel").string()},
    };
    for (const auto& row : rows) {
        const ProcessResult r =
            run({"config", drive.string(), "--destination", row.given},
                {.environment = {{"HOME", home.string()}}, .workingFolder = temp.path().string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(readConfig(drive)->destinationPath, row.stored) << row.given;
    }
}

class KeelboxBackup : public ::testing::Test {
protected:
    void SetUp() override {
        writeFile(drive / "Docs/a.txt", "alpha");
        writeFile(drive / "Docs/Sub/b.txt", "beta");
        writeFile(drive / "Docs/.DS_Store", "junk");
        writeFile(drive / "Other/c.txt", "gamma");
    }
    void configure(const std::vector<std::string>& options) {
        std::vector<std::string> args{"config",      drive.string(), "--destination",
                                      dest.string(), "--name",       "Stick"};
        args.insert(args.end(), options.begin(), options.end());
        const ProcessResult r = run(args);
        ASSERT_EQ(r.exitCode, 0) << r.err;
    }

    TempFolder temp;
    fs::path drive = temp / "STICK";
    fs::path dest = temp / "Backups";
};

TEST_F(KeelboxBackup, CopiesThenFindsEverythingUnchangedThenMirrors) {
    configure({"--add-source", "Docs", "--mirror", "on"});
    ProcessResult r = run({"backup", drive.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(readFile(dest / "Stick/Docs/Sub/b.txt"), "beta");
    EXPECT_FALSE(fs::exists(dest / "Stick/Docs/.DS_Store"));
    EXPECT_FALSE(fs::exists(dest / "Stick/Other"));
    // Not a terminal: plain lines, never the in-place rewriting.
    for (const std::string& part : std::vector<std::string>{
             "Finished in", "2 files", "Copy: " + (dest / "Stick").string(), "100% • 2/2 files"})
        EXPECT_TRUE(contains(r.out, part)) << r.out;
    EXPECT_FALSE(contains(r.out, "\r")) << r.out;

    r = run({"backup", drive.string(), "--no-progress", "--language", "pl"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "0 plików • 0 bajtów • 2 bez zmian")) << r.out;
    EXPECT_FALSE(contains(r.out, "%")) << r.out;

    fs::remove_all(drive / "Docs/Sub");
    r = run({"backup", drive.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_FALSE(fs::exists(dest / "Stick/Docs/Sub"));
    EXPECT_TRUE(contains(r.out, "1 deleted")) << r.out;
}

TEST_F(KeelboxBackup, IssuesAreListedWithHintAndExitOne) {
    configure({"--add-source", "Docs", "--add-source", "Other"});
    fs::remove_all(drive / "Other");
    const ProcessResult r = run({"backup", drive.string()});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    for (const char* part : {"Problems (1):", "Other — Source no longer exists on the drive.",
                             "Hint: Check that this folder/file is still on the drive"})
        EXPECT_TRUE(contains(r.out, part)) << r.out;
    EXPECT_EQ(readFile(dest / "Stick/Docs/a.txt"), "alpha"); // the other source still copied
}

// A mounted drive's copy is named after the mount folder (without a label), as in the application;
// what the drive's name carries never reaches the terminal as control characters.
TEST_F(KeelboxBackup, AMountedDriveIsNamedLikeTheApplicationDoesAndPrintedInert) {
    const fs::path mounted = temp / "Evil\x1b[2J\nDone";
    fs::create_directories(mounted);
    const bool ok = ::mount("keelbox-test", mounted.c_str(), "tmpfs", 0, "size=1m") == 0;
    KEELBOX_REQUIRE_CAPABILITY(ok, "mounting a tmpfs needs root");
    drive = mounted;
    SetUp();
    configure({"--add-source", "Docs"});
    const ProcessResult r = run({"backup", drive.string()});
    ::umount2(mounted.c_str(), MNT_DETACH);
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_EQ(readFile(dest / mounted.filename() / "Docs/a.txt"), "alpha");
    EXPECT_FALSE(fs::exists(dest / "Stick"));
    EXPECT_FALSE(contains(r.out, "\x1b")) << r.out;
    EXPECT_TRUE(contains(r.out, "Evil\\x1B[2J\\x0ADone")) << r.out;
}

// A write-protected card or a drive mounted read-only, as destination and as the drive edited.
TEST_F(KeelboxBackup, ReadOnlyMountsEndInClearMessages) {
    dest = temp / "ro";
    fs::create_directories(dest);
    const bool mounted = ::mount("keelbox-test", dest.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
    KEELBOX_REQUIRE_CAPABILITY(mounted, "mounting a tmpfs needs root");
    configure({"--add-source", "Docs"});
    const ProcessResult backup = run({"backup", drive.string()});
    const ProcessResult config = run({"config", dest.string(), "--whole-drive"});
    ::umount2(dest.c_str(), MNT_DETACH);
    EXPECT_EQ(backup.exitCode, 1) << backup.out << backup.err;
    EXPECT_TRUE(contains(backup.out, "The destination is read-only.")) << backup.out;
    EXPECT_TRUE(contains(backup.out, (dest / "Stick").string())) << backup.out;
    EXPECT_EQ(config.exitCode, 1) << config.out << config.err;
    EXPECT_TRUE(contains(config.err, "Could not save the configuration:")) << config.err;
    EXPECT_TRUE(contains(config.err, "Read-only file system")) << config.err;
}

// On a terminal the progress is one line rewritten in place, never wider than the terminal.
TEST_F(KeelboxBackup, TerminalGetsOneRewrittenLineThatFits) {
    for (int i = 0; i < 200; ++i)
        writeFile(drive / "Docs/Deep" / ("a-rather-long-file-name-" + std::to_string(i) + ".txt"),
                  std::string(4096, 'z'));
    configure({"--add-source", "Docs"});
    const ProcessResult r =
        run({"backup", drive.string(), "--language", "en"}, {.terminalColumns = 40});
    const std::string& out = r.out;
    EXPECT_EQ(r.exitCode, 0) << out;
    EXPECT_EQ(readFile(dest / "Stick/Docs/Deep/a-rather-long-file-name-7.txt").size(), 4096u);
    // Every stretch drawn after a carriage return, up to the erase-line sequence, is one
    // progress line; the terminal's own line ends ("\r\n") are not.
    std::size_t drawn = 0;
    for (std::size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1)) {
        const std::size_t end = out.find("\x1b[K", at);
        if (end == std::string::npos || out.compare(at, 2, "\r\n") == 0 || end == at + 1)
            continue;
        ++drawn;
        std::size_t columns = 0;
        for (std::size_t i = at + 1; i < end; ++i)
            columns += (static_cast<unsigned char>(out[i]) & 0xC0) != 0x80 ? 1 : 0;
        EXPECT_LE(columns, 39u) << out.substr(at + 1, end - at - 1);
    }
    EXPECT_GE(drawn, 2u) << out; // "Scanning contents…" and at least the final line
    EXPECT_TRUE(contains(out, "202/202 files")) << out;
    EXPECT_TRUE(contains(out, "Finished in")) << out;
}

// A reader that goes away (`keelbox backup … | head -1`) costs the output, never the backup.
TEST_F(KeelboxBackup, ClosedOutputDoesNotCutTheBackupShort) {
    for (int i = 0; i < 300; ++i)
        writeFile(drive / "Many" / (std::to_string(i) + ".txt"), "x");
    configure({"--add-source", "Many"});
    run({"backup", drive.string()}, {.closedOutput = true});
    EXPECT_EQ(filesBelow(dest / "Stick/Many"), 300);
}

// Ctrl-C, SIGTERM or a closed terminal (SIGHUP) in the middle of a run: the engine stops after the
// files in hand and the command says so. A kill leaves at most partial names, never a short file
// under a final name, and the next run sweeps them and completes the copy.
TEST_F(KeelboxBackup, StopSignalsAndKillsNeverLeaveAShortCopy) {
    for (int folder = 0; folder < 20; ++folder) {
        for (int i = 0; i < 250; ++i)
            writeFile(drive / "Many" / std::to_string(folder) / (std::to_string(i) + ".txt"),
                      std::string(2048, 'a'));
    }
    writeFile(drive / "Many/large.bin", std::string(64 << 20, 'l'));
    configure({"--add-source", "Many"});
    for (const int signal : {SIGINT, SIGTERM, SIGHUP, SIGKILL}) {
        SCOPED_TRACE(strsignal(signal));
        fs::remove_all(dest);
        bool signalled = false;
        const ProcessResult r = run({"backup", drive.string(), "--language", "en"},
                                    {.onOutput = [&](pid_t pid, const std::string& out) {
                                        // The first progress line comes after a tenth of the files.
                                        if (!signalled && contains(out, "files •"))
                                            signalled = ::kill(pid, signal) == 0;
                                    }});
        ASSERT_TRUE(signalled) << r.out;
        int copies = 0;
        for (const auto& entry : fs::recursive_directory_iterator(dest / "Stick/Many")) {
            const std::string name = entry.path().filename().string();
            if (!entry.is_regular_file() || name.starts_with(".keelbox-partial-"))
                continue;
            ++copies;
            EXPECT_EQ(entry.file_size(), name == "large.bin" ? 64u << 20 : 2048u) << name;
        }
        EXPECT_LT(copies, 5001);
        if (signal == SIGKILL) {
            EXPECT_EQ(r.signal, SIGKILL);
            EXPECT_EQ(run({"backup", drive.string()}).exitCode, 0);
            EXPECT_EQ(filesBelow(dest / "Stick/Many"), 5001);
            continue;
        }
        EXPECT_EQ(r.exitCode, 130) << r.out;
        EXPECT_TRUE(contains(r.out, "Stopped on request")) << r.out;
        EXPECT_FALSE(contains(r.out, "Problems (")) << r.out; // said once, not as a problem
        EXPECT_EQ(filesBelow(dest / "Stick/Many"), copies);   // nothing partial after a clean stop
    }
}

// Whatever else stands on the line, "--selftest" selects the self-test; it passes as root and as
// an ordinary user (nobody) working in a folder only that user may use, and leaves nothing behind.
TEST(KeelboxSelfTest, PassesAsRootAndAsAnOrdinaryUser) {
    for (const std::optional<uid_t> user : {std::optional<uid_t>{}, std::optional<uid_t>{65534}}) {
        SCOPED_TRACE(user ? "as nobody" : "as the caller");
        if (user && ::geteuid() != 0)
            continue; // already an ordinary user: the first pass covers it
        TempFolder temp;
        const fs::path folder = temp / "work";
        fs::create_directories(folder);
        ASSERT_EQ(::chmod(temp.path().c_str(), 0755), 0);
        ASSERT_EQ(::chown(folder.c_str(), user.value_or(::geteuid()), user.value_or(::getegid())),
                  0);
        const ProcessResult r = run({"--language", "pl", "--selftest"},
                                    {.environment = {{"TMPDIR", folder.string()}}, .asUser = user});
        EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
        EXPECT_TRUE(r.out.starts_with("Keelbox — self-test\n\n")) << r.out;
        EXPECT_TRUE(r.out.ends_with("\nWynik: 17 OK, 0 błędów\n")) << r.out;
        EXPECT_TRUE(fs::is_empty(folder));
    }
}

// The tray application and `watch` live in a module beside the executable. An executable without
// it still does every command-line job, and says why the desktop ones cannot start.
TEST(KeelboxDesktopModule, WithoutItTheCommandLineStillWorksAndSaysWhatIsMissing) {
    TempFolder temp;
    const fs::path alone = temp / "keelbox";
    fs::copy_file(keelbox, alone);
    fs::permissions(alone, fs::perms::owner_all);
    EXPECT_EQ(runProcess(alone.string(), {"--version"}).exitCode, 0);
    for (const std::vector<std::string>& args : {std::vector<std::string>{"watch"}, {}}) {
        const ProcessResult r = runProcess(alone.string(), args);
        EXPECT_EQ(r.exitCode, 2);
        EXPECT_NE(r.err.find("no desktop application"), std::string::npos) << r.err;
        EXPECT_NE(r.err.find("keelbox-desktop.so: not found"), std::string::npos) << r.err;
    }
}

TEST(KeelboxDemo, BacksUpASampleDriveTwiceAndCleansUp) {
    TempFolder temp;
    const ProcessOptions options{.environment = {{"TMPDIR", temp.path().string()}}};
    const ProcessResult r = run({"demo"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    for (const char* part : {"First backup:", "323 files", "323 unchanged", "/DemoStick"})
        EXPECT_TRUE(contains(r.out, part)) << r.out;
    EXPECT_TRUE(fs::is_empty(temp.path()));

    ASSERT_EQ(run({"demo", "--keep"}, options).exitCode, 0);
    ASSERT_FALSE(fs::is_empty(temp.path()));
    const fs::path root = fs::directory_iterator(temp.path())->path();
    EXPECT_TRUE(readConfig(root / "DemoStick").has_value());
    EXPECT_TRUE(fs::exists(root / "Backups/DemoStick/Videos/clip-1.mp4"));
}

} // namespace
} // namespace keelbox::test
