#pragma once
// The plain-text form of log entries and drives: how a drive's state reads in the panel and on the
// console, and the lines the watch command prints.

#include "core/Records.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace keelbox::app {

// "12:04:31  STICK  Done: 3 files • 1.2 kB." followed by one indented block per issue (path and
// reason, the system's message, the hint), the first `maxIssues` of them, then a count of the rest.
// Every line is inert.
std::string formatLogEntry(const LogEntry& entry, AppLanguage language, std::size_t maxIssues = 20);
// A drive's state in words and the colour they are shown in: "Ready • sync", "Backing up… 42 %",
// "✓ Done: 3 files", "✗ Could not read …". Empty text when there is nothing to say.
struct DriveStatusLine {
    enum class Tone { neutral, success, failure };
    std::string text;
    Tone tone = Tone::neutral;
};
DriveStatusLine driveStatusLine(const VolumeInfo& volume, AppLanguage language);
// "STICK (/media/user/STICK) — Ready • sync • 31.9 GB • 12.4 GB free".
std::string formatVolumeLine(const VolumeInfo& volume, AppLanguage language);
// The key of the short name of a backup mode ("sync", "dated backup").
std::string_view modeShortKey(BackupMode mode);

} // namespace keelbox::app
