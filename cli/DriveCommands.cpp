// `keelbox backup DRIVE` and `keelbox config DRIVE`.

#include "cli/BackupRun.h"
#include "cli/CommandLine.h"

#include "core/ConfigFile.h"
#include "localization/Format.h"
#include "localization/Language.h"

#include <algorithm>
#include <cstdlib>
#include <ostream>
#include <pwd.h>
#include <unistd.h>

namespace keelbox::cli {
namespace fs = std::filesystem;

namespace {

std::string text(std::string_view key, AppLanguage language) {
    return localizedText(key, language);
}

int usageError(Console& console, AppLanguage language, const std::string& message) {
    console.err << "keelbox: " << message << '\n' << text("cli.usage", language) << '\n';
    return exitUsage;
}

int driveError(Console& console, const std::string& message) {
    console.err << "keelbox: " << message << '\n';
    return exitUsage;
}

bool isFolder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
}

fs::path homeFolder(const EnvironmentLookup& getenv) {
    if (const char* home = getenv ? getenv("HOME") : nullptr; home != nullptr && *home == '/')
        return home;
    if (const passwd* entry = ::getpwuid(::getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    return {};
}

// The configuration window stores a chosen folder inside the home folder as "~/…", so that the
// same rules work for whoever connects the drive on another computer; typed paths get the same.
std::string abbreviateHome(const fs::path& folder, const fs::path& home) {
    if (home.empty())
        return folder.string();
    const fs::path normalHome = home.lexically_normal();
    const fs::path relative = folder.lexically_normal().lexically_relative(normalHome);
    if (relative.empty() || *relative.begin() == "..")
        return folder.string();
    if (relative == ".")
        return "~";
    return "~/" + relative.string();
}

std::string modeName(BackupMode mode, AppLanguage language) {
    return text(mode == BackupMode::dated ? "mode.dated.long" : "mode.sync.long", language);
}

std::string onOff(bool value, AppLanguage language) {
    return text(value ? "cli.on" : "cli.off", language);
}

void showConfig(const DriveConfig& config, const fs::path& driveRoot, AppLanguage language,
                std::ostream& out) {
    const auto line = [&](std::string_view key, const std::string& value) {
        out << "  " << text(key, language) << ' ' << value << '\n';
    };
    out << formatText(text("cli.config.title", language), {(driveRoot / configFileName).string()})
        << '\n';
    // The folder the copies go into, when the name has to be changed to make one.
    const std::string name = printable(config.driveName);
    const std::string folder = driveFolderName(name);
    line("cli.config.name", folder == name ? name : name + " → " + folder);
    line("cli.config.id", printable(config.driveID));
    line("cli.config.destination", printable(config.destinationPath));
    line("cli.config.mode", modeName(config.mode, language));
    line("cli.config.mirror", onOff(config.deleteRemovedFiles, language));
    line("cli.config.auto", onOff(config.autoRunOnMount, language));
    line("cli.config.created", formatIsoDate(config.createdAt));
    line("cli.config.updated", formatIsoDate(config.updatedAt));
    out << "  " << text("cli.config.sources", language) << '\n';
    if (config.sources.empty())
        out << "    " << text("cfg.sources.empty", language) << '\n';
    for (const SourceItem& source : config.sources) {
        out << "    "
            << (source.relativePath.empty() ? text("cfg.wholeName", language)
                                            : printable(source.relativePath))
            << '\n';
    }
    if (config.mode == BackupMode::dated && config.deleteRemovedFiles)
        out << text("cli.config.mirrorDated", language) << '\n';
}

std::optional<bool> parseSwitch(std::string_view value) {
    if (value == "on")
        return true;
    if (value == "off")
        return false;
    return std::nullopt;
}

// One change asked for on the command line, applied in the order given.
struct Edit {
    std::string option;
    std::string value;
};

const std::vector<std::string_view> optionsWithValue = {
    "--destination", "--mode", "--add-source", "--remove-source", "--mirror", "--auto", "--name"};

// A source as the drive lists it: the path below the drive root, or nothing when the text cannot
// be one (an absolute path elsewhere, or ".." leading out).
std::optional<std::string> lexicalSource(std::string_view value) {
    const fs::path normal = fs::path(value).lexically_normal();
    if (normal.is_absolute())
        return std::nullopt;
    std::string result = normal.generic_string();
    if (result == ".")
        return std::string();
    if (result.starts_with(".."))
        return std::nullopt;
    while (!result.empty() && result.back() == '/')
        result.pop_back();
    return result;
}

// Both commands name exactly one drive folder: the exit status of the message saying why the
// arguments do not, or nothing when they do.
std::optional<int> checkDriveArgument(const std::vector<std::string>& positional, Console& console,
                                      AppLanguage language) {
    if (positional.size() != 1)
        return usageError(console, language, text("cli.err.oneDrive", language));
    if (!isFolder(positional.front()))
        return driveError(console,
                          formatText(text("cli.err.notFolder", language), {positional.front()}));
    return std::nullopt;
}

} // namespace

int runBackupCommand(const std::vector<std::string>& args, Console& console) {
    keepRunningWithoutReader();
    std::vector<std::string> rest(args.begin() + 1, args.end());
    const LanguageChoice choice = takeLanguageOption(rest, console.getenv);
    const AppLanguage language = choice.language;
    if (choice.error)
        return usageError(console, language, *choice.error);

    bool showProgress = true;
    std::vector<std::string> positional;
    for (const std::string& arg : rest) {
        if (arg == "--no-progress")
            showProgress = false;
        else if (arg.starts_with("-") && arg != "-")
            return usageError(console, language,
                              formatText(text("cli.err.unknownArgument", language), {arg}));
        else
            positional.push_back(arg);
    }
    if (const std::optional<int> refused = checkDriveArgument(positional, console, language))
        return *refused;
    const fs::path driveRoot = positional.front();
    const std::optional<DriveConfig> config = readConfig(driveRoot);
    if (!config) {
        return driveError(
            console, formatText(text("cli.err.noConfig", language), {driveRoot.string()}) + "\n" +
                         formatText(text("cli.hint.createConfig", language), {driveRoot.string()}));
    }

    console.out << formatText(text("cli.backup.start", language),
                              {printable(config->driveName), driveRoot.string(),
                               printable(config->destinationPath)})
                << '\n';
    const RunOutcome outcome = runDriveBackup(*config, driveRoot, language, console, showProgress);
    printOutcome(outcome, language, console);
    return exitStatus(outcome);
}

int runConfigCommand(const std::vector<std::string>& args, Console& console) {
    std::vector<std::string> rest(args.begin() + 1, args.end());
    const LanguageChoice choice = takeLanguageOption(rest, console.getenv);
    const AppLanguage language = choice.language;
    if (choice.error)
        return usageError(console, language, *choice.error);

    std::vector<std::string> positional;
    std::vector<Edit> edits;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& arg = rest[i];
        if (arg == "--whole-drive") {
            edits.push_back({arg, {}});
        } else if (std::find(optionsWithValue.begin(), optionsWithValue.end(), arg) !=
                   optionsWithValue.end()) {
            if (i + 1 >= rest.size())
                return usageError(console, language,
                                  formatText(text("cli.err.missingValue", language), {arg}));
            edits.push_back({arg, rest[++i]});
        } else if (arg.starts_with("-") && arg != "-") {
            return usageError(console, language,
                              formatText(text("cli.err.unknownArgument", language), {arg}));
        } else {
            positional.push_back(arg);
        }
    }
    if (const std::optional<int> refused = checkDriveArgument(positional, console, language))
        return *refused;
    const fs::path driveRoot = positional.front();

    std::optional<DriveConfig> existing = readConfig(driveRoot);
    if (edits.empty()) {
        if (!existing) {
            return driveError(
                console,
                formatText(text("cli.err.noConfig", language), {driveRoot.string()}) + "\n" +
                    formatText(text("cli.hint.createConfig", language), {driveRoot.string()}));
        }
        showConfig(*existing, driveRoot, language, console.out);
        return exitOk;
    }

    std::error_code ec;
    if (!existing && fs::exists(driveRoot / configFileName, ec))
        console.err << formatText(text("cli.config.replacingBroken", language),
                                  {(driveRoot / configFileName).string()})
                    << '\n';

    const Date at = now();
    DriveConfig config = existing.value_or(DriveConfig::makeNew({}, at));
    if (!existing) {
        // The mount point's folder is the volume's name under /media/$USER and /run/media.
        const fs::path canonical = fs::weakly_canonical(fs::absolute(driveRoot, ec), ec);
        config.driveName = canonical.filename().string();
    }

    for (const Edit& edit : edits) {
        if (edit.option == "--destination") {
            if (edit.value.empty())
                return usageError(console, language, text("cli.err.emptyDestination", language));
            if (edit.value.starts_with("~")) {
                config.destinationPath = edit.value;
            } else {
                fs::path absolute = fs::absolute(edit.value, ec).lexically_normal();
                if (absolute.has_parent_path() && absolute.filename().empty())
                    absolute = absolute.parent_path(); // "…/Backups/" names "…/Backups"
                config.destinationPath = abbreviateHome(ec ? fs::path(edit.value) : absolute,
                                                        homeFolder(console.getenv));
            }
        } else if (edit.option == "--mode") {
            const auto mode = backupModeFromRaw(edit.value);
            if (!mode)
                return usageError(
                    console, language,
                    formatText(text("cli.err.badValue", language), {edit.option, edit.value}));
            config.mode = *mode;
        } else if (edit.option == "--mirror" || edit.option == "--auto") {
            const auto value = parseSwitch(edit.value);
            if (!value)
                return usageError(
                    console, language,
                    formatText(text("cli.err.badValue", language), {edit.option, edit.value}));
            (edit.option == "--mirror" ? config.deleteRemovedFiles : config.autoRunOnMount) =
                *value;
        } else if (edit.option == "--name") {
            config.driveName = edit.value;
        } else if (edit.option == "--whole-drive") {
            config.sources = {SourceItem{Uuid::random(), {}}};
        } else if (edit.option == "--add-source") {
            // Relative to the drive's root; an absolute path must lie on the drive.
            const fs::path item = driveRoot / edit.value;
            const std::string shownName = fs::path(edit.value).lexically_normal().filename().empty()
                                              ? edit.value
                                              : fs::path(edit.value).filename().string();
            if (!fs::exists(item, ec))
                return driveError(console,
                                  formatText(text("cli.err.noSuchItem", language), {edit.value}));
            const std::optional<std::string> relative = relativeSubpath(item, driveRoot);
            if (!relative)
                return driveError(console,
                                  formatText(text("cfg.err.notOnDrive", language), {shownName}));
            const bool listed =
                std::any_of(config.sources.begin(), config.sources.end(),
                            [&](const SourceItem& s) { return s.relativePath == *relative; });
            if (listed) {
                console.err << formatText(text("cli.config.duplicate", language),
                                          {relative->empty() ? text("cfg.wholeName", language)
                                                             : *relative})
                            << '\n';
                continue;
            }
            config.sources.push_back(SourceItem{Uuid::random(), *relative});
        } else if (edit.option == "--remove-source") {
            // A source that no longer exists on the drive can still be removed by its listed path.
            std::optional<std::string> relative;
            if (fs::exists(driveRoot / edit.value, ec))
                relative = relativeSubpath(driveRoot / edit.value, driveRoot);
            if (!relative)
                relative = lexicalSource(edit.value);
            const auto before = config.sources.size();
            if (relative) {
                std::erase_if(config.sources,
                              [&](const SourceItem& s) { return s.relativePath == *relative; });
            }
            if (config.sources.size() == before)
                return driveError(console,
                                  formatText(text("cli.err.notASource", language), {edit.value}));
        }
    }

    config.updatedAt = at;
    if (const std::optional<ConfigError> failure = writeConfig(config, driveRoot)) {
        console.err << "keelbox: "
                    << formatText(text("cli.err.writeFailed", language), {failure->message})
                    << '\n';
        return exitIssues;
    }
    console.out << formatText(text("cli.config.saved", language),
                              {(driveRoot / configFileName).string()})
                << '\n';
    showConfig(config, driveRoot, language, console.out);
    return exitOk;
}

} // namespace keelbox::cli
