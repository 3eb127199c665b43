#pragma once
// One backup as the command line shows it: progress on the terminal, Ctrl-C as a polite stop, and
// the report at the end. Shared by `keelbox backup` and `keelbox demo`.

#include "cli/CommandLine.h"

#include <filesystem>

namespace keelbox::cli {

struct RunOutcome {
    BackupResult result;
    // Ctrl-C (or SIGTERM) arrived: the run ended after the file in hand.
    bool interrupted = false;
};

RunOutcome runDriveBackup(const DriveConfig& config, const std::filesystem::path& driveRoot,
                          AppLanguage language, Terminal& terminal, bool showProgress);

// The summary, where the copy is, and every issue with its reason, system message and hint.
void printOutcome(const RunOutcome& outcome, AppLanguage language, Terminal& terminal);

// Output piped into a reader that quits early (`| head`) must not end a backup halfway: the
// lost lines are only progress and report. Called by the commands that back up.
void keepRunningWithoutReader();

// 0 without issues, 1 with issues, 130 when stopped.
int exitStatus(const RunOutcome& outcome);

} // namespace keelbox::cli
