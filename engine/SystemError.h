#pragma once
// An error as the engine reports it, and how it becomes a BackupIssue a user can act on.

#include "core/PosixFile.h"
#include "core/Records.h"

#include <string>
#include <string_view>

namespace keelbox {

// Domain of errors whose code is an errno value.
inline constexpr std::string_view posixErrorDomain = "POSIX";

struct SystemError {
    std::string domain;
    long code = 0;
    std::string description;

    // An errno error of a file operation, described the way every layer says it:
    // "Could not open “/media/a.txt”: Permission denied".
    static SystemError posix(const FileError& error);
};

// A friendly reason and hint where one applies; otherwise the system's own words, with
// "domain #code" (and the errno's words) as the system message.
BackupIssue makeIssue(const SystemError& error, std::string shownPath, AppLanguage language);

} // namespace keelbox
