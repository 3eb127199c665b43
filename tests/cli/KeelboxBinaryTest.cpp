// The `keelbox` executable as a user runs it: exit statuses, messages, and real backups of drives
// made in temporary folders.

#include "tests/support/Subprocess.h"
#include "tests/support/TempFolder.h"

#include "core/ConfigFile.h"

#include <algorithm>
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
    const std::string empty = (temp / "empty").string(), warned = (temp / "warned").string();
    const fs::path broken = temp / "broken", capitalMode = temp / "capital", card = temp / "card";
    const std::string badSyntax = (temp / "syntax").string();
    fs::create_directories(empty);
    fs::create_directories(warned);
    // A write-protected card: the configuration cannot be saved, and the message says why.
    fs::create_directories(card);
    const bool cardMounted =
        ::mount("keelbox-test", card.c_str(), "tmpfs", MS_RDONLY, "size=64k") == 0;
    writeFile(broken / ".keelbox.json", "{}");
    // Every command reads the file the same way: each problem with one of them.
    const std::string syntax = "{\n  \"driveID\": \"X\",\n  oops\n}";
    writeFile(temp / "syntax/.keelbox.json", syntax);
    writeFile(temp / "nameless/.keelbox.json", "{\"driveID\": \"X\", \"schemaVersion\": 1}");
    std::string capital = encodeConfig(DriveConfig::makeNew("S", now()));
    writeFile(capitalMode / ".keelbox.json",
              capital.replace(capital.find("\"sync\""), 6, "\"Sync\""));
    const struct {
        std::vector<std::string> args;
        std::map<std::string, std::string> environment;
        int exitCode;
        std::string out, err; // must appear on standard output, standard error
    } rows[] = {
        {{"--version"}, {}, 0, "keelbox 0.1.0", ""},
        {{"--help"}, {{"LANG", "pl_PL.UTF-8"}}, 0, "Użycie:", ""},
        {{"frobnicate"}, {{"LC_ALL", "pl_PL.UTF-8"}}, 2, "", "Nieznany argument: frobnicate"},
        {{"--language", "pl", "backup", empty}, {}, 2, "", "nie ma poprawnej"},
        {{"config", warned, "--whole-drive", "--destination", "/mnt/keelbox-absent/Backups"},
         {},
         0,
         "Configuration saved",
         "refused: The backup folder is on the disk “keelbox-absent”, which is not connected"},
        {{"--help", "--language"}, {}, 2, "", "--language needs a value"},
        {{"--help", "--language", "de"}, {}, 2, "", "Unknown language “de”"},
        {{"backup"}, {}, 2, "", "exactly one drive folder"},
        {{"backup", "--fast", empty}, {}, 2, "", "Unknown argument: --fast"},
        {{"backup", (temp / "nowhere").string()}, {}, 2, "", "is not a folder"},
        {{"backup", broken.string()}, {}, 2, "", "keelbox config " + broken.string()},
        {{"backup", capitalMode.string()}, {}, 2, "", "the key “mode” has a value"},
        {{"config", badSyntax, "--mirror", "on"}, {}, 2, "", "at line 3, column 3"},
        {{"config", (temp / "nameless").string()}, {}, 2, "", "the key “driveName” is missing"},
        {{"config", empty, "--mode", "weekly"}, {}, 2, "", "--mode: “weekly”"},
        {{"config", empty, "--destination", ""}, {}, 2, "", "cannot be empty"},
        {{"config", empty, "--add-source", "Missing"}, {}, 2, "", "on the drive: Missing"},
        {{"config", empty, "--add-source", ".."}, {}, 2, "", "is not on this drive"},
        {{"config", empty, "--remove-source", "Docs"}, {}, 2, "", "not one of"},
        {{"config", card.string(), "--whole-drive"}, {}, 1, "", "save the configuration:"},
    };
    for (const auto& row : rows) {
        if (row.exitCode == 1 && !cardMounted)
            continue;
        const ProcessResult r = run(row.args, {.environment = row.environment});
        EXPECT_EQ(r.exitCode, row.exitCode) << testing::PrintToString(row.args) << r.out << r.err;
        expectParts(r.out, {row.out});
        expectParts(r.err, {row.err, row.exitCode == 1 ? "Read-only file system" : ""});
    }
    ::umount2(card.c_str(), MNT_DETACH);
    // Refused edits leave nothing behind on the drive, and a file that does not read is never
    // replaced by accident.
    EXPECT_FALSE(fs::exists(fs::path(empty) / ".keelbox.json"));
    EXPECT_EQ(readFile(temp / "syntax/.keelbox.json"), syntax);
    KEELBOX_REQUIRE_CAPABILITY(cardMounted, "mounting a tmpfs needs root");
}

