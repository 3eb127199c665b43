// The run's operations one at a time, as the self-test and other callers use them: the pre-count,
// a tree, a single file and the pruning of a copy, each against the same drive.

#include "EngineTestSupport.h"

#include "selftest/Capabilities.h"

namespace keelbox::test {
namespace {

using SingleOperations = EngineTest;

TEST_F(SingleOperations, EachDoesItsPartOfARun) {
    writeFile(drive / "Docs/a.txt", "alpha");
    writeFile(drive / "Docs/Deep/b.txt", "bravo!");
    writeFile(drive / "Docs/.DS_Store", "never counted");
    fs::create_directory_symlink(drive / "Docs", drive / "Docs/loop");
    writeFile(drive / "single.txt", "one file");

    const Totals totals =
        scanTotals(makeConfig(dest, "STICK", {"Docs", "single.txt", "gone"}), drive);
    EXPECT_EQ(totals.files, 3);
    EXPECT_EQ(totals.bytes, 5 + 6 + 8);

    Tally tally{AppLanguage::english};
    copyTree(drive / "Docs", copy / "Docs", "Docs", tally);
    copyFile(drive / "single.txt", copy / "single.txt", "single.txt", tally);
    EXPECT_TRUE(tally.errors.empty());
    EXPECT_EQ(tally.filesCopied, 3);
    EXPECT_EQ(tally.processedBytes, totals.bytes);
    EXPECT_EQ(listTree(copy), (std::vector<std::string>{"Docs/", "Docs/Deep/", "Docs/Deep/b.txt",
                                                        "Docs/a.txt", "single.txt"}));

    // Again: nothing to copy. Then the drive loses a file and a folder, and the copy follows.
    copyTree(drive / "Docs", copy / "Docs", "Docs", tally);
    EXPECT_EQ(tally.filesSkipped, 2);
    fs::remove(drive / "Docs/a.txt");
    fs::remove_all(drive / "Docs/Deep");
    writeFile(copy / "Docs/.DS_Store", "never pruned");
    pruneRemoved(drive / "Docs", copy / "Docs", tally);
    EXPECT_EQ(tally.filesDeleted, 2);
    EXPECT_EQ(listTree(copy / "Docs"), std::vector<std::string>{".DS_Store"});

    // A file that cannot be read is an issue with the path it was given.
    writeFile(drive / "locked.txt", "secret", 0);
    FilePermissionsEnforced heldToPermissions;
    KEELBOX_REQUIRE_CAPABILITY(!canOverrideFilePermissions(),
                               "cannot drop CAP_DAC_OVERRIDE for the test thread");
    copyFile(drive / "locked.txt", copy / "locked.txt", "locked.txt", tally);
    ASSERT_EQ(tally.errors.size(), 1u);
    EXPECT_EQ(tally.errors[0].path, "locked.txt");
    EXPECT_EQ(tally.errors[0].reason, english("engine.noPerm"));
    EXPECT_FALSE(fs::exists(copy / "locked.txt"));
}

} // namespace
} // namespace keelbox::test
