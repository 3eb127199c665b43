#pragma once
// The exit statuses of every Keelbox process: the commands, `watch`, the tray application and the
// self-test. Scripts rely on them, so the values never change.

namespace keelbox {

inline constexpr int exitOk = 0;
// The job ran and something failed: issues in a backup, a failed check.
inline constexpr int exitIssues = 1;
// The command line was not understood.
inline constexpr int exitUsage = 2;
// `keelbox check-update` found a newer version.
inline constexpr int exitUpdateAvailable = 10;
// 128 + SIGINT, what a shell reports for a job stopped with Ctrl-C.
inline constexpr int exitInterrupted = 130;

} // namespace keelbox
