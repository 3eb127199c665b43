#pragma once
// The plain-text form of log entries and drives, as the watch command prints them.

#include "core/Records.h"

#include <cstddef>
#include <string>
#include <string_view>

namespace keelbox::app {

// "12:04:31  STICK  Done: 3 files • 1.2 kB." followed by one indented block per issue (path and
// reason, the system's message, the hint), the first `maxIssues` of them, then a count of the rest.
// Every line is inert.
std::string formatLogEntry(const LogEntry& entry, AppLanguage language, std::size_t maxIssues = 20);
// "STICK (/media/user/STICK) — Ready • sync • 31.9 GB • 12.4 GB free".
std::string formatVolumeLine(const VolumeInfo& volume, AppLanguage language);
// The key of the short name of a backup mode ("sync", "dated backup").
std::string_view modeShortKey(BackupMode mode);

} // namespace keelbox::app
