#include "cli/BackupRun.h"

#include "core/StopSignals.h"
#include "localization/Format.h"
#include "localization/Language.h"

#include <algorithm>
#include <atomic>
#include <chrono>
#include <csignal>
#include <cstring>
#include <optional>
#include <ostream>
#include <unistd.h>
#include <vector>

namespace keelbox::cli {

namespace {

using Clock = std::chrono::steady_clock;

std::atomic<bool> stopRequested{false};
static_assert(std::atomic<bool>::is_always_lock_free, "the signal handler relies on it");

// Filled before the handler is installed; the handler only reads it.
char stopNotice[256];
std::size_t stopNoticeLength = 0;

extern "C" void onStopSignal(int) {
    stopRequested.store(true);
    if (stopNoticeLength > 0) {
        [[maybe_unused]] const ssize_t ignored =
            ::write(STDERR_FILENO, stopNotice, stopNoticeLength);
    }
}

// Ctrl-C, SIGTERM and SIGHUP (the terminal closed) ask the engine to stop after the current file.
// The handler is one-shot: a second Ctrl-C ends the process at once, as a user pressing it twice
// expects; a copy in hand then stays under its partial name, which the next run sweeps.
class StopOnSignal {
public:
    explicit StopOnSignal(AppLanguage language) {
        stopRequested.store(false);
        std::string notice = "\n";
        notice.append(localizedText("cli.stopping", language));
        notice.push_back('\n');
        stopNoticeLength = std::min(notice.size(), sizeof stopNotice);
        std::memcpy(stopNotice, notice.data(), stopNoticeLength);
        m_signals.emplace(onStopSignal, SA_RESETHAND);
    }

private:
    std::optional<StopSignals> m_signals;
};

// On a terminal one line rewritten in place, at most ten times a second; otherwise a plain line
// at every tenth of the work and at least every five seconds, for logs and pipes.
class ProgressPrinter {
public:
    ProgressPrinter(Terminal& terminal, AppLanguage language)
        : m_terminal(terminal), m_language(language), m_start(Clock::now()) {}

    void scanning() {
        if (m_terminal.interactive)
            draw(localizedText("progress.scanning", m_language));
    }

    void report(const BackupProgress& progress) {
        const auto at = Clock::now();
        const double elapsed = std::chrono::duration<double>(at - m_start).count();
        const bool final = progress.currentFile.empty();
        if (m_terminal.interactive) {
            if (final || at - m_lastDraw >= std::chrono::milliseconds(100)) {
                m_lastDraw = at;
                draw(progressLine(progress, elapsed, m_language));
            }
            return;
        }
        const int tenth = static_cast<int>(progress.fraction() * 10.0);
        if (final || (tenth <= m_lastTenth && at - m_lastDraw < std::chrono::seconds(5)))
            return;
        m_lastTenth = tenth;
        m_lastDraw = at;
        m_terminal.out << progressLine(progress, elapsed, m_language) << '\n';
        m_terminal.out.flush();
    }

    // A line of its own, above the progress line, which is drawn again with the next report.
    void warn(const std::string& line) {
        finish();
        m_terminal.out << printable(line) << '\n';
        m_terminal.out.flush();
    }

    void finish() {
        if (m_lineOpen) {
            m_terminal.out << "\r\x1b[K";
            m_terminal.out.flush();
            m_lineOpen = false;
        }
    }

private:
    void draw(const std::string& line) {
        // One column spare: a line that fills the terminal exactly would wrap on some terminals.
        const std::size_t width = m_terminal.columns > 1 ? m_terminal.columns - 1 : 1;
        m_terminal.out << '\r' << fitToColumns(line, width) << "\x1b[K";
        m_terminal.out.flush();
        m_lineOpen = true;
    }

    Terminal& m_terminal;
    AppLanguage m_language;
    Clock::time_point m_start;
    Clock::time_point m_lastDraw{};
    int m_lastTenth = -1;
    bool m_lineOpen = false;
};

std::string text(std::string_view key, AppLanguage language) {
    return localizedText(key, language);
}

} // namespace

RunOutcome runDriveBackup(const DriveConfig& config, const std::filesystem::path& driveRoot,
                          AppLanguage language, Terminal& terminal, bool showProgress) {
    StopOnSignal stop(language);
    RunEnvironment environment;
    environment.stopRequested = &stopRequested;

    ProgressPrinter printer(terminal, language);
    environment.onSpaceShortage = [&printer, language](const SpaceShortage& shortage) {
        printer.warn(formatLocalized(shortage.warningKey(), language,
                                     {formatFileSize(shortage.needed, language),
                                      formatFileSize(shortage.available, language)}));
    };
    ProgressCallback onProgress;
    if (showProgress) {
        printer.scanning();
        onProgress = [&printer](const BackupProgress& progress) { printer.report(progress); };
    }
    RunOutcome outcome;
    outcome.result = BackupEngine::run(config, driveRoot, language, onProgress, environment);
    printer.finish();
    // A stop that came when every file was done leaves a complete copy: the engine then records
    // no stop.
    const std::string stopped = localizedText("engine.stopped", language);
    outcome.interrupted = stopRequested.load() &&
                          std::any_of(outcome.result.errors.begin(), outcome.result.errors.end(),
                                      [&](const BackupIssue& issue) {
                                          return issue.path.empty() && issue.reason == stopped;
                                      });
    return outcome;
}

void printOutcome(const RunOutcome& outcome, AppLanguage language, Terminal& terminal) {
    const BackupResult& result = outcome.result;
    std::ostream& out = terminal.out;
    out << formatText(text("cli.done", language),
                      {formatDuration(result.duration, language), result.summary(language)})
        << '\n';
    if (result.destinationRoot)
        out << printable(
                   formatText(text("cli.copyAt", language), {result.destinationRoot->string()}))
            << '\n';
    // The engine records a stop as an issue of its own; the line below already says it, with
    // what to do about it.
    std::vector<const BackupIssue*> issues;
    const std::string stopped = text("engine.stopped", language);
    for (const BackupIssue& issue : result.errors) {
        if (!(outcome.interrupted && issue.path.empty() && issue.reason == stopped))
            issues.push_back(&issue);
    }
    if (outcome.interrupted)
        out << text("cli.interrupted", language) << '\n';
    if (!issues.empty()) {
        out << formatText(text("cli.issues", language), {static_cast<Int64>(issues.size())})
            << '\n';
        for (const BackupIssue* entry : issues) {
            const BackupIssue& issue = *entry;
            out << "  • " << printable(issue.summaryLine()) << '\n';
            if (!issue.systemMessage.empty()) {
                out << "      "
                    << formatText(text("cli.issue.system", language),
                                  {printable(issue.systemMessage)})
                    << '\n';
            }
            if (issue.suggestion) {
                out << "      "
                    << printable(formatText(text("cli.issue.hint", language), {*issue.suggestion}))
                    << '\n';
            }
        }
    }
    out.flush();
}

void keepRunningWithoutReader() {
    struct sigaction ignore {};
    ignore.sa_handler = SIG_IGN;
    sigemptyset(&ignore.sa_mask);
    ::sigaction(SIGPIPE, &ignore, nullptr);
}

int exitStatus(const RunOutcome& outcome) {
    if (outcome.interrupted)
        return exitInterrupted;
    return outcome.result.errors.empty() ? exitOk : exitIssues;
}

} // namespace keelbox::cli
