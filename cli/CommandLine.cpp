#include "cli/CommandLine.h"

#include "core/ShownText.h"
#include "localization/Format.h"
#include "localization/Language.h"

#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <iostream>
#include <sys/ioctl.h>
#include <unistd.h>

#ifndef KEELBOX_VERSION
#error "KEELBOX_VERSION comes from the project version in CMake"
#endif

namespace keelbox::cli {

namespace {

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.substr(0, prefix.size()) == prefix;
}

// Leading "--language X" pairs may come before the command word.
std::size_t commandIndex(const std::vector<std::string>& args) {
    std::size_t i = 0;
    while (i < args.size()) {
        if (args[i] == "--language" && i + 1 < args.size())
            i += 2;
        else if (startsWith(args[i], "--language="))
            i += 1;
        else
            break;
    }
    return i;
}

// "--show WINDOW" (or "--show=WINDOW") asks the tray application, running or not, for a window.
bool onlyWindowRequests(const std::vector<std::string>& args, std::size_t from) {
    for (std::size_t i = from; i < args.size(); ++i) {
        if (args[i] == "--show" && i + 1 < args.size())
            ++i;
        else if (!startsWith(args[i], "--show="))
            return false;
    }
    return true;
}

std::string text(std::string_view key, AppLanguage language) {
    return localizedText(key, language);
}

} // namespace

Command chooseCommand(const std::vector<std::string>& args, bool withApplication) {
    for (const std::string& arg : args) {
        if (arg == "--selftest")
            return Command::selfTest;
    }
    const std::size_t at = commandIndex(args);
    if (onlyWindowRequests(args, at))
        return withApplication ? Command::application : Command::usage;
    const std::string& word = args[at];
    if (word == "backup")
        return Command::backup;
    if (word == "config")
        return Command::config;
    if (word == "demo")
        return Command::demo;
    if (word == "watch")
        return Command::watch;
    if (word == "check-update")
        return Command::checkUpdate;
    if (word == "--help" || word == "-h" || word == "help")
        return Command::help;
    if (word == "--version")
        return Command::version;
    return Command::usage;
}

std::vector<std::string> commandFirst(const std::vector<std::string>& args) {
    const std::size_t at = commandIndex(args);
    if (at == 0 || at >= args.size())
        return args;
    std::vector<std::string> out{args[at]};
    out.insert(out.end(), args.begin(), args.begin() + static_cast<std::ptrdiff_t>(at));
    out.insert(out.end(), args.begin() + static_cast<std::ptrdiff_t>(at) + 1, args.end());
    return out;
}

AppLanguage languageFromEnvironment(const EnvironmentLookup& getenv) {
    for (const char* name : {"LANGUAGE", "LC_ALL", "LC_MESSAGES", "LANG"}) {
        const char* value = getenv ? getenv(name) : nullptr;
        if (value == nullptr || *value == '\0')
            continue;
        // LANGUAGE is a list ("pl:en"); its first entry is the preferred one.
        return startingLanguage(std::nullopt, {value});
    }
    return AppLanguage::english;
}

LanguageChoice takeLanguageOption(std::vector<std::string>& args, const EnvironmentLookup& getenv) {
    LanguageChoice choice;
    choice.language = languageFromEnvironment(getenv);
    for (std::size_t i = 0; i < args.size();) {
        std::optional<std::string> value;
        std::size_t width = 1;
        if (args[i] == "--language") {
            if (i + 1 >= args.size()) {
                choice.error = formatText(text("cli.err.missingValue", choice.language),
                                          {std::string("--language")});
                args.erase(args.begin() + static_cast<std::ptrdiff_t>(i));
                continue;
            }
            value = args[i + 1];
            width = 2;
        } else if (startsWith(args[i], "--language=")) {
            value = args[i].substr(std::string_view("--language=").size());
        } else {
            ++i;
            continue;
        }
        if (auto language = appLanguageFromRaw(*value))
            choice.language = *language;
        else
            choice.error = formatText(text("cli.err.badLanguage", choice.language), {*value});
        args.erase(args.begin() + static_cast<std::ptrdiff_t>(i),
                   args.begin() + static_cast<std::ptrdiff_t>(i + width));
    }
    return choice;
}

