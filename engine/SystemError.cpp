#include "engine/SystemError.h"

#include "core/ErrnoText.h"

#include <cerrno>

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

std::optional<Classification> classifyFileError(long code) {
    switch (static_cast<FileErrorCode>(code)) {
    case FileErrorCode::noSuchFile:
    case FileErrorCode::readNoSuchFile:
        return Classification{"engine.gone", nullptr};
    case FileErrorCode::readNoPermission:
    case FileErrorCode::writeNoPermission:
        return Classification{"engine.noPerm", "engine.noPermHint"};
    case FileErrorCode::writeOutOfSpace:
        return Classification{"engine.noSpace", "engine.noSpaceHint"};
    case FileErrorCode::writeVolumeReadOnly:
        return Classification{"engine.readOnly", "engine.readOnlyHint"};
    }
    return std::nullopt;
}

std::string posixText(long code) {
    return errnoText(static_cast<int>(code));
}

} // namespace

SystemError SystemError::posix(int errnum, std::string_view operation,
                               const std::filesystem::path& file) {
    std::string description = "Could not " + std::string(operation);
    if (!file.empty())
        description += " “" + file.string() + "”";
    description += ": " + posixText(errnum);
    return SystemError{std::string(posixErrorDomain), errnum, std::move(description), std::nullopt,
                       nullptr};
}

ReasonKeys reasonKeys(std::optional<long> frameworkCode, std::optional<long> posixCode) {
    std::optional<Classification> found;
    if (posixCode)
        found = classifyPosix(*posixCode);
    if (!found && frameworkCode)
        found = classifyFileError(*frameworkCode);
    if (!found)
        return {};
    ReasonKeys keys;
    keys.reason = found->reason;
    if (found->hint)
        keys.hint = found->hint;
    return keys;
}

std::string technicalDetails(const SystemError& error, std::optional<long> posixCode) {
    std::string text = error.domain + " #" + std::to_string(error.code);
    if (posixCode)
        text += " • POSIX " + std::to_string(*posixCode) + ": " + posixText(*posixCode);
    return text;
}

BackupIssue makeIssue(const SystemError& error, std::string shownPath, AppLanguage language) {
    // The deepest POSIX error of the chain is the most precise cause.
    std::optional<long> posixCode;
    for (const SystemError* e = &error; e; e = e->underlying.get()) {
        if (e->domain == posixErrorDomain)
            posixCode = e->code;
    }

    std::string systemMessage = error.description;
    if (error.failureReason && !error.failureReason->empty() &&
        systemMessage.find(*error.failureReason) == std::string::npos)
        systemMessage += " " + *error.failureReason;

    const std::optional<long> frameworkCode =
        error.domain == fileErrorDomain ? std::optional<long>(error.code) : std::nullopt;
    const ReasonKeys keys = reasonKeys(frameworkCode, posixCode);

    BackupIssue issue;
    issue.path = std::move(shownPath);
    if (keys.reason) {
        issue.reason = localizedText(*keys.reason, language);
        issue.systemMessage = std::move(systemMessage);
        if (keys.hint)
            issue.suggestion = localizedText(*keys.hint, language);
        return issue;
    }
    if (!systemMessage.empty())
        issue.reason = std::move(systemMessage);
    else if (posixCode)
        issue.reason = posixText(*posixCode);
    else
        issue.reason = localizedText("engine.generic", language);
    issue.systemMessage = technicalDetails(error, posixCode);
    return issue;
}

} // namespace keelbox
