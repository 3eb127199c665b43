// Faults no real disk makes on demand, injected through the system-call table into whole runs.

#include "EngineTestSupport.h"

#include "engine/SystemError.h"

#include <cerrno>
#include <cstring>
#include <tuple>

namespace keelbox::test {
namespace {

struct Fault {
    int readError = 0, writeError = 0, copyRangeError = 0, renameError = 0, futimensError = 0;
    int openSourceError = 0; // opening a file for reading
    int interruptions = 0;   // EINTR before the first read and the first write succeed
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
    calls.read = [](int fd, void* buffer, size_t count) {
        if (fault.interruptions > 0 && fault.interruptions--)
            return failOr<&SysCalls::read>(EINTR, fd, buffer, count);
        return failOr<&SysCalls::read>(fault.readError, fd, buffer, count);
    };
    calls.write = [](int fd, const void* buffer, size_t count) {
        return failOr<&SysCalls::write>(fault.writeError, fd, buffer, count);
    };
    calls.copyFileRange = [](int in, off_t* a, int out, off_t* b, size_t count, unsigned flags) {
        return failOr<&SysCalls::copyFileRange>(fault.copyRangeError, in, a, out, b, count, flags);
    };
    calls.renameat = [](int a, const char* from, int b, const char* to) {
        return failOr<&SysCalls::renameat>(fault.renameError, a, from, b, to);
    };
    calls.futimens = [](int fd, const struct timespec times[2]) {
        return failOr<&SysCalls::futimens>(fault.futimensError, fd, times);
    };
    calls.openat = [](int dir, const char* name, int flags, mode_t mode) {
        const bool fileForReading = (flags & O_ACCMODE) == O_RDONLY && (flags & O_DIRECTORY) == 0;
        return failOr<&SysCalls::openat>(fileForReading ? fault.openSourceError : 0, dir, name,
                                         flags, mode);
    };
    return calls;
}

struct FaultRow {
    const char* name;
    Fault fault;
    bool fails = false;
    std::string reasonKey; // empty: the system's own words
    std::string hintKey;   // empty: no hint
};

class InjectedFaults : public EngineTest, public ::testing::WithParamInterface<FaultRow> {};

// No partial file is left, an old copy stays until a whole new one replaces it, the next run heals.
TEST_P(InjectedFaults, FailedCopiesReportAndTheNextRunRecopies) {
    const FaultRow row = GetParam();
    const std::string content(700000, 'n');
    writeFile(drive / "Docs/file.bin", content, 0640);
    setModified(drive / "Docs/file.bin", 1700000000, 5);
    for (const bool replacing : {true, false}) {
        SCOPED_TRACE(replacing ? "replacing an old copy" : "a new file in a new folder");
        fs::remove_all(dest);
        if (replacing) {
            markOwned(copy);
            writeFile(copy / "Docs/file.bin", "the old copy");
        }
        fault = row.fault;
        BackupResult result =
            withSysCalls(faultyCalls(), [&] { return run(makeConfig(dest, "STICK", {"Docs"})); });
        fault = Fault{};
        EXPECT_EQ(std::tuple(reports.back().filesDone, result.filesCopied, partialsIn(dest).size()),
                  std::tuple(Int{1}, Int{row.fails ? 0 : 1}, std::size_t{0}));
        if (!row.fails) {
            EXPECT_EQ(onlyIssue(result), "0 issues");
            EXPECT_EQ(readFile(copy / "Docs/file.bin"), content);
            EXPECT_EQ(modeOf(copy / "Docs/file.bin"), 0640u);
            continue;
        }
        ASSERT_EQ(result.errors.size(), 1u);
        const BackupIssue& issue = result.errors[0];
        EXPECT_EQ(issue.path, "Docs/file.bin");
        EXPECT_EQ(issue.reason, row.reasonKey.empty() ? issue.reason : english(row.reasonKey));
        EXPECT_NE(issue.reason.find(row.reasonKey.empty() ? std::strerror(row.fault.openSourceError)
                                                          : ""),
                  std::string::npos);
        EXPECT_EQ(issue.suggestion,
                  row.hintKey.empty() ? std::nullopt : std::optional{english(row.hintKey)});
        EXPECT_EQ(fs::exists(copy / "Docs/file.bin") ? readFile(copy / "Docs/file.bin") : "",
                  replacing ? "the old copy" : "");
        EXPECT_EQ(run(makeConfig(dest, "STICK", {"Docs"})).filesCopied, 1);
        EXPECT_EQ(readFile(copy / "Docs/file.bin"), content);
    }
}

// `reason`: the key after "engine."; its hint is the key with "Hint" where there is one.
FaultRow failing(const char* name, Fault injected, std::string reason) {
    const bool hinted = !reason.empty() && reason != "nameLong";
    const std::string key = reason.empty() ? "" : "engine." + reason;
    return {name, injected, true, key, hinted ? key + "Hint" : ""};
}
FaultRow opening(const char* name, int error, const char* reason) {
    return failing(name, Fault{.openSourceError = error}, reason);
}
FaultRow succeeding(const char* name, Fault injected) {
    return {name, injected, false, "", ""};
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InjectedFaults,
    ::testing::Values(failing("ReadEio", {.readError = EIO, .copyRangeError = EXDEV}, "io"),
                      failing("WriteNoSpace", {.writeError = ENOSPC, .copyRangeError = EXDEV},
                              "noSpace"),
                      failing("KernelCopyNoSpace", {.copyRangeError = ENOSPC}, "noSpace"),
                      failing("RenameReadOnly", {.renameError = EROFS}, "readOnly"),
                      failing("TimesEio", {.futimensError = EIO}, "io"),
                      succeeding("KernelCopyUnsupported", {.copyRangeError = EXDEV}),
                      succeeding("Interrupted", {.copyRangeError = EOPNOTSUPP, .interruptions = 3}),
                      succeeding("NoTimesInFuse", {.futimensError = ENOSYS}),
                      // Each errno a source can fail with, by the reason it gives.
                      opening("EACCES", EACCES, "noPerm"), opening("ESTALE", ESTALE, "gone"),
                      opening("ENODEV", ENODEV, "io"), opening("EBUSY", EBUSY, "busy"),
                      opening("EDQUOT", EDQUOT, "noSpace"),
                      opening("ENAMETOOLONG", ENAMETOOLONG, "nameLong"),
                      opening("EMFILE", EMFILE, "")),
    [](const ::testing::TestParamInfo<FaultRow>& row) { return std::string{row.param.name}; });

// A friendly reason where Keelbox has one, else the system's words; other domains too.
TEST(MakeIssue, ReasonHintAndSystemMessage) {
    const std::pair<SystemError, BackupIssue> rows[] = {
        {SystemError::posix({ENOSPC, "write", "/b/a.txt"}),
         {"p", english("engine.noSpace"), "Could not write “/b/a.txt”: No space left on device",
          english("engine.noSpaceHint")}},
        {SystemError::posix({EXDEV, "move", "/a"}),
         {"p", "Could not move “/a”: Invalid cross-device link",
          "POSIX #18 • POSIX 18: Invalid cross-device link", std::nullopt}},
        {SystemError{"Other", 3, "Odd."}, {"p", "Odd.", "Other #3", std::nullopt}},
        {SystemError{"Other", -2, ""},
         {"p", "Failed to copy the file.", "Other #-2", std::nullopt}},
    };
    for (const auto& [error, expected] : rows)
        EXPECT_EQ(makeIssue(error, "p", AppLanguage::english), expected);
    EXPECT_EQ(makeIssue(rows[0].first, "b", AppLanguage::polish).reason,
              "Za mało miejsca na dysku docelowym.");
}

} // namespace
} // namespace keelbox::test
