// `keelbox backup DRIVE` and `keelbox config DRIVE`.

#include "cli/BackupRun.h"
#include "cli/CommandLine.h"

#include "core/ConfigFile.h"
#include "core/ErrnoText.h"
#include "engine/Destination.h"
#include "engine/PathSafety.h"
#include "engine/VolumeIds.h"
#include "localization/Format.h"
#include "localization/Language.h"

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
#include <variant>

namespace keelbox::cli {
namespace fs = std::filesystem;

namespace {

std::string text(std::string_view key, AppLanguage language) {
    return localizedText(key, language);
}

int usageError(Terminal& terminal, AppLanguage language, const std::string& message) {
    terminal.err << "keelbox: " << message << '\n' << text("cli.usage", language) << '\n';
    return exitUsage;
}

int driveError(Terminal& terminal, const std::string& message) {
    terminal.err << "keelbox: " << message << '\n';
    return exitUsage;
}

bool isFolder(const fs::path& path) {
    std::error_code ec;
    return fs::is_directory(path, ec);
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

enum class EditKind {
    destination,
    mode,
    mirror,
    autoRun,
    name,
    wholeDrive,
    addSource,
    removeSource
};

constexpr struct {
    std::string_view option;
    EditKind kind;
} editOptions[] = {{"--destination", EditKind::destination},
                   {"--mode", EditKind::mode},
                   {"--mirror", EditKind::mirror},
                   {"--auto", EditKind::autoRun},
                   {"--name", EditKind::name},
                   {"--whole-drive", EditKind::wholeDrive},
                   {"--add-source", EditKind::addSource},
                   {"--remove-source", EditKind::removeSource}};

// One change asked for on the command line, as typed.
struct TypedEdit {
    std::string option;
    EditKind kind;
    std::string value;
};

// What `keelbox config` was asked for: the drive folder, the changes in the order given, and
// whether to start from a new configuration.
struct ConfigRequest {
    std::vector<std::string> positional;
    std::vector<TypedEdit> edits;
    bool startAnew = false;
};

// Why a command stops before doing anything: the message, and whether the usage text follows it.
struct Refusal {
    std::string message;
    bool showUsage = false;
};

// A change with its value checked and its paths resolved against the drive and the working folder,
// so that applying it needs nothing but the configuration.
struct ConfigEdit {
    EditKind kind;
    std::string typed;
    // The destination as stored, or the drive's name.
    std::string value;
    // A source's path below the drive root; nothing for a source that cannot be one.
    std::optional<std::string> source;
    BackupMode mode = BackupMode::sync;
    bool on = false;
};

// The configuration after its edits, what was skipped on the way, or why it was refused.
struct EditResult {
    DriveConfig config;
    std::vector<std::string> notes;
    std::optional<Refusal> refusal;
};

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
std::optional<int> checkDriveArgument(const std::vector<std::string>& positional,
                                      Terminal& terminal, AppLanguage language) {
    if (positional.size() != 1)
        return usageError(terminal, language, text("cli.err.oneDrive", language));
    if (!isFolder(positional.front()))
        return driveError(terminal,
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
                              AppLanguage language, Terminal& terminal) {
    const DestinationPlan plan = planDestination(
        config.destinationPath, driveFolderName(backupName(driveRoot, config.driveName)), {},
        destinationFacts({}, driveRoot));
    if (!plan.refused())
        return;
    std::string reason = formatText(text(plan.reasonKey, language), {plan.missingDisk});
    if (!plan.detail.empty())
        reason += " (" + plan.detail + ")";
    terminal.err << "keelbox: "
                 << printable(formatText(text("cli.config.destRefused", language), {reason}))
                 << '\n'
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

using nlohmann::json;

bool isString(const json& value) {
    return value.is_string();
}

bool isBool(const json& value) {
    return value.is_boolean();
}

bool isDate(const json& value) {
    return value.is_string() && parseIsoDate(value.get<std::string>());
}

bool isMode(const json& value) {
    return value.is_string() && backupModeFromRaw(value.get<std::string>()).has_value();
}

bool isSources(const json& value) {
    return value.is_array() && std::all_of(value.begin(), value.end(), [](const json& item) {
               return item.is_object() && item.contains("id") && item["id"].is_string() &&
                      Uuid::parse(item["id"].get<std::string>()) && item.contains("relativePath") &&
                      item["relativePath"].is_string();
           });
}

// As the reader takes it: a whole number, also written with a fraction ("1.0").
bool isInteger(const json& value) {
    if (value.is_number_integer())
        return true;
    const double number = value.is_number_float() ? value.get<double>() : 0.5;
    return std::isfinite(number) && number == std::trunc(number) && std::fabs(number) < 9.2e18;
}

// Every key the reader needs, with the test its value must pass.
constexpr std::pair<const char*, bool (*)(const json&)> configKeys[] = {
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

// The file's text, or what keeps it from being read: nothing at all when there is no file.
std::variant<std::string, std::optional<std::string>> configText(const fs::path& file,
                                                                 AppLanguage language) {
    struct stat st {};
    if (::lstat(file.c_str(), &st) != 0) {
        if (errno == ENOENT)
            return std::nullopt;
        return formatText(text("cli.cfg.unreadable", language), {errnoText(errno)});
    }
    if (!S_ISREG(st.st_mode))
        return text("cli.cfg.notFile", language);
    std::optional<std::string> content = readWholeFile(file);
    if (!content)
        return formatText(text("cli.cfg.unreadable", language), {errnoText(errno)});
    if (content->size() > maxConfigSize)
        return text("cli.cfg.tooLarge", language);
    return std::move(*content);
}

// "syntax error at line 3, column 3": `byte` counts from 1, columns count characters.
std::string syntaxProblem(std::string_view content, std::size_t byte, AppLanguage language) {
    Int line = 1, column = 1;
    for (std::size_t i = 0; i + 1 < byte && i < content.size(); ++i) {
        if (content[i] == '\n') {
            ++line;
            column = 1;
        } else if ((static_cast<unsigned char>(content[i]) & 0xC0) != 0x80) {
            ++column;
        }
    }
    return formatText(text("cli.cfg.syntax", language), {line, column});
}

// The first key that is missing or whose value the reader would refuse.
std::optional<std::string> keyProblem(const json& object, AppLanguage language) {
    for (const auto& [key, valid] : configKeys) {
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
    return std::nullopt;
}

// What is wrong with a configuration file that does not read as one, in the user's words; nothing
// when there is no file.
std::optional<std::string> configProblem(const fs::path& driveRoot, AppLanguage language) {
    auto read = configText(driveRoot / configFileName, language);
    if (auto* problem = std::get_if<std::optional<std::string>>(&read))
        return *problem;
    const std::string& content = std::get<std::string>(read);
    json object;
    try {
        object = json::parse(content);
    } catch (const json::parse_error& error) {
        return syntaxProblem(content, error.byte, language);
    }
    if (!object.is_object())
        return text("cli.cfg.notObject", language);
    if (std::optional<std::string> problem = keyProblem(object, language))
        return problem;
    return decodeConfig(content) ? std::nullopt
                                 : std::optional<std::string>(text("cli.cfg.invalid", language));
}

// A drive without a configuration that reads: why, and what to do.
int noConfigError(const fs::path& driveRoot, AppLanguage language, Terminal& terminal) {
    std::string message =
        printable(formatText(text("cli.err.noConfig", language), {driveRoot.string()}));
    if (const std::optional<std::string> problem = configProblem(driveRoot, language)) {
        message += '\n';
        message += printable(formatText(text("cli.config.problem", language), {*problem}));
    }
    message += '\n';
    message += printable(formatText(text("cli.hint.createConfig", language), {driveRoot.string()}));
    return driveError(terminal, message);
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

int refuse(Terminal& terminal, AppLanguage language, const Refusal& refusal) {
    return refusal.showUsage ? usageError(terminal, language, refusal.message)
                             : driveError(terminal, refusal.message);
}

std::variant<ConfigRequest, Refusal> parseConfigArguments(const std::vector<std::string>& rest,
                                                          AppLanguage language) {
    ConfigRequest request;
    for (std::size_t i = 0; i < rest.size(); ++i) {
        const std::string& arg = rest[i];
        const auto option = std::find_if(std::begin(editOptions), std::end(editOptions),
                                         [&](const auto& known) { return known.option == arg; });
        if (arg == "--new") {
            request.startAnew = true;
        } else if (option != std::end(editOptions) && option->kind == EditKind::wholeDrive) {
            request.edits.push_back({arg, option->kind, {}});
        } else if (option != std::end(editOptions)) {
            if (i + 1 >= rest.size())
                return Refusal{formatText(text("cli.err.missingValue", language), {arg}), true};
            request.edits.push_back({arg, option->kind, rest[++i]});
        } else if (arg.starts_with("-") && arg != "-") {
            return Refusal{formatText(text("cli.err.unknownArgument", language), {arg}), true};
        } else {
            request.positional.push_back(arg);
        }
    }
    return request;
}

// A typed destination as the file stores it: "~…" as given, anything else as a plain absolute
// path, abbreviated when it lies in the home folder.
std::string storedDestination(const std::string& typed, const fs::path& home) {
    if (typed.starts_with("~"))
        return typed;
    std::error_code ec;
    const fs::path absolute = fs::absolute(typed, ec);
    return abbreviatedHome(ec ? fs::path(typed) : absolute, home);
}

// A source to remove: its place on the drive when it still exists there, else its listed path.
std::optional<std::string> listedSource(const std::string& typed, const fs::path& driveRoot) {
    std::error_code ec;
    std::optional<std::string> relative;
    if (fs::exists(driveRoot / typed, ec))
        relative = relativeSubpath(driveRoot / typed, driveRoot);
    return relative ? relative : lexicalSource(typed);
}

std::variant<ConfigEdit, Refusal> resolveEdit(const TypedEdit& edit, const fs::path& driveRoot,
                                              const fs::path& home, AppLanguage language) {
    const Refusal badValue{
        formatText(text("cli.err.badValue", language), {edit.option, edit.value}), true};
    ConfigEdit resolved{edit.kind, edit.value, edit.value, std::nullopt, BackupMode::sync, false};
    std::error_code ec;
    switch (edit.kind) {
    case EditKind::destination:
        if (edit.value.empty())
            return Refusal{text("cli.err.emptyDestination", language), true};
        resolved.value = storedDestination(edit.value, home);
        break;
    case EditKind::mode:
        if (const auto mode = backupModeFromRaw(edit.value))
            resolved.mode = *mode;
        else
            return badValue;
        break;
    case EditKind::mirror:
    case EditKind::autoRun:
        if (const auto on = parseSwitch(edit.value))
            resolved.on = *on;
        else
            return badValue;
        break;
    case EditKind::addSource: {
        // Relative to the drive's root; an absolute path must lie on the drive.
        if (!fs::exists(driveRoot / edit.value, ec))
            return Refusal{formatText(text("cli.err.noSuchItem", language), {edit.value})};
        resolved.source = relativeSubpath(driveRoot / edit.value, driveRoot);
        const std::string shownName = fs::path(edit.value).lexically_normal().filename().empty()
                                          ? edit.value
                                          : fs::path(edit.value).filename().string();
        if (!resolved.source)
            return Refusal{formatText(text("cfg.err.notOnDrive", language), {shownName})};
        break;
    }
    case EditKind::removeSource:
        resolved.source = listedSource(edit.value, driveRoot);
        break;
    case EditKind::name:
    case EditKind::wholeDrive:
        break;
    }
    return resolved;
}

bool isListed(const DriveConfig& config, const std::string& relativePath) {
    return std::any_of(config.sources.begin(), config.sources.end(),
                       [&](const SourceItem& s) { return s.relativePath == relativePath; });
}

// The edits applied in the order given. A source listed already is noted and skipped; removing
// one that is not listed refuses the whole change.
EditResult applyEdits(DriveConfig config, const std::vector<ConfigEdit>& edits,
                      AppLanguage language) {
    EditResult result{std::move(config), {}, {}};
    DriveConfig& edited = result.config;
    for (const ConfigEdit& edit : edits) {
        switch (edit.kind) {
        case EditKind::destination:
            edited.destinationPath = edit.value;
            break;
        case EditKind::mode:
            edited.mode = edit.mode;
            break;
        case EditKind::mirror:
            edited.deleteRemovedFiles = edit.on;
            break;
        case EditKind::autoRun:
            edited.autoRunOnMount = edit.on;
            break;
        case EditKind::name:
            edited.driveName = edit.value;
            break;
        case EditKind::wholeDrive:
            edited.sources = {SourceItem{Uuid::random(), {}}};
            break;
        case EditKind::addSource:
            if (isListed(edited, *edit.source)) {
                result.notes.push_back(formatText(
                    text("cli.config.duplicate", language),
                    {edit.source->empty() ? text("cfg.wholeName", language) : *edit.source}));
            } else {
                edited.sources.push_back(SourceItem{Uuid::random(), *edit.source});
            }
            break;
        case EditKind::removeSource:
            if (!edit.source || std::erase_if(edited.sources, [&](const SourceItem& s) {
                                    return s.relativePath == *edit.source;
                                }) == 0) {
                result.refusal =
                    Refusal{formatText(text("cli.err.notASource", language), {edit.typed})};
                return result;
            }
            break;
        }
    }
    return result;
}

// What the edits start from: the drive's own configuration, or a new one named after the drive's
// folder (the volume's name under /media/$USER and /run/media) that keeps the identity, and with
// it the backup folder, of an old file that still names one.
DriveConfig startingConfig(const std::optional<DriveConfig>& existing, bool startAnew,
                           const fs::path& driveRoot, Date at) {
    if (existing && !startAnew)
        return *existing;
    DriveConfig config = DriveConfig::makeNew({}, at);
    std::error_code ec;
    config.driveName = fs::weakly_canonical(fs::absolute(driveRoot, ec), ec).filename().string();
    if (const std::optional<std::string> id = salvageDriveID(driveRoot))
        config.driveID = *id;
    return config;
}

// `--new` keeps an old file beside the new one as ".keelbox.json.old-2026-12-04-180000"; false
// after saying why it could not.
bool setOldFileAside(const fs::path& configPath, Date at, AppLanguage language,
                     Terminal& terminal) {
    std::error_code ec;
    if (!fs::exists(configPath, ec))
        return true;
    const std::string stamp = formatIsoDate(at);
    fs::path aside = configPath;
    aside += ".old-" + stamp.substr(0, 10) + "-" + stamp.substr(11, 2) + stamp.substr(14, 2) +
             stamp.substr(17, 2);
    fs::rename(configPath, aside, ec);
    if (ec) {
        terminal.err << "keelbox: "
                     << printable(formatText(text("cli.err.writeFailed", language), {ec.message()}))
                     << '\n';
        return false;
    }
    terminal.err << printable(formatText(text("cli.config.keptAside", language), {aside.string()}))
                 << '\n';
    return true;
}

int saveConfig(const DriveConfig& config, const fs::path& driveRoot, AppLanguage language,
               Terminal& terminal) {
    warnIfDestinationRefused(config, driveRoot, language, terminal);
    if (const std::optional<ConfigError> failure = writeConfig(config, driveRoot)) {
        terminal.err << "keelbox: "
                     << formatText(text("cli.err.writeFailed", language), {failure->message})
                     << '\n';
        return exitIssues;
    }
    terminal.out << printable(formatText(text("cli.config.saved", language),
                                         {(driveRoot / configFileName).string()}))
                 << '\n';
    showConfig(config, driveRoot, language, terminal.out);
    return exitOk;
}

} // namespace

int runBackupCommand(const std::vector<std::string>& args, Terminal& terminal) {
    keepRunningWithoutReader();
    std::vector<std::string> rest(args.begin() + 1, args.end());
    const LanguageChoice choice = takeLanguageOption(rest, terminal.getenv);
    const AppLanguage language = choice.language;
    if (choice.error)
        return usageError(terminal, language, *choice.error);

    bool showProgress = true;
    std::vector<std::string> positional;
    for (const std::string& arg : rest) {
        if (arg == "--no-progress")
            showProgress = false;
        else if (arg.starts_with("-") && arg != "-")
            return usageError(terminal, language,
                              formatText(text("cli.err.unknownArgument", language), {arg}));
        else
            positional.push_back(arg);
    }
    if (const std::optional<int> refused = checkDriveArgument(positional, terminal, language))
        return *refused;
    const fs::path driveRoot = positional.front();
    std::optional<DriveConfig> config = readConfig(driveRoot);
    if (!config)
        return noConfigError(driveRoot, language, terminal);
    config->driveName = backupName(driveRoot, config->driveName);

    terminal.out << printable(formatText(
                        text("cli.backup.start", language),
                        {config->driveName, driveRoot.string(), config->destinationPath}))
                 << '\n';
    const RunOutcome outcome = runDriveBackup(*config, driveRoot, language, terminal, showProgress);
    printOutcome(outcome, language, terminal);
    return exitStatus(outcome);
}

int runConfigCommand(const std::vector<std::string>& args, Terminal& terminal) {
    std::vector<std::string> rest(args.begin() + 1, args.end());
    const LanguageChoice choice = takeLanguageOption(rest, terminal.getenv);
    const AppLanguage language = choice.language;
    if (choice.error)
        return usageError(terminal, language, *choice.error);
    const auto parsed = parseConfigArguments(rest, language);
    if (const Refusal* refusal = std::get_if<Refusal>(&parsed))
        return refuse(terminal, language, *refusal);
    const ConfigRequest& request = std::get<ConfigRequest>(parsed);
    if (const std::optional<int> refused =
            checkDriveArgument(request.positional, terminal, language))
        return *refused;
    const fs::path driveRoot = request.positional.front();

    const std::optional<DriveConfig> existing = readConfig(driveRoot);
    if (request.edits.empty() && !request.startAnew) {
        if (!existing)
            return noConfigError(driveRoot, language, terminal);
        showConfig(*existing, driveRoot, language, terminal.out);
        warnIfDestinationRefused(*existing, driveRoot, language, terminal);
        return exitOk;
    }
    // A file that does not read as a configuration is never replaced by accident: it may be the
    // user's own typing mistake, and it holds the drive's identity.
    if (!existing && !request.startAnew) {
        if (const std::optional<std::string> problem = configProblem(driveRoot, language)) {
            return driveError(
                terminal, printable(formatText(text("cli.err.badConfig", language),
                                               {(driveRoot / configFileName).string(), *problem})) +
                              "\n" +
                              printable(formatText(text("cli.hint.newConfig", language),
                                                   {driveRoot.string()})));
        }
    }

    std::vector<ConfigEdit> edits;
    for (const TypedEdit& typed : request.edits) {
        auto resolved = resolveEdit(typed, driveRoot, homeFolder({}, terminal.getenv), language);
        if (const Refusal* refusal = std::get_if<Refusal>(&resolved))
            return refuse(terminal, language, *refusal);
        edits.push_back(std::get<ConfigEdit>(std::move(resolved)));
    }
    const Date at = now();
    EditResult result =
        applyEdits(startingConfig(existing, request.startAnew, driveRoot, at), edits, language);
    for (const std::string& note : result.notes)
        terminal.err << note << '\n';
    if (result.refusal)
        return refuse(terminal, language, *result.refusal);
    if (request.startAnew && !setOldFileAside(driveRoot / configFileName, at, language, terminal))
        return exitIssues;
    result.config.updatedAt = at;
    return saveConfig(result.config, driveRoot, language, terminal);
}

} // namespace keelbox::cli
