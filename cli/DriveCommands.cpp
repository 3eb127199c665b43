// `keelbox backup DRIVE` and `keelbox config DRIVE`.

#include "cli/BackupRun.h"
#include "cli/CommandLine.h"

#include "core/ConfigFile.h"
#include "core/ErrnoText.h"
#include "engine/Destination.h"
#include "engine/PathSafety.h"
#include "engine/VolumeIds.h"
#include "localization/Format.h"
#include "localization/Localizer.h"

#include <nlohmann/json.hpp>

#include <algorithm>
#include <cmath>
#include <cstdlib>
#include <fstream>
#include <functional>
#include <ostream>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

namespace keelbox::cli {
namespace fs = std::filesystem;

namespace {

std::string text(std::string_view key, AppLanguage language) {
    return Localizer::text(key, language);
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

// The name a backup of the drive at `driveRoot` files its copy under, as the application does:
// the volume's label, else its mount folder's name; the configured name only for a folder that is
// not a mount point.
std::string backupName(const fs::path& driveRoot, const std::string& configuredName) {
    const VolumeIds ids = volumeIds(driveRoot);
    if (!ids.mountPoint)
        return configuredName;
    if (ids.label.find_first_not_of(" \t") != std::string::npos)
        return ids.label;
    return resolvedLocation(driveRoot).filename().string();
}

// Says at once when backups of `config` would be refused their destination, and why.
void warnIfDestinationRefused(const DriveConfig& config, const fs::path& driveRoot,
                              AppLanguage language, Console& console) {
    const DestinationPlan plan = planDestination(
        config.destinationPath, driveFolderName(backupName(driveRoot, config.driveName)), {},
        destinationFacts({}, driveRoot));
    if (!plan.refused())
        return;
    std::string reason = formatText(text(plan.reasonKey, language), {plan.missingDisk});
    if (!plan.detail.empty())
        reason += " (" + plan.detail + ")";
    console.err << "keelbox: "
                << printable(formatText(text("cli.config.destRefused", language), {reason})) << '\n'
                << "  " << text(plan.hintKey, language) << '\n';
}

std::optional<std::string> readWholeFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    if (!in)
        return std::nullopt;
    std::ostringstream text;
    text << in.rdbuf();
    return text.str();
}

// What is wrong with a configuration file that does not read as one, in the user's words; nothing
// when there is no file.
std::optional<std::string> configProblem(const fs::path& driveRoot, AppLanguage language) {
    using nlohmann::json;
    const fs::path file = driveRoot / configFileName;
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return std::nullopt;
        return formatText(text("cli.cfg.unreadable", language), {errnoText(errno)});
    }
    if (!S_ISREG(st.st_mode))
        return text("cli.cfg.notFile", language);
    const std::optional<std::string> content = readWholeFile(file);
    if (!content)
        return formatText(text("cli.cfg.unreadable", language), {errnoText(errno)});
    if (content->size() > 1024 * 1024)
        return text("cli.cfg.tooLarge", language);
    json object;
    try {
        object = json::parse(*content);
    } catch (const json::parse_error& error) {
        Int line = 1, column = 1;
        for (std::size_t i = 0; i + 1 < error.byte && i < content->size(); ++i) {
            if ((*content)[i] == '\n') {
                ++line;
                column = 1;
            } else if ((static_cast<unsigned char>((*content)[i]) & 0xC0) != 0x80) {
                ++column;
            }
        }
        return formatText(text("cli.cfg.syntax", language), {line, column});
    }
    if (!object.is_object())
        return text("cli.cfg.notObject", language);
    const auto isDate = [](const json& v) {
        return v.is_string() && parseIsoDate(v.get<std::string>());
    };
    const auto isMode = [](const json& v) {
        return v.is_string() && backupModeFromRaw(v.get<std::string>()).has_value();
    };
    const auto isSources = [](const json& v) {
        if (!v.is_array())
            return false;
        return std::all_of(v.begin(), v.end(), [](const json& item) {
            return item.is_object() && item.contains("id") && item["id"].is_string() &&
                   Uuid::parse(item["id"].get<std::string>()) && item.contains("relativePath") &&
                   item["relativePath"].is_string();
        });
    };
    const auto isString = [](const json& v) { return v.is_string(); };
    const auto isBool = [](const json& v) { return v.is_boolean(); };
    // As the reader takes it: a whole number, also written with a fraction ("1.0").
    const auto isInteger = [](const json& v) {
        if (v.is_number_integer())
            return true;
        const double number = v.is_number_float() ? v.get<double>() : 0.5;
        return std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 9.2e18;
    };
    const std::pair<const char*, std::function<bool(const json&)>> keys[] = {
        {"schemaVersion", isInteger},
        {"driveID", isString},
        {"driveName", isString},
        {"createdAt", isDate},
        {"updatedAt", isDate},
        {"destinationPath", isString},
        {"mode", isMode},
        {"deleteRemovedFiles", isBool},
        {"autoRunOnMount", isBool},
        {"sources", isSources}};
    for (const auto& [key, valid] : keys) {
        const auto found = object.find(key);
        if (found == object.end())
            return formatText(text("cli.cfg.missingKey", language), {std::string(key)});
        if (!valid(*found)) {
            std::string value = found->dump(-1, ' ', false, json::error_handler_t::replace);
            if (value.size() > 60)
                value = fitToColumns(value, 60);
            return formatText(text("cli.cfg.badValue", language), {std::string(key), value});
        }
    }
    return decodeConfig(*content) ? std::nullopt
                                  : std::optional<std::string>(text("cli.cfg.invalid", language));
}

// A drive without a configuration that reads: why, and what to do.
int noConfigError(const fs::path& driveRoot, AppLanguage language, Console& console) {
    std::string message =
        printable(formatText(text("cli.err.noConfig", language), {driveRoot.string()}));
    if (const std::optional<std::string> problem = configProblem(driveRoot, language))
        message += "\n" + printable(formatText(text("cli.config.problem", language), {*problem}));
    message +=
        "\n" + printable(formatText(text("cli.hint.createConfig", language), {driveRoot.string()}));
    return driveError(console, message);
}

// The drive identity a configuration file still names, however broken the rest is.
std::optional<std::string> salvageDriveID(const fs::path& driveRoot) {
    const std::optional<std::string> content = readWholeFile(driveRoot / configFileName);
    if (!content)
        return std::nullopt;
    const nlohmann::json object = nlohmann::json::parse(*content, nullptr, false);
    if (!object.is_object() || !object.contains("driveID") || !object["driveID"].is_string())
        return std::nullopt;
    return object["driveID"].get<std::string>();
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
    std::optional<DriveConfig> config = readConfig(driveRoot);
    if (!config)
        return noConfigError(driveRoot, language, console);
    config->driveName = backupName(driveRoot, config->driveName);

    console.out << printable(
                       formatText(text("cli.backup.start", language),
                                  {config->driveName, driveRoot.string(), config->destinationPath}))
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
    bool startAnew = false;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& arg = rest[i];
        if (arg == "--new") {
            startAnew = true;
        } else if (arg == "--whole-drive") {
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

    const fs::path configPath = driveRoot / configFileName;
    std::optional<DriveConfig> existing = readConfig(driveRoot);
    if (edits.empty() && !startAnew) {
        if (!existing)
            return noConfigError(driveRoot, language, console);
        showConfig(*existing, driveRoot, language, console.out);
        warnIfDestinationRefused(*existing, driveRoot, language, console);
        return exitOk;
    }
    // A file that does not read as a configuration is never replaced by accident: it may be the
    // user's own typing mistake, and it holds the drive's identity.
    if (!existing && !startAnew) {
        if (const std::optional<std::string> problem = configProblem(driveRoot, language)) {
            return driveError(console,
                              printable(formatText(text("cli.err.badConfig", language),
                                                   {configPath.string(), *problem})) +
                                  "\n" +
                                  printable(formatText(text("cli.hint.newConfig", language),
                                                       {driveRoot.string()})));
        }
    }

    const Date at = now();
    DriveConfig config = existing && !startAnew ? *existing : DriveConfig::makeNew({}, at);
    std::error_code ec;
    if (!existing || startAnew) {
        // The mount point's folder is the volume's name under /media/$USER and /run/media.
        const fs::path canonical = fs::weakly_canonical(fs::absolute(driveRoot, ec), ec);
        config.driveName = canonical.filename().string();
        // The drive keeps its identity, and with it its backup folder, when the old file still
        // names one.
        if (const std::optional<std::string> id = salvageDriveID(driveRoot))
            config.driveID = *id;
    }
    if (startAnew && fs::exists(configPath, ec)) {
        const std::string stamp = formatIsoDate(at);
        fs::path aside = configPath;
        aside += ".old-" + stamp.substr(0, 10) + "-" + stamp.substr(11, 2) + stamp.substr(14, 2) +
                 stamp.substr(17, 2);
        fs::rename(configPath, aside, ec);
        if (ec) {
            console.err << "keelbox: "
                        << printable(
                               formatText(text("cli.err.writeFailed", language), {ec.message()}))
                        << '\n';
            return exitIssues;
        }
        console.err << printable(
                           formatText(text("cli.config.keptAside", language), {aside.string()}))
                    << '\n';
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
    warnIfDestinationRefused(config, driveRoot, language, console);
    if (const std::optional<ConfigError> failure = writeConfig(config, driveRoot)) {
        console.err << "keelbox: "
                    << formatText(text("cli.err.writeFailed", language), {failure->message})
                    << '\n';
        return exitIssues;
    }
    console.out << printable(formatText(text("cli.config.saved", language), {configPath.string()}))
                << '\n';
    showConfig(config, driveRoot, language, console.out);
    return exitOk;
}

} // namespace keelbox::cli
