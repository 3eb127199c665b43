// copyFile and copyTree on real temp trees: the skip rule on real times, what travels with a copy,
// what stands in the way of a copy, and faults injected where no real disk makes them on demand.

#include "EngineTestSupport.h"

#include "engine/BackupEngine.h"
#include "engine/SysCalls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <unistd.h>

namespace keelbox::test {
namespace {

class CopyRules : public ::testing::Test {
protected:
    TempDir tmp;
    Tally tally{AppLanguage::english};
};

TEST_F(CopyRules, SkipRuleOnRealFiles) {
    const struct {
        const char* name;
        std::string source;
        std::int64_t sourceTime;
        long sourceNanos;
        std::string copy;
        std::int64_t copyTime;
        bool copied;
    } rows[] = {
        {"source 1.5 s newer, same size", "new", 1001, 500000000, "old", 1000, false},
        {"source 2.5 s newer, same size", "new", 1002, 500000000, "old", 1000, true},
        {"same size and time, other content", "abc", 1000, 0, "xyz", 1000, false},
        {"copy larger but newer", "short", 1000, 0, "much longer", 5000, true},
        {"copy smaller and older", "longer one", 1000, 0, "short", 10, true},
    };
    for (const auto& row : rows) {
        SCOPED_TRACE(row.name);
        const fs::path source = tmp / "src" / row.name;
        const fs::path copy = tmp / "dst" / row.name;
        writeFile(source, row.source);
        setModified(source, row.sourceTime, row.sourceNanos);
        writeFile(copy, row.copy);
        setModified(copy, row.copyTime);
        Tally local{AppLanguage::english};
        copyFile(source, copy, row.name, local);
        EXPECT_TRUE(local.errors.empty());
        EXPECT_EQ(local.filesCopied, row.copied ? 1 : 0);
        EXPECT_EQ(local.filesSkipped, row.copied ? 0 : 1);
        EXPECT_EQ(local.processedFiles, 1);
        EXPECT_EQ(local.processedBytes, static_cast<Int64>(row.source.size()));
        EXPECT_EQ(readFile(copy), row.copied ? row.source : row.copy);
    }
}

TEST_F(CopyRules, PermissionBitsTravelButNeverTheSpecialOnes) {
    const struct {
        mode_t source;
        mode_t copy;
    } rows[] = {{0644, 0644},  {0600, 0600},  {0755, 0755},  {0444, 0444},
                {04755, 0755}, {02755, 0755}, {01777, 0777}, {06711, 0711}};
    for (const auto& row : rows) {
        const std::string name = "m" + std::to_string(row.source);
        writeFile(tmp / "src" / name, "x");
        ::chmod((tmp / "src" / name).c_str(), row.source);
        ASSERT_EQ(modeOf(tmp / "src" / name), row.source);
    }
    copyTree(tmp / "src", tmp / "dst", "", tally);
    EXPECT_TRUE(tally.errors.empty());
    for (const auto& row : rows) {
        const std::string name = "m" + std::to_string(row.source);
        EXPECT_EQ(modeOf(tmp / "dst" / name), row.copy) << std::oct << row.source;
    }
}

TEST_F(CopyRules, AFolderInTheWayOfAFileIsReplaced) {
    writeFile(tmp / "src/thing", "file now");
    writeFile(tmp / "dst/thing/inner/deep.txt", "was a folder");
    copyTree(tmp / "src", tmp / "dst", "", tally);
    EXPECT_TRUE(tally.errors.empty());
    EXPECT_EQ(readFile(tmp / "dst/thing"), "file now");
}

TEST_F(CopyRules, AFileInTheWayOfAFolderStaysAndEachFileBelowReports) {
    writeFile(tmp / "src/thing/a.txt", "a");
    writeFile(tmp / "src/thing/sub/b.txt", "b");
    writeFile(tmp / "src/ok.txt", "ok");
    writeFile(tmp / "dst/thing", "a file");
    copyTree(tmp / "src", tmp / "dst", "Shown", tally);
    EXPECT_EQ(readFile(tmp / "dst/thing"), "a file");
    ASSERT_EQ(tally.errors.size(), 2u);
    std::vector<std::string> paths{tally.errors[0].path, tally.errors[1].path};
    std::sort(paths.begin(), paths.end());
    EXPECT_EQ(paths, (std::vector<std::string>{"Shown/thing/a.txt", "Shown/thing/sub/b.txt"}));
    EXPECT_EQ(tally.filesCopied, 1);
    EXPECT_EQ(tally.processedFiles, 3);
}

TEST_F(CopyRules, LinksInTheCopyAreReplacedNeverWrittenThrough) {
    writeFile(tmp / "outside/victim.txt", "untouched");
    fs::create_directories(tmp / "outside/folder");
    writeFile(tmp / "src/victim.txt", "from the drive");
    writeFile(tmp / "src/folder/planted.txt", "from the drive");
    fs::create_directories(tmp / "dst");
    fs::create_symlink(tmp / "outside/victim.txt", tmp / "dst/victim.txt");
    fs::create_directory_symlink(tmp / "outside/folder", tmp / "dst/folder");
    copyTree(tmp / "src", tmp / "dst", "", tally);
    EXPECT_TRUE(tally.errors.empty());
    EXPECT_EQ(readFile(tmp / "outside/victim.txt"), "untouched");
    EXPECT_TRUE(fs::is_empty(tmp / "outside/folder"));
    EXPECT_FALSE(fs::is_symlink(tmp / "dst/victim.txt"));
    EXPECT_FALSE(fs::is_symlink(tmp / "dst/folder"));
    EXPECT_EQ(readFile(tmp / "dst/folder/planted.txt"), "from the drive");
}

TEST_F(CopyRules, AFifoInsideASourceIsSkippedWithoutBlocking) {
    fs::create_directories(tmp / "src");
    ASSERT_EQ(::mkfifo((tmp / "src/pipe").c_str(), 0644), 0);
    writeFile(tmp / "src/file", "f");
    copyTree(tmp / "src", tmp / "dst", "", tally);
    EXPECT_TRUE(tally.errors.empty());
    EXPECT_EQ(tally.processedFiles, 1);
    EXPECT_FALSE(fs::exists(tmp / "dst/pipe"));
}

// ---- Faults through the system-call table

struct Fault {
    int readError = 0;
    int writeError = 0;
    int copyRangeError = 0;
    int renameError = 0;
    int fchmodError = 0;
    int futimensError = 0;
    int openSourceError = 0;
    int interruptions = 0; // EINTR before the first read and the first write succeed
};

Fault fault;

ssize_t faultyRead(int fd, void* buffer, size_t count) {
    if (fault.interruptions > 0) {
        --fault.interruptions;
        errno = EINTR;
        return -1;
    }
    if (fault.readError != 0) {
        errno = fault.readError;
        return -1;
    }
    return realSysCalls().read(fd, buffer, count);
}
ssize_t faultyWrite(int fd, const void* buffer, size_t count) {
    if (fault.writeError != 0) {
        errno = fault.writeError;
        return -1;
    }
    return realSysCalls().write(fd, buffer, count);
}
ssize_t faultyCopyRange(int in, off_t* a, int out, off_t* b, size_t count, unsigned flags) {
    if (fault.copyRangeError != 0) {
        errno = fault.copyRangeError;
        return -1;
    }
    return realSysCalls().copyFileRange(in, a, out, b, count, flags);
}
int faultyRename(int a, const char* from, int b, const char* to) {
    if (fault.renameError != 0) {
        errno = fault.renameError;
        return -1;
    }
    return realSysCalls().renameat(a, from, b, to);
}
int faultyFchmod(int fd, mode_t mode) {
    if (fault.fchmodError != 0) {
        errno = fault.fchmodError;
        return -1;
    }
    return realSysCalls().fchmod(fd, mode);
}
int faultyFutimens(int fd, const struct timespec times[2]) {
    if (fault.futimensError != 0) {
        errno = fault.futimensError;
        return -1;
    }
    return realSysCalls().futimens(fd, times);
}
int faultyOpenat(int dir, const char* name, int flags, mode_t mode) {
    if (fault.openSourceError != 0 && (flags & O_ACCMODE) == O_RDONLY &&
        (flags & O_DIRECTORY) == 0) {
        errno = fault.openSourceError;
        return -1;
    }
    return realSysCalls().openat(dir, name, flags, mode);
}

SysCalls faultyCalls() {
    SysCalls calls = realSysCalls();
    calls.read = faultyRead;
    calls.write = faultyWrite;
    calls.copyFileRange = faultyCopyRange;
    calls.renameat = faultyRename;
    calls.fchmod = faultyFchmod;
    calls.futimens = faultyFutimens;
    calls.openat = faultyOpenat;
    return calls;
}

struct FaultRow {
    const char* name;
    Fault fault;
    const char* reasonKey; // nullptr: the copy succeeds
    const char* hintKey;
};

class InjectedFaults : public CopyRules, public ::testing::WithParamInterface<FaultRow> {};

TEST_P(InjectedFaults, FailedCopiesReportAndLeaveNoPartialFileBehind) {
    const FaultRow row = GetParam();
    const std::string content(700000, 'n');
    writeFile(tmp / "src/Docs/file.bin", content, 0640);
    setModified(tmp / "src/Docs/file.bin", 1700000000, 5);
    writeFile(tmp / "dst/Docs/file.bin", "the old copy");
    setModified(tmp / "dst/Docs/file.bin", 1600000000);
    {
        fault = row.fault;
        ScopedSysCalls seam{faultyCalls()};
        copyFile(tmp / "src/Docs/file.bin", tmp / "dst/Docs/file.bin", "Docs/file.bin", tally);
        fault = Fault{};
    }
    EXPECT_EQ(tally.processedFiles, 1);
    EXPECT_TRUE(partialsIn(tmp / "dst").empty());
    if (row.reasonKey == nullptr) {
        EXPECT_TRUE(tally.errors.empty()) << tally.errors[0].reason;
        EXPECT_EQ(tally.filesCopied, 1);
        EXPECT_EQ(readFile(tmp / "dst/Docs/file.bin"), content);
        if (row.fault.futimensError == 0) {
            EXPECT_EQ(modifiedOf(tmp / "dst/Docs/file.bin").tv_sec, 1700000000);
        }
        return;
    }
    ASSERT_EQ(tally.errors.size(), 1u);
    const BackupIssue& issue = tally.errors[0];
    EXPECT_EQ(issue.path, "Docs/file.bin");
    EXPECT_EQ(issue.reason, english(row.reasonKey));
    if (row.hintKey != nullptr)
        EXPECT_EQ(issue.suggestion, english(row.hintKey));
    else
        EXPECT_EQ(issue.suggestion, std::nullopt);
    EXPECT_FALSE(issue.systemMessage.empty());
    EXPECT_EQ(tally.filesCopied, 0);
    // The old copy stays until a complete new one replaces it; the next run, without the fault,
    // copies the file because the old copy differs in size.
    EXPECT_EQ(readFile(tmp / "dst/Docs/file.bin"), "the old copy");
    Tally again{AppLanguage::english};
    copyFile(tmp / "src/Docs/file.bin", tmp / "dst/Docs/file.bin", "Docs/file.bin", again);
    EXPECT_EQ(again.filesCopied, 1);
    EXPECT_EQ(readFile(tmp / "dst/Docs/file.bin"), content);
}

INSTANTIATE_TEST_SUITE_P(
    Rows, InjectedFaults,
    ::testing::Values(
        FaultRow{"ReadEio", Fault{.readError = EIO, .copyRangeError = EXDEV}, "engine.io",
                 "engine.ioHint"},
        FaultRow{"WriteNoSpace", Fault{.writeError = ENOSPC, .copyRangeError = EXDEV},
                 "engine.noSpace", "engine.noSpaceHint"},
        FaultRow{"KernelCopyNoSpace", Fault{.copyRangeError = ENOSPC}, "engine.noSpace",
                 "engine.noSpaceHint"},
        FaultRow{"RenameReadOnly", Fault{.renameError = EROFS}, "engine.readOnly",
                 "engine.readOnlyHint"},
        FaultRow{"SourceVanished", Fault{.openSourceError = ENOENT}, "engine.gone",
                 "engine.goneHint"},
        FaultRow{"SourceUnreadable", Fault{.openSourceError = EACCES}, "engine.noPerm",
                 "engine.noPermHint"},
        FaultRow{"KernelCopyUnsupported", Fault{.copyRangeError = EXDEV}, nullptr, nullptr},
        FaultRow{"KernelCopyMissing", Fault{.copyRangeError = ENOSYS}, nullptr, nullptr},
        FaultRow{"Interrupted", Fault{.copyRangeError = EOPNOTSUPP, .interruptions = 3}, nullptr,
                 nullptr},
        FaultRow{"NoPermissionsOnFat", Fault{.fchmodError = EPERM}, nullptr, nullptr},
        FaultRow{"NoChmodInFuse", Fault{.fchmodError = ENOSYS}, nullptr, nullptr},
        FaultRow{"NoTimesInFuse", Fault{.futimensError = ENOSYS}, nullptr, nullptr},
        FaultRow{"TimesEio", Fault{.futimensError = EIO}, "engine.io", "engine.ioHint"}),
    [](const ::testing::TestParamInfo<FaultRow>& row) { return std::string{row.param.name}; });

TEST_F(CopyRules, AfterAnUnsupportedKernelCopyTheRunReadsAndWrites) {
    for (int i = 0; i < 5; ++i)
        writeFile(tmp / "src" / ("f" + std::to_string(i)), std::string(1000 + i, 'a'));
    static int kernelCopyCalls = 0;
    kernelCopyCalls = 0;
    SysCalls calls = realSysCalls();
    calls.copyFileRange = [](int, off_t*, int, off_t*, size_t, unsigned) -> ssize_t {
        ++kernelCopyCalls;
        errno = EXDEV;
        return -1;
    };
    {
        ScopedSysCalls seam{calls};
        copyTree(tmp / "src", tmp / "dst", "", tally);
    }
    EXPECT_EQ(tally.filesCopied, 5);
    EXPECT_EQ(kernelCopyCalls, 1);
    for (int i = 0; i < 5; ++i)
        EXPECT_EQ(readFile(tmp / "dst" / ("f" + std::to_string(i))), std::string(1000 + i, 'a'));
}

TEST_F(CopyRules, AnUnreadableFolderEntryReportsAndTheWalkGoesOn) {
    writeFile(tmp / "src/a/locked/x.txt", "x");
    writeFile(tmp / "src/b.txt", "b");
    static int failures = 0;
    static ino_t sourceParent = 0;
    failures = 0;
    struct stat parent {};
    ASSERT_EQ(::stat((tmp / "src/a").c_str(), &parent), 0);
    sourceParent = parent.st_ino;
    SysCalls calls = realSysCalls();
    // Only the drive's folder "a/locked" fails to open; its copy opens normally.
    calls.openat = [](int dir, const char* name, int flags, mode_t mode) -> int {
        struct stat st {};
        if (std::strcmp(name, "locked") == 0 && ::fstat(dir, &st) == 0 &&
            st.st_ino == sourceParent) {
            ++failures;
            errno = EACCES;
            return -1;
        }
        return realSysCalls().openat(dir, name, flags, mode);
    };
    {
        ScopedSysCalls seam{calls};
        copyTree(tmp / "src", tmp / "dst", "Pre", tally);
    }
    EXPECT_EQ(failures, 1);
    ASSERT_EQ(tally.errors.size(), 1u);
    EXPECT_EQ(tally.errors[0].path, "Pre/a/locked");
    EXPECT_EQ(tally.errors[0].reason, english("engine.noPerm"));
    EXPECT_EQ(readFile(tmp / "dst/b.txt"), "b");
    EXPECT_TRUE(fs::is_directory(tmp / "dst/a/locked"));
}

} // namespace
} // namespace keelbox::test
