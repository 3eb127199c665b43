#include "engine/SystemError.h"

#include "core/ErrnoText.h"

#include <cerrno>
#include <optional>

namespace keelbox {

namespace {

struct Classification {
    const char* reason;
    const char* hint; // nullptr: no hint
};

// Errno values are matched by name: their numbers differ between systems.
std::optional<Classification> classifyPosix(long code) {
    switch (code) {
    case EPERM:
    case EACCES:
        return Classification{"engine.noPerm", "engine.noPermHint"};
    case ENOENT:
    case ESTALE: // the file was removed or replaced behind an open handle
        return Classification{"engine.gone", "engine.goneHint"};
    case EIO:
    case ENXIO:     // the device went away under the file
    case ENODEV:    // likewise
    case ETIMEDOUT: // a drive or bridge that stopped answering
        return Classification{"engine.io", "engine.ioHint"};
    case EBUSY:
    case ETXTBSY:
        return Classification{"engine.busy", "engine.busyHint"};
    case ENOSPC:
    case EDQUOT: // the user's quota is the space left to them
        return Classification{"engine.noSpace", "engine.noSpaceHint"};
    case EROFS:
        return Classification{"engine.readOnly", "engine.readOnlyHint"};
    case ENAMETOOLONG:
        return Classification{"engine.nameLong", nullptr};
    default:
        return std::nullopt;
    }
}

std::string posixText(long code) {
    return errnoText(static_cast<int>(code));
}

std::string technicalDetails(const SystemError& error, std::optional<long> posixCode) {
    std::string text = error.domain + " #" + std::to_string(error.code);
    if (posixCode)
        text += " • POSIX " + std::to_string(*posixCode) + ": " + posixText(*posixCode);
    return text;
}

} // namespace

SystemError SystemError::posix(const FileError& error) {
    return SystemError{std::string(posixErrorDomain), error.errnum, error.message()};
}

BackupIssue makeIssue(const SystemError& error, std::string shownPath, AppLanguage language) {
    const std::optional<long> posixCode =
        error.domain == posixErrorDomain ? std::optional<long>(error.code) : std::nullopt;
    const std::optional<Classification> found =
        posixCode ? classifyPosix(*posixCode) : std::nullopt;

    BackupIssue issue;
    issue.path = std::move(shownPath);
    if (found) {
        issue.reason = localizedText(found->reason, language);
        issue.systemMessage = error.description;
        if (found->hint)
            issue.suggestion = localizedText(found->hint, language);
        return issue;
    }
    if (!error.description.empty())
        issue.reason = error.description;
    else if (posixCode)
        issue.reason = posixText(*posixCode);
    else
        issue.reason = localizedText("engine.generic", language);
    issue.systemMessage = technicalDetails(error, posixCode);
    return issue;
}

} // namespace keelbox
