#pragma once
// The `keelbox` command line: argument dispatch for the jobs that need no display.

#include "core/ExitStatus.h"
#include "core/Records.h"
#include "engine/BackupEngine.h"

#include <chrono>
#include <cstddef>
#include <filesystem>
#include <functional>
#include <iosfwd>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox::cli {

enum class Command {
    selfTest,
    application,
    watch,
    checkUpdate,
    backup,
    config,
    demo,
    help,
    version,
    usage
};

// What the arguments (without the program name) ask for. An argument that is exactly "--selftest"
// selects the self-test wherever it stands. With the desktop application built in, no arguments
// start it; unknown options and words are a usage error.
Command chooseCommand(const std::vector<std::string>& args, bool withApplication);
// The arguments with the command word first: "--language pl backup X" becomes
// "backup --language pl X", which every command reads.
std::vector<std::string> commandFirst(const std::vector<std::string>& args);

using EnvironmentLookup = std::function<const char*(const char*)>;

// The language of the command line when no --language is given: the first of LANGUAGE, LC_ALL,
// LC_MESSAGES and LANG that is set and not empty decides; "pl…" is Polish, anything else English.
AppLanguage languageFromEnvironment(const EnvironmentLookup& getenv);

// The streams, terminal facts and environment a command talks to, so that tests can run commands in
// process.
struct Terminal {
    std::ostream& out;
    std::ostream& err;
    // Standard output is a terminal: progress is one line rewritten in place.
    bool interactive = false;
    // Width of the terminal in columns; progress lines never exceed it.
    std::size_t columns = 80;
    EnvironmentLookup getenv;
};

// The running process's: std::cout, std::cerr, isatty and the terminal's width.
Terminal processTerminal();

int runBackupCommand(const std::vector<std::string>& args, Terminal& terminal);
int runConfigCommand(const std::vector<std::string>& args, Terminal& terminal);
int runDemoCommand(const std::vector<std::string>& args, Terminal& terminal);
int runHelpCommand(const std::vector<std::string>& args, Terminal& terminal);
int runVersionCommand(Terminal& terminal);
// The short usage text on standard error, with the offending argument when there is one.
int runUsageError(const std::vector<std::string>& args, Terminal& terminal);

std::string_view versionString();

// One line of a running backup: "42% • 120/300 files • 1.2 MB / 3.4 MB • 5.0 MB/s • 0:07 left •
// a.txt". Throughput and time left appear once something has been copied.
std::string progressLine(const BackupProgress& progress, double elapsedSeconds,
                         AppLanguage language);
// `text` cut to at most `columns` characters (UTF-8 code points), ending in "…" when cut.
std::string fitToColumns(std::string_view text, std::size_t columns);
// Names from a drive are untrusted: control characters (escape sequences that would steer the
// terminal, line breaks that would forge lines) are shown as "\x1B".
std::string printable(std::string_view text);
// "0.4 s", "12.5 s", "2:05", "1:02:05" ("0,4 s" in Polish).
std::string formatDuration(double seconds, AppLanguage language);

// Options common to the commands that take them. Returns the language chosen by "--language"
// (removing the option from `args`), or an error text for a bad value.
struct LanguageChoice {
    AppLanguage language = AppLanguage::english;
    std::optional<std::string> error;
};
LanguageChoice takeLanguageOption(std::vector<std::string>& args, const EnvironmentLookup& getenv);

} // namespace keelbox::cli
