#include "engine/SystemError.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

namespace keelbox {
namespace {

constexpr auto en = AppLanguage::english;
constexpr auto pl = AppLanguage::polish;

SystemError posixError(int code, std::string description = "") {
    return SystemError{std::string(posixErrorDomain), code, std::move(description), std::nullopt,
                       nullptr};
}

SystemError fileError(FileErrorCode code, std::string description,
                      std::optional<SystemError> underlying = std::nullopt) {
    return SystemError{std::string(fileErrorDomain), static_cast<long>(code),
                       std::move(description), std::nullopt,
                       underlying ? std::make_shared<const SystemError>(*underlying) : nullptr};
}

TEST(ReasonKeys, ErrnoValuesByName) {
    struct Row {
        int code;
        const char* reason;
        const char* hint;
    };
    const Row rows[] = {
        {EPERM, "engine.noPerm", "engine.noPermHint"},
        {EACCES, "engine.noPerm", "engine.noPermHint"},
        {ENOENT, "engine.gone", "engine.goneHint"},
        {ESTALE, "engine.gone", "engine.goneHint"},
        {EIO, "engine.io", "engine.ioHint"},
        {ENXIO, "engine.io", "engine.ioHint"},
        {ENODEV, "engine.io", "engine.ioHint"},
        {ETIMEDOUT, "engine.io", "engine.ioHint"},
        {EBUSY, "engine.busy", "engine.busyHint"},
        {ETXTBSY, "engine.busy", "engine.busyHint"},
        {ENOSPC, "engine.noSpace", "engine.noSpaceHint"},
        {EDQUOT, "engine.noSpace", "engine.noSpaceHint"},
        {EROFS, "engine.readOnly", "engine.readOnlyHint"},
        {ENAMETOOLONG, "engine.nameLong", nullptr},
        {EEXIST, nullptr, nullptr},
        {ENOTDIR, nullptr, nullptr},
        {EISDIR, nullptr, nullptr},
        {ELOOP, nullptr, nullptr},
        {EMFILE, nullptr, nullptr},
        {ENFILE, nullptr, nullptr},
        {EXDEV, nullptr, nullptr},
        {EFBIG, nullptr, nullptr},
        {EINVAL, nullptr, nullptr},
        {0, nullptr, nullptr},
        {-1, nullptr, nullptr},
        {100000, nullptr, nullptr},
    };
    for (const auto& row : rows) {
        const ReasonKeys keys = reasonKeys(std::nullopt, row.code);
        SCOPED_TRACE(std::to_string(row.code) + " " + std::strerror(row.code));
        EXPECT_EQ(keys.reason, row.reason ? std::optional<std::string>(row.reason) : std::nullopt);
        EXPECT_EQ(keys.hint, row.hint ? std::optional<std::string>(row.hint) : std::nullopt);
        // Every key named here exists in both languages.
        if (row.reason) {
            EXPECT_TRUE(Localizer::hasKey(row.reason));
        }
        if (row.hint) {
            EXPECT_TRUE(Localizer::hasKey(row.hint));
        }
    }
}

TEST(ReasonKeys, FileErrorCodesOnlyWhenErrnoDoesNotDecide) {
    struct Row {
        std::optional<long> fileCode;
        std::optional<long> posixCode;
        std::optional<std::string> reason;
        std::optional<std::string> hint;
    };
    const Row rows[] = {
        {4, std::nullopt, "engine.gone", std::nullopt},
        {260, std::nullopt, "engine.gone", std::nullopt},
        {260, ENOENT, "engine.gone", "engine.goneHint"},
        {257, std::nullopt, "engine.noPerm", "engine.noPermHint"},
        {513, std::nullopt, "engine.noPerm", "engine.noPermHint"},
        {640, std::nullopt, "engine.noSpace", "engine.noSpaceHint"},
        {642, std::nullopt, "engine.readOnly", "engine.readOnlyHint"},
        {642, EROFS, "engine.readOnly", "engine.readOnlyHint"},
        {513, EIO, "engine.io", "engine.ioHint"},           // errno first
        {513, EXDEV, "engine.noPerm", "engine.noPermHint"}, // errno without a reason
        {516, std::nullopt, std::nullopt, std::nullopt},
        {std::nullopt, std::nullopt, std::nullopt, std::nullopt},
    };
    for (const auto& row : rows) {
        const ReasonKeys keys = reasonKeys(row.fileCode, row.posixCode);
        EXPECT_EQ(keys.reason, row.reason)
            << row.fileCode.value_or(-1) << "/" << row.posixCode.value_or(-1);
        EXPECT_EQ(keys.hint, row.hint)
            << row.fileCode.value_or(-1) << "/" << row.posixCode.value_or(-1);
    }
}

TEST(SystemError, PosixDescribesTheOperationAndTheFile) {
    const SystemError error = SystemError::posix(EACCES, "open", "/media/STICK/a.txt");
    EXPECT_EQ(error.domain, "POSIX");
    EXPECT_EQ(error.code, EACCES);
    EXPECT_EQ(error.description, "Could not open “/media/STICK/a.txt”: Permission denied");
    EXPECT_EQ(error.failureReason, std::nullopt);
    EXPECT_EQ(error.underlying, nullptr);
    EXPECT_EQ(SystemError::posix(ENOSPC, "create a folder", {}).description,
              "Could not create a folder: No space left on device");
}

TEST(SystemError, RealFailureOfTheSystemIsClassified) {
    const char* missing = "/nonexistent-keelbox-test/a.txt";
    ASSERT_LT(::open(missing, O_RDONLY), 0);
    const SystemError error = SystemError::posix(errno, "open", missing);
    const BackupIssue issue = makeIssue(error, "a.txt", en);
    EXPECT_EQ(issue.reason, "The file disappeared during copying.");
    EXPECT_EQ(issue.suggestion,
              "Usually harmless — the file was deleted or moved during the backup.");
    EXPECT_EQ(issue.systemMessage,
              "Could not open “/nonexistent-keelbox-test/a.txt”: No such file or directory");
}

TEST(MakeIssue, PermissionWrappedInAFileError) {
    const SystemError error = fileError(FileErrorCode::writeNoPermission,
                                        "You don’t have permission to save the file “a.txt”.",
                                        posixError(EACCES, "Permission denied"));
    const BackupIssue issue = makeIssue(error, "Docs/a.txt", en);
    EXPECT_EQ(issue.path, "Docs/a.txt");
    EXPECT_EQ(issue.reason, "No permission for the file or the destination.");
    EXPECT_EQ(issue.suggestion, Localizer::text("engine.noPermHint", en));
    EXPECT_EQ(issue.systemMessage, "You don’t have permission to save the file “a.txt”.");
}

TEST(MakeIssue, ErrnoIsPreferredAndTheDeepestOneWins) {
    // 260 with an underlying ENOENT: the hint comes from errno.
    const auto withPosix = makeIssue(
        fileError(FileErrorCode::readNoSuchFile, "No such file.", posixError(ENOENT)), "a", en);
    EXPECT_EQ(withPosix.reason, Localizer::text("engine.gone", en));
    EXPECT_EQ(withPosix.suggestion, Localizer::text("engine.goneHint", en));
    const auto withoutPosix =
        makeIssue(fileError(FileErrorCode::readNoSuchFile, "No such file."), "a", en);
    EXPECT_EQ(withoutPosix.reason, Localizer::text("engine.gone", en));
    EXPECT_EQ(withoutPosix.suggestion, std::nullopt);

    // A POSIX error wrapping another POSIX error: the inner one is the cause.
    SystemError outer = posixError(EIO, "outer");
    outer.underlying = std::make_shared<const SystemError>(
        fileError(FileErrorCode::noSuchFile, "middle", posixError(ENOSPC, "inner")));
    const auto deepest = makeIssue(outer, "b", pl);
    EXPECT_EQ(deepest.reason, "Za mało miejsca na dysku docelowym.");
    EXPECT_EQ(deepest.suggestion, Localizer::text("engine.noSpaceHint", pl));
    EXPECT_EQ(deepest.systemMessage, "outer");
}

TEST(MakeIssue, ReadOnlyWithOrWithoutErrno) {
    for (const auto& error :
         {fileError(FileErrorCode::writeVolumeReadOnly, "The volume is read only."),
          fileError(FileErrorCode::writeVolumeReadOnly, "The volume is read only.",
                    posixError(EROFS))}) {
        const auto issue = makeIssue(error, "x", en);
        EXPECT_EQ(issue.reason, "The destination is read-only.");
        EXPECT_EQ(issue.suggestion, Localizer::text("engine.readOnlyHint", en));
    }
}

TEST(MakeIssue, WithoutAFriendlyReasonTheSystemSpeaks) {
    struct Row {
        const char* name;
        SystemError error;
        const char* reason;
        const char* systemMessage;
    };
    const Row rows[] = {
        {"unrelated domain",
         SystemError{"SomeDomain", 77, "Dziwny blad systemu XYZ", std::nullopt, nullptr},
         "Dziwny blad systemu XYZ", "SomeDomain #77"},
        {"errno without reason", SystemError::posix(EXDEV, "move", "/a"),
         "Could not move “/a”: Invalid cross-device link",
         "POSIX #18 • POSIX 18: Invalid cross-device link"},
        {"empty description, errno known", posixError(ELOOP), "Too many levels of symbolic links",
         "POSIX #40 • POSIX 40: Too many levels of symbolic links"},
        {"empty description, errno deeper",
         SystemError{"Other", 3, "", std::nullopt,
                     std::make_shared<const SystemError>(posixError(EMFILE))},
         "Too many open files", "Other #3 • POSIX 24: Too many open files"},
        {"nothing at all", SystemError{"Other", -2, "", std::nullopt, nullptr},
         "Failed to copy the file.", "Other #-2"},
        {"unknown file code", fileError(static_cast<FileErrorCode>(516), "It exists."),
         "It exists.", "KeelboxFile #516"},
    };
    for (const auto& row : rows) {
        const auto issue = makeIssue(row.error, "p", en);
        EXPECT_EQ(issue.reason, row.reason) << row.name;
        EXPECT_EQ(issue.systemMessage, row.systemMessage) << row.name;
        EXPECT_EQ(issue.suggestion, std::nullopt) << row.name;
        EXPECT_EQ(issue.path, "p") << row.name;
    }
    EXPECT_EQ(makeIssue(SystemError{"Other", -2, "", std::nullopt, nullptr}, "p", pl).reason,
              "Nie udało się skopiować pliku.");
}

TEST(MakeIssue, NameTooLongHasNoSuggestion) {
    const auto issue = makeIssue(SystemError::posix(ENAMETOOLONG, "create", "/x"), "x", en);
    EXPECT_EQ(issue.reason, "File name or path too long.");
    EXPECT_EQ(issue.suggestion, std::nullopt);
}

TEST(MakeIssue, FailureReasonIsAddedOnlyWhenNew) {
    SystemError error = fileError(FileErrorCode::writeOutOfSpace, "The file could not be saved.");
    error.failureReason = "The disk is full.";
    EXPECT_EQ(makeIssue(error, "x", en).systemMessage,
              "The file could not be saved. The disk is full.");
    error.description = "The file could not be saved because the disk is full.";
    error.failureReason = "the disk is full";
    EXPECT_EQ(makeIssue(error, "x", en).systemMessage,
              "The file could not be saved because the disk is full.");
    error.failureReason = "";
    EXPECT_EQ(makeIssue(error, "x", en).systemMessage,
              "The file could not be saved because the disk is full.");
}

TEST(TechnicalDetails, DomainCodeAndErrnoText) {
    const SystemError error{"SomeDomain", 516, "d", std::nullopt, nullptr};
    EXPECT_EQ(technicalDetails(error, std::nullopt), "SomeDomain #516");
    EXPECT_EQ(technicalDetails(error, ENOENT),
              "SomeDomain #516 • POSIX 2: No such file or directory");
    EXPECT_EQ(technicalDetails(error, 99999), "SomeDomain #516 • POSIX 99999: Unknown error 99999");
}

} // namespace
} // namespace keelbox
