#pragma once
// An error as the engine reports it, and how it becomes a BackupIssue a user can act on.

#include "core/Records.h"

#include <filesystem>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

namespace keelbox {

// Domain of errors whose code is an errno value.
inline constexpr std::string_view posixErrorDomain = "POSIX";
// Domain of Keelbox's own file-operation errors, which wrap the errno error that caused them.
// Their codes are those of FileErrorCode.
inline constexpr std::string_view fileErrorDomain = "KeelboxFile";

enum class FileErrorCode : long {
    noSuchFile = 4,
    readNoPermission = 257,
    readNoSuchFile = 260,
    writeNoPermission = 513,
    writeOutOfSpace = 640,
    writeVolumeReadOnly = 642,
};

struct SystemError {
    std::string domain;
    long code = 0;
    std::string description;
    std::optional<std::string> failureReason;
    std::shared_ptr<const SystemError> underlying;

    // An errno error of a file operation: the description names what was attempted and on which
    // file, followed by strerror's words, e.g. "Could not open “/media/a.txt”: Permission denied".
    // Without a file: "Could not open: Permission denied".
    static SystemError posix(int errnum, std::string_view operation,
                             const std::filesystem::path& file);
};

struct ReasonKeys {
    std::optional<std::string> reason;
    std::optional<std::string> hint;
};

// The classification table: errno values by symbolic name first, then the file-error codes.
ReasonKeys reasonKeys(std::optional<long> frameworkCode, std::optional<long> posixCode);
// "domain #code", plus " • POSIX n: strerror" when there is a POSIX code.
std::string technicalDetails(const SystemError& error, std::optional<long> posixCode);
// A friendly reason and hint where one applies; otherwise the system's own words.
BackupIssue makeIssue(const SystemError& error, std::string shownPath, AppLanguage language);

} // namespace keelbox