TEST(KeelboxConfig, CreateEditAndShowRoundTrip) {
    TempFolder temp;
    const fs::path drive = temp / "STICK", dest = temp / "Backups";
    writeFile(drive / "Docs/a.txt", "alpha");
    writeFile(drive / "Photos/p.jpg", "jpeg");

    ProcessResult r = run({"config", drive.string(), "--add-source", "Docs", "--destination",
                           dest.string(), "--mode", "dated", "--auto", "off"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.out, "Configuration saved to")) << r.out;
    // What the file holds: identity, name, destination, mode, mirror, automatic run and sources.
    const auto held = [&] {
        const DriveConfig c = readConfig(drive).value();
        std::string text = c.driveID + "|" + formatIsoDate(c.createdAt) + "|" + c.driveName + "|" +
                           c.destinationPath + "|" + std::string(rawValue(c.mode)) +
                           (c.deleteRemovedFiles ? "|mirror" : "|keep") +
                           (c.autoRunOnMount ? "|auto|" : "|manual|");
        for (const auto& source : c.sources)
            text += "[" + source.relativePath + "]";
        return text;
    };
    // Named after the mount point's folder, with a fresh identity.
    const DriveConfig created = readConfig(drive).value();
    ASSERT_TRUE(Uuid::parse(created.driveID));
    const std::string identity = created.driveID + "|" + formatIsoDate(created.createdAt) + "|";
    EXPECT_EQ(held(), identity + "STICK|" + dest.string() + "|dated|keep|manual|[Docs]");

    // A second edit keeps the identity; a source given as a full path is listed by its place on
    // the drive (through a link too, by the rule of UiTest::addingSources); a duplicate is skipped.
    r = run({"config", drive.string(), "--add-source", (drive / "Photos").string(), "--add-source",
             "Docs/", "--mode", "sync", "--mirror", "on", "--name", "My Stick"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(contains(r.err, "Already a source: Docs")) << r.err;
    const std::string edited = identity + "My Stick|" + dest.string() + "|sync|mirror|manual|";
    EXPECT_EQ(held(), edited + "[Docs][Photos]");
    ASSERT_EQ(run({"config", drive.string(), "--remove-source", "Docs"}).exitCode, 0);
    EXPECT_EQ(held(), edited + "[Photos]");
    ASSERT_EQ(run({"config", drive.string(), "--whole-drive"}).exitCode, 0);
    EXPECT_EQ(held(), edited + "[]");

    // Showing changes nothing and lists what the file holds.
    const std::string before = readFile(drive / ".keelbox.json");
    r = run({"config", drive.string()});
    EXPECT_EQ(r.exitCode, 0);
    expectParts(r.out, {"My Stick", "(whole drive)", "Sync (up-to-date copy)"});
    EXPECT_EQ(readFile(drive / ".keelbox.json"), before);

    // A FIFO at its name is never waited on (the time limit): --new sets it aside.
    fs::remove(drive / ".keelbox.json");
    ::mkfifo((drive / ".keelbox.json").c_str(), 0644);
    r = runProcess("/usr/bin/timeout", {"20", keelbox, "config", drive.string(), "--new"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    expectParts(r.err, {".keelbox.json.old-"});
    // Asked for explicitly, a new one is made, the old file kept aside with its identity.
    writeFile(drive / ".keelbox.json", "{\"driveID\": \"KEEP-ME\", \"mode\": 7}");
    r = run({"config", drive.string(), "--new", "--whole-drive"});
    EXPECT_EQ(r.exitCode, 0) << r.err;
    EXPECT_TRUE(contains(r.err, ".keelbox.json.old-")) << r.err;
    EXPECT_EQ(readConfig(drive).value().driveID, "KEEP-ME");
    // Both old files are kept, even when set aside within one second.
    const auto asides =
        std::count_if(fs::directory_iterator(drive), fs::directory_iterator(),
                      [](const fs::directory_entry& entry) {
                          return entry.path().filename().string().starts_with(".keelbox.json.old-");
                      });
    EXPECT_EQ(asides, 2);
}

TEST(KeelboxConfig, DestinationInsideHomeIsStoredWithTilde) {
    TempFolder temp;
    const fs::path home = temp / "home", drive = temp / "D";
    fs::create_directories(drive);
    // Stored as a plain folder path (no "..", "." or trailing slash), relative to the working
    // folder. (A folder inside the home, chosen in the window, is UiTest::destination's.)
    const std::pair<std::string, std::string> rows[] = {
        {home.string(), "~"},
        {(home.string() + "2/x"), home.string() + "2/x"},
        {(home / "Backups/../Other/").string(), "~/Other"},
        {"rel", (temp / "rel").string()},
    };
    for (const auto& [given, stored] : rows) {
        const ProcessResult r =
            run({"config", drive.string(), "--destination", given},
                {.environment = {{"HOME", home.string()}}, .workingFolder = temp.path().string()});
        ASSERT_EQ(r.exitCode, 0) << r.err;
        EXPECT_EQ(readConfig(drive)->destinationPath, stored) << given;
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

// Copies, finds everything unchanged, then mirrors a deletion while listing a vanished source.
TEST_F(KeelboxBackup, CopiesThenFindsEverythingUnchangedThenMirrors) {
    configure({"--add-source", "Docs", "--add-source", "Other", "--mirror", "on"});
    ProcessResult r = run({"backup", drive.string()});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    // Not a terminal: plain lines, never the in-place rewriting.
    expectParts(r.out, {"Finished in", "3 files", "Copy: " + (dest / "Stick").string(),
                        "100% • 3/3 files"});
    EXPECT_FALSE(contains(r.out, "\r")) << r.out;

    r = run({"backup", drive.string(), "--no-progress", "--language", "pl"});
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    expectParts(r.out, {"0 plików • 0 bajtów • 3 bez zmian"});
    EXPECT_FALSE(contains(r.out, "%")) << r.out;

    fs::remove_all(drive / "Docs/Sub");
    fs::remove_all(drive / "Other");
    r = run({"backup", drive.string()});
    EXPECT_EQ(r.exitCode, 1) << r.out << r.err;
    EXPECT_FALSE(fs::exists(dest / "Stick/Docs/Sub"));
    expectParts(r.out,
                {"1 deleted", "Problems (1):", "Other — Source no longer exists on the drive.",
                 "Hint: Check that this folder/file is still on the drive"});
    EXPECT_EQ(readFile(dest / "Stick/Other/c.txt"), "gamma"); // a vanished source's copy stays
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
    EXPECT_FALSE(fs::exists(dest / "Stick") || fs::exists(dest / mounted.filename() / "Other"));
    EXPECT_FALSE(contains(r.out, "\x1b")) << r.out;
    expectParts(r.out, {"Evil\\x1B[2J\\x0ADone"});
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
    // From a carriage return to the erase-line sequence is one progress line; "\r\n" is not.
    std::size_t drawn = 0;
    for (std::size_t at = out.find('\r'); at != std::string::npos; at = out.find('\r', at + 1)) {
        const std::size_t end = out.find("\x1b[K", at);
        if (end == std::string::npos || out.compare(at, 2, "\r\n") == 0 || end == at + 1)
            continue;
        ++drawn;
        const std::string line = out.substr(at + 1, end - at - 1);
        EXPECT_LE(std::ranges::count_if(line, [](unsigned char c) { return (c & 0xC0) != 0x80; }),
                  39)
            << line;
    }
    EXPECT_GE(drawn, 2u) << out; // "Scanning contents…" and at least the final line
    expectParts(out, {"202/202 files", "Finished in"});
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
    for (int folder = 0; folder < 20; ++folder)
        for (int i = 0; i < 250; ++i)
            writeFile(drive / "Many" / std::to_string(folder) / (std::to_string(i) + ".txt"),
                      std::string(2048, 'a'));
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
        expectParts(r.out, {"Stopped on request"});
        EXPECT_FALSE(contains(r.out, "Problems (")) << r.out; // said once, not as a problem
        EXPECT_EQ(filesBelow(dest / "Stick/Many"), copies);   // nothing partial after a clean stop
    }
}

// "--selftest" selects the self-test wherever it stands; it passes as an ordinary user (nobody)
// working in a folder only that user may use, and leaves nothing behind.
TEST(KeelboxSelfTest, PassesAsAnOrdinaryUser) {
    // Root drops to nobody; as root the self-test runs in-process in tests/selftest.
    const std::optional<uid_t> user = ::geteuid() == 0 ? std::optional<uid_t>{65534} : std::nullopt;
    TempFolder temp;
    const fs::path folder = temp / "work";
    fs::create_directories(folder);
    ASSERT_EQ(::chmod(temp.path().c_str(), 0755), 0);
    ASSERT_EQ(::chown(folder.c_str(), user.value_or(::geteuid()), user.value_or(::getegid())), 0);
    const ProcessResult r = run({"--language", "pl", "--selftest"},
                                {.environment = {{"TMPDIR", folder.string()}}, .asUser = user});
    EXPECT_EQ(r.exitCode, 0) << r.out << r.err;
    EXPECT_TRUE(r.out.starts_with("Keelbox — self-test\n\n") &&
                r.out.ends_with("\nWynik: 17 OK, 0 błędów\n") && fs::is_empty(folder))
        << r.out;
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
        expectParts(r.err, {"no desktop application", "keelbox-desktop.so: not found"});
    }
}

TEST(KeelboxDemo, BacksUpASampleDriveTwiceAndCleansUp) {
    TempFolder temp;
    const ProcessOptions options{.environment = {{"TMPDIR", temp.path().string()}}};
    const ProcessResult r = run({"demo"}, options);
    ASSERT_EQ(r.exitCode, 0) << r.out << r.err;
    expectParts(r.out, {"First backup:", "323 files", "323 unchanged", "/DemoStick"});
    EXPECT_TRUE(fs::is_empty(temp.path()));
    ASSERT_EQ(run({"demo", "--keep"}, options).exitCode, 0);
    const fs::path root =
        fs::is_empty(temp.path()) ? temp.path() : fs::directory_iterator(temp.path())->path();
    EXPECT_TRUE(readConfig(root / "DemoStick") &&
                fs::exists(root / "Backups/DemoStick/Videos/clip-1.mp4"));
}

} // namespace
} // namespace keelbox::test