Terminal processTerminal() {
    static Terminal terminal{std::cout, std::cerr, false, 80, {}};
    terminal.interactive = ::isatty(STDOUT_FILENO) == 1;
    terminal.getenv = [](const char* name) -> const char* { return std::getenv(name); };
    terminal.columns = 80;
    winsize size{};
    if (::ioctl(STDOUT_FILENO, TIOCGWINSZ, &size) == 0 && size.ws_col > 0) {
        terminal.columns = size.ws_col;
    } else if (const char* columns = std::getenv("COLUMNS")) {
        const long value = std::strtol(columns, nullptr, 10);
        if (value > 0)
            terminal.columns = static_cast<std::size_t>(value);
    }
    return terminal;
}

std::string_view versionString() {
    return KEELBOX_VERSION;
}

int runHelpCommand(const std::vector<std::string>& args, Terminal& terminal) {
    std::vector<std::string> rest = args;
    const LanguageChoice choice = takeLanguageOption(rest, terminal.getenv);
    if (choice.error) {
        // A bad --language is a bad argument here as everywhere else.
        terminal.err << "keelbox: " << *choice.error << '\n'
                     << text("cli.usage", choice.language) << '\n';
        return exitUsage;
    }
    terminal.out << text("cli.help", choice.language) << '\n';
    return exitOk;
}

int runVersionCommand(Terminal& terminal) {
    terminal.out << "keelbox " << versionString() << '\n';
    return exitOk;
}

int runUsageError(const std::vector<std::string>& args, Terminal& terminal) {
    std::vector<std::string> rest = args;
    const LanguageChoice choice = takeLanguageOption(rest, terminal.getenv);
    if (!rest.empty()) {
        terminal.err << "keelbox: "
                     << formatText(text("cli.err.unknownArgument", choice.language), {rest.front()})
                     << '\n';
    }
    terminal.err << text("cli.usage", choice.language) << '\n';
    return exitUsage;
}

std::string fitToColumns(std::string_view text, std::size_t columns) {
    std::size_t points = 0;
    for (char c : text) {
        if ((static_cast<unsigned char>(c) & 0xC0) != 0x80)
            ++points;
    }
    if (points <= columns)
        return std::string(text);
    if (columns == 0)
        return {};
    // Keep columns − 1 code points and end with the ellipsis.
    std::size_t kept = 0;
    std::size_t end = 0;
    for (; end < text.size(); ++end) {
        if ((static_cast<unsigned char>(text[end]) & 0xC0) != 0x80) {
            if (kept == columns - 1)
                break;
            ++kept;
        }
    }
    return std::string(text.substr(0, end)) + "…";
}

std::string printable(std::string_view text) {
    return inertText(text);
}

std::string formatDuration(double seconds, AppLanguage language) {
    if (!std::isfinite(seconds) || seconds < 0)
        seconds = 0;
    char buffer[32];
    if (seconds < 59.95) {
        std::snprintf(buffer, sizeof buffer, "%.1f s", seconds);
        std::string result = buffer;
        if (language == AppLanguage::polish) {
            for (char& c : result) {
                if (c == '.')
                    c = ',';
            }
        }
        return result;
    }
    const auto whole = static_cast<long long>(std::llround(seconds));
    const long long hours = whole / 3600;
    const long long minutes = (whole / 60) % 60;
    const long long rest = whole % 60;
    if (hours > 0)
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld:%02lld", hours, minutes, rest);
    else
        std::snprintf(buffer, sizeof buffer, "%lld:%02lld", minutes, rest);
    return buffer;
}

std::string progressLine(const BackupProgress& progress, double elapsedSeconds,
                         AppLanguage language) {
    const std::string sizes = formatFileSize(progress.bytesDone, language) + " / " +
                              formatFileSize(progress.bytesTotal, language);
    std::string line = progress.percentText() + " • " +
                       formatText(text("progress.files", language),
                                  {progress.filesDone, progress.filesTotal, sizes});
    if (elapsedSeconds > 0.2 && progress.bytesDone > 0) {
        const double rate = static_cast<double>(progress.bytesDone) / elapsedSeconds;
        line += " • " + formatFileSize(static_cast<Int64>(rate), language) + "/s";
        const Int64 remaining = progress.bytesTotal - progress.bytesDone;
        if (remaining > 0 && rate > 0) {
            line += " • " +
                    formatText(text("cli.progress.left", language),
                               {formatDuration(static_cast<double>(remaining) / rate, language)});
        }
    }
    if (!progress.currentFile.empty())
        line += " • " + printable(progress.currentFile);
    return line;
}

} // namespace keelbox::cli
