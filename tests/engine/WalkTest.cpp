// The one walk that pre-counts, copies and prunes, against a drive that changes or breaks off.

#include "EngineTestSupport.h"

#include "engine/SysCalls.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <fcntl.h>
#include <unistd.h>

namespace keelbox::test {
namespace {

using Walk = EngineTest;

// Changed after the pre-count: a file replaced (new inode), added, deleted, a folder now a file.
TEST_F(Walk, ADriveChangedAfterThePreCountIsCopiedAsItIsThen) {
    for (const std::string folder : {"a", "b"}) {
        for (int i = 0; i < 30; ++i)
            writeFile(drive / folder / (folder + "-f" + std::to_string(i)), "old");
        writeFile(drive / folder / "sub" / (folder + "-inner"), "x");
    }
    ASSERT_TRUE(run(mirror()).errors.empty());

    std::string changed;
    auto changeTheDrive = [&](const BackupProgress& p) {
        if (!changed.empty() || p.filesDone == 0)
            return;
        // The first report comes after the first file; the other folder is still ahead.
        changed = p.currentFile.starts_with("a-") ? "b" : "a";
        const fs::path folder = drive / changed;
        writeFile(folder / "new", "replaced, longer");
        fs::rename(folder / "new", folder / (changed + "-f3"));
        writeFile(folder / "added", "new");
        fs::remove(folder / (changed + "-f7"));
        fs::remove_all(folder / "sub");
        writeFile(folder / "sub", "now a file");
    };
    const BackupResult result = run(mirror(), {}, changeTheDrive);
    ASSERT_FALSE(changed.empty());
    EXPECT_TRUE(result.errors.empty()) << result.errors.front().reason;
    EXPECT_EQ(readFile(copy / changed / (changed + "-f3")), "replaced, longer");
    EXPECT_EQ(readFile(copy / changed / "added"), "new");
    EXPECT_EQ(readFile(copy / changed / "sub"), "now a file");
    EXPECT_FALSE(fs::exists(copy / changed / (changed + "-f7")));
    EXPECT_EQ(listTree(drive), listTree(copy));
}

// Whether the folder `fd` holds the file `marker`.
bool isMarked(int fd, const char* marker) {
    return ::faccessat(fd, marker, F_OK, AT_SYMLINK_NOFOLLOW) == 0;
}

// The unreadable folder's copy loses nothing; the readable ones are mirrored as usual.
TEST_F(Walk, AFolderWhoseListingFailsIsReportedAndNotPruned) {
    writeFile(drive / "top.txt", "t");
    writeFile(drive / "Docs/a.txt", "a");
    writeFile(drive / "Docs/.DS_Store", ""); // marks the folder; never copied
    ASSERT_TRUE(run(mirror()).errors.empty());
    writeFile(copy / "gone.txt", "deleted on the drive");
    writeFile(copy / "Docs/gone.txt", "deleted on the drive, but unreadable there");

    for (const int error : {EIO, ENOTCONN}) {
        SCOPED_TRACE(error);
        static int injected;
        injected = error;
        SysCalls calls = realSysCalls();
        calls.getdents = [](int fd, void* buffer, size_t size) -> ssize_t {
            if (isMarked(fd, ".DS_Store")) {
                errno = injected;
                return -1;
            }
            return realSysCalls().getdents(fd, buffer, size);
        };
        BackupResult result;
        {
            ScopedSysCalls seam{calls};
            result = run(mirror());
        }
        ASSERT_EQ(result.errors.size(), 1u);
        EXPECT_EQ(result.errors[0].path, "Docs");
        EXPECT_TRUE(fs::exists(copy / "Docs/gone.txt"));
        EXPECT_TRUE(fs::exists(copy / "Docs/a.txt"));
        EXPECT_FALSE(fs::exists(copy / "gone.txt"));
        writeFile(copy / "gone.txt", "again");
    }
    // Readable again: the next run mirrors that folder too.
    const BackupResult healed = run(mirror());
    EXPECT_TRUE(healed.errors.empty());
    EXPECT_FALSE(fs::exists(copy / "Docs/gone.txt"));
    EXPECT_EQ(healed.filesDeleted, 2);
}

// The copy's own listing failing is passed over: nothing deleted, no issue.
TEST_F(Walk, ACopyFolderThatCannotBeListedIsLeftAsItIs) {
    writeFile(drive / "a.txt", "a");
    ASSERT_TRUE(run(mirror()).errors.empty());
    writeFile(copy / "gone.txt", "g");
    writeFile(copy / ".marker", "");
    SysCalls calls = realSysCalls();
    calls.getdents = [](int fd, void* buffer, size_t size) -> ssize_t {
        if (isMarked(fd, ".marker")) {
            errno = EIO;
            return -1;
        }
        return realSysCalls().getdents(fd, buffer, size);
    };
    ScopedSysCalls seam{calls};
    const BackupResult result = run(mirror());
    EXPECT_TRUE(result.errors.empty());
    EXPECT_EQ(result.filesSkipped, 1);
    EXPECT_TRUE(fs::exists(copy / "gone.txt"));
}

} // namespace
} // namespace keelbox::test
