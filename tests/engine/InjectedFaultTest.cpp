// Faults no real disk makes on demand, injected through the system-call table into whole runs.

#include "EngineTestSupport.h"

#include "engine/SystemError.h"

#include <cstring>
#include <utility>

namespace keelbox::test {
namespace {

using namespace std::string_literals;

struct Fault {
    int readError = 0, writeError = 0, renameError = 0, futimensError = 0;
    int copyRangeError = 0, spliceError = 0; // the two in-kernel copies, tried in this order
    int seekError = 0, linkError = 0; // finding a file's holes; sharing the earlier day's copy
    int openSourceError = 0;          // opening a file for reading
    int interruptions = 0;            // EINTR before the first read and the first write succeed
};

Fault fault;

template <auto member, typename... Args> auto failOr(int error, Args... args) {
    if (error != 0) {
        errno = error;
        return static_cast<decltype((realSysCalls().*member)(args...))>(-1);
    }
    return (realSysCalls().*member)(args...);
}

SysCalls faultyCalls() {
    SysCalls calls = realSysCalls();
#define KEELBOX_FAILING(call, error)                                                               \
    calls.call = [](auto... args) { return failOr<&SysCalls::call>(error, args...); }
    KEELBOX_FAILING(write, fault.writeError);
    KEELBOX_FAILING(copyFileRange, fault.copyRangeError);
    KEELBOX_FAILING(sendFile, fault.spliceError);
    KEELBOX_FAILING(renameat, fault.renameError);
    KEELBOX_FAILING(futimens, fault.futimensError);
    KEELBOX_FAILING(lseek, fault.seekError);
#undef KEELBOX_FAILING
    // Sharing links the earlier day's file by its name; a new copy is named through /proc.
    calls.linkat = [](int fromDir, const char* from, int toDir, const char* to, int flags) {
        return failOr<&SysCalls::linkat>(flags == 0 ? fault.linkError : 0, fromDir, from, toDir, to,
                                         flags);
    };
    calls.read = [](int fd, void* buffer, size_t count) {
        const bool interrupted = fault.interruptions > 0 && fault.interruptions--;
        return failOr<&SysCalls::read>(interrupted ? EINTR : fault.readError, fd, buffer, count);
    };
    calls.openat = [](int dir, const char* name, int flags, mode_t mode) {
        const bool fileForReading = (flags & O_ACCMODE) == O_RDONLY && (flags & O_DIRECTORY) == 0;
        return failOr<&SysCalls::openat>(fileForReading ? fault.openSourceError : 0, dir, name,
                                         flags, mode);
    };
    return calls;
}

// `reason`: the key after "engine." (each has a hint), "" for the system's own words, none when
// the copy succeeds.
struct FaultRow {
    const char* name;
    Fault fault;
    const char* reason = nullptr;
};

class InjectedFaults : public EngineTest, public ::testing::WithParamInterface<FaultRow> {};

// No partial file is left, the old copy stays until a whole new one replaces it, the next run
// heals. (A new file's copy cut short on a real disk is RealFileSystem.AFullDestination…, and its
// naming is NewCopiesAreNamedOnlyWhenComplete below.)
TEST_P(InjectedFaults, FailedCopiesReportAndTheNextRunRecopies) {
    const FaultRow row = GetParam();
    const bool sparse = row.fault.seekError != 0, dated = row.fault.linkError != 0;
    // With a hole at its end for the sparse copy; a dated run for day sharing.
    const std::string content = std::string(700000, 'n') + std::string(sparse ? 1 << 20 : 0, '\0');
    writeFile(drive / "Docs/file.bin", content.substr(0, 700000), 0640);
    fs::resize_file(drive / "Docs/file.bin", content.size());
    setModified(drive / "Docs/file.bin", 1700000000, 5);
    const DriveConfig config =
        makeConfig(dest, "STICK", {"Docs"}, dated ? BackupMode::dated : BackupMode::sync);
    const fs::path file = copy / (dated ? dayFolderName(now()) : "") / "Docs/file.bin";
    if (dated) { // yesterday's copy to share
        env.clock = [] { return now() - std::chrono::hours(24); };
        ASSERT_EQ(run(config).filesCopied, 1);
        env.clock = {};
    } else {
        markOwned(copy);
        writeFile(file, "the old copy");
    }
    fault = row.fault;
    BackupResult result = withSysCalls(faultyCalls(), [&] { return run(config); });
    fault = Fault{};
    EXPECT_EQ(std::tuple(reports.back().filesDone, result.filesCopied, partialsIn(dest).size(),
                         readFile(file)),
              std::tuple(Int{1}, Int{row.reason ? 0 : 1}, std::size_t{0},
                         row.reason ? "the old copy" : content));
    if (!row.reason) {
        EXPECT_EQ(std::pair(onlyIssue(result), modeOf(file)), std::pair("0 issues"s, 0640u));
        return;
    }
    ASSERT_EQ(result.errors.size(), 1u);
    const BackupIssue& issue = result.errors[0];
    // A full disk ends the run with its figures after the reason; an errno without a reason of
    // Keelbox's own gives the system's words.
    const std::string key = "engine." + std::string(row.reason);
    const std::string wanted =
        *row.reason ? english(key) : std::strerror(row.fault.openSourceError);
    const auto hint = *row.reason ? std::optional{english(key + "Hint")} : std::nullopt;
    EXPECT_EQ(
        std::tuple(issue.path,
                   issue.reason.find(wanted.substr(0, wanted.size() - 1)) != std::string::npos,
                   issue.suggestion),
        std::tuple("Docs/file.bin"s, true, hint));
    EXPECT_EQ(run(config).filesCopied, 1);
    EXPECT_EQ(readFile(file), content);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InjectedFaults,
    ::testing::Values(
        FaultRow{
            "ReadEio", {.readError = EIO, .copyRangeError = EXDEV, .spliceError = EINVAL}, "io"},
        FaultRow{"WriteNoSpace",
                 {.writeError = ENOSPC, .copyRangeError = EXDEV, .spliceError = EINVAL},
                 "noSpace"},
        FaultRow{"KernelCopyNoSpace", {.copyRangeError = ENOSPC}, "noSpace"},
        FaultRow{"SpliceNoSpace", {.copyRangeError = EXDEV, .spliceError = ENOSPC}, "noSpace"},
        FaultRow{"SpliceEio", {.copyRangeError = EXDEV, .spliceError = EIO}, "io"},
        // Between two file systems: sendfile copies, and read/write where a drive cannot splice.
        FaultRow{"NoRangeCopy", {.copyRangeError = EXDEV}},
        FaultRow{"RenameReadOnly", {.renameError = EROFS}, "readOnly"},
        FaultRow{"TimesEio", {.futimensError = EIO}, "io"},
        FaultRow{"Interrupted",
                 {.copyRangeError = EOPNOTSUPP, .spliceError = EINVAL, .interruptions = 3}},
        FaultRow{"NoTimesInFuse", {.futimensError = ENOSYS}},
        FaultRow{"SparseSeekEio", {.seekError = EIO}, "io"},
        // Too many links to the earlier copy: today gets a copy of its own.
        FaultRow{"DayShareTooManyLinks", {.linkError = EMLINK}},
        // Each reason a source's errno can give that no row above gives (EACCES is a real mode-000
        // file in RealFileSystem.UnreadableFiles…, ENAMETOOLONG a real name in
        // RealFileSystem.NamesTooLong…).
        FaultRow{"ESTALE", {.openSourceError = ESTALE}, "gone"},
        FaultRow{"EBUSY", {.openSourceError = EBUSY}, "busy"},
        FaultRow{"EMFILE", {.openSourceError = EMFILE}, ""}),
    [](const ::testing::TestParamInfo<FaultRow>& row) { return std::string{row.param.name}; });

// A new copy is written unnamed and named only once complete; where the disk makes no unnamed
// files it is written under a partial name instead. What happens at the name meanwhile is what a
// rename would do: a file that appeared is replaced, a folder stays and the copy is an issue.
enum class Meanwhile { nothing, file, folder };
struct Naming {
    int unnamedError = 0; // of the O_TMPFILE open
    Meanwhile meanwhile = Meanwhile::nothing;
    int error = 0; // of the link that names the copy
    int namings = 0;
} naming;

TEST_F(EngineTest, NewCopiesAreNamedOnlyWhenComplete) {
    SysCalls calls = realSysCalls();
    calls.openat = [](int dir, const char* name, int flags, mode_t mode) {
        const bool unnamed = (flags & O_TMPFILE) == O_TMPFILE;
        return failOr<&SysCalls::openat>(unnamed ? naming.unnamedError : 0, dir, name, flags, mode);
    };
    calls.linkat = [](int fromDir, const char* from, int toDir, const char* to, int flags) {
        if (std::strncmp(from, "/proc/self/fd/", 14) == 0 && naming.namings++ == 0) {
            const std::string in = std::string{to} + "/x";
            if (naming.meanwhile == Meanwhile::folder)
                mkdirat(toDir, to, 0700);
            if (naming.meanwhile != Meanwhile::nothing)
                close(openat(toDir, naming.meanwhile == Meanwhile::file ? to : in.c_str(),
                             O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
            if (naming.error != 0)
                return errno = naming.error, -1;
        }
        return realSysCalls().linkat(fromDir, from, toDir, to, flags);
    };
    struct Row {
        const char* name;
        Naming naming;
        int copied, namings;
        std::string atName, issue; // the file's content ("/" a folder, "" nothing), the reason
    };
    const std::string content(300000, 'c');
    const Row rows[] = {
        {"unnamed", {}, 1, 1, content, ""},
        {"no unnamed files", {.unnamedError = EOPNOTSUPP}, 1, 0, content, ""},
        {"old kernel", {.unnamedError = EISDIR}, 1, 0, content, ""},
        {"a file appeared", {.meanwhile = Meanwhile::file}, 1, 2, content, ""},
        {"a folder appeared",
         {.meanwhile = Meanwhile::folder},
         0,
         2,
         "/",
         "Could not finish writing"},
        {"disk full", {.error = ENOSPC}, 0, 1, "", english("engine.noSpace")},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        removeDriveAndCopies();
        writeFile(drive / "Docs/report.odt", content);
        naming = row.naming;
        const BackupResult result = withSysCalls(calls, [&] { return run(plain()); });
        const Naming seen = std::exchange(naming, Naming{});
        const fs::path file = copy / "Docs/report.odt";
        const std::string atName = fs::is_directory(file) ? "/"
                                   : fs::exists(file)     ? readFile(file)
                                                          : "";
        EXPECT_EQ(std::tuple(result.filesCopied, seen.namings, atName, partialsIn(dest).size()),
                  std::tuple(row.copied, row.namings, row.atName, std::size_t{0}));
        const std::string issue = onlyIssue(result);
        EXPECT_TRUE(row.issue.empty() ? issue == "0 issues"
                                      : issue.find(row.issue.substr(0, row.issue.size() - 1)) !=
                                            std::string::npos)
            << issue;
        if (row.copied == 0 && row.atName.empty()) { // the next run heals
            EXPECT_EQ(run(plain()).filesCopied, 1);
            EXPECT_EQ(readFile(file), content);
        }
    }
}

// "Done" means on the disk: one syncfs of the backup disk ends a run that wrote, none a run that
// did not, and a failure is an issue.
int syncCalls = 0, syncError = 0;

using DiskSync = EngineTest;

TEST_F(DiskSync, ARunThatWroteEndsWithOneSyncOfTheBackupDisk) {
    SysCalls calls = realSysCalls();
    calls.syncfs = [](int fd) {
        ++syncCalls;
        return syncError ? (errno = syncError, -1) : realSysCalls().syncfs(fd);
    };
    const std::tuple<const char*, bool, int, int, std::string> rows[] = {
        // row, a file changed first, syncfs's errno, calls, the issue
        {"first copy", true, 0, 1, "0 issues"},
        {"nothing changed", false, 0, 0, "0 issues"},
        {"failing disk", true, EIO, 1, copy.string() + " — " + english("engine.syncFailed")}};
    for (const auto& [name, change, error, expectedCalls, issue] : rows) {
        if (change)
            writeFile(drive / "a.txt", name);
        syncCalls = 0;
        syncError = error;
        const BackupResult result = withSysCalls(calls, [&] { return run(plain()); });
        EXPECT_EQ(std::pair(syncCalls, onlyIssue(result)), std::pair(expectedCalls, issue));
    }
    syncError = 0;
}

// A friendly reason where Keelbox has one, else the system's words; other domains too.
TEST(MakeIssue, ReasonHintAndSystemMessage) {
    const std::pair<SystemError, BackupIssue> rows[] = {
        {SystemError::posix({ENOSPC, "write", "/b/a.txt"}),
         {"p", english("engine.noSpace"), "Could not write “/b/a.txt”: No space left on device",
          english("engine.noSpaceHint")}},
        {SystemError::posix({EXDEV, "move", "/a"}),
         {"p", "Could not move “/a”: Invalid cross-device link",
          "POSIX #18 • POSIX 18: Invalid cross-device link", std::nullopt}},
        {SystemError{"Other", -2, ""},
         {"p", "Failed to copy the file.", "Other #-2", std::nullopt}},
    };
    for (const auto& [error, expected] : rows)
        EXPECT_EQ(makeIssue(error, "p", AppLanguage::english), expected);
}

} // namespace
} // namespace keelbox::test
