// `keelbox backup DRIVE` and `keelbox config DRIVE`.

#include "cli/BackupRun.h"
#include "cli/CommandLine.h"

#include "core/ConfigFile.h"
#include "core/ErrnoText.h"
#include "core/ShownText.h"
#include "engine/Destination.h"
#include "engine/PathSafety.h"
#include "engine/VolumeIds.h"
#include "localization/Format.h"
#include "localization/Language.h"

#include <algorithm>
#include <cstdlib>
#include <functional>
#include <ostream>
#include <pwd.h>
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
    out << printable(formatText(text("cli.config.title", language),
                                {(driveRoot / configFileName).string()}))
        << '\n';
    // The folder the copies go into, when the name has to be changed to make one.
    const std::string name = shownName(config.driveName);
    const std::string folder = driveFolderName(config.driveName);
    line("cli.config.name", folder == config.driveName ? name : name + " → " + shownName(folder));
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

// What to do about a file that does not read: the drive may be failing, the file may need its
// permissions, or it wants correcting (`fix` is the usual advice, which names the drive).
std::string faultHint(const ConfigFault& fault, const fs::path& driveRoot, std::string_view fix,
                      AppLanguage language) {
    if (fault.kind == ConfigFault::Kind::ioError)
        return text("cli.hint.failingDrive", language);
    if (fault.kind == ConfigFault::Kind::unreadable)
        return text("cli.hint.unreadableConfig", language);
    return formatText(text(fix, language), {driveRoot.string()});
}

// A drive without a configuration that reads: why, and what to do.
int noConfigError(const fs::path& driveRoot, const ConfigFault& fault, AppLanguage language,
                  Terminal& terminal) {
    std::string message =
        printable(formatText(text("cli.err.noConfig", language), {driveRoot.string()}));
    if (fault.kind != ConfigFault::Kind::missing) {
        message += '\n';
        message += printable(
            formatText(text("cli.config.problem", language), {configFaultText(fault, language)}));
    }
    message += '\n';
    message += printable(faultHint(fault, driveRoot, "cli.hint.createConfig", language));
    return driveError(terminal, message);
}

// A file that is there and does not read is never replaced by accident: it may be the user's own
// typing mistake, and it holds the drive's identity.
int badConfigError(const fs::path& driveRoot, const ConfigFault& fault, AppLanguage language,
                   Terminal& terminal) {
    return driveError(
        terminal,
        printable(
            formatText(text("cli.err.badConfig", language),
                       {(driveRoot / configFileName).string(), configFaultText(fault, language)})) +
            "\n" + printable(faultHint(fault, driveRoot, "cli.hint.newConfig", language)));
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
                           const fs::path& driveRoot, const std::optional<std::string>& keptID,
                           Date at) {
    if (existing && !startAnew)
        return *existing;
    DriveConfig config = DriveConfig::makeNew({}, at);
    std::error_code ec;
    config.driveName = fs::weakly_canonical(fs::absolute(driveRoot, ec), ec).filename().string();
    if (keptID)
        config.driveID = *keptID;
    return config;
}

// `--new` keeps an old file beside the new one as ".keelbox.json.old-2026-12-04-180000"; false
// after saying why it could not.
bool setOldFileAside(const fs::path& driveRoot, Date at, AppLanguage language, Terminal& terminal) {
    std::error_code error;
    const std::optional<fs::path> aside = setConfigAside(driveRoot, at, error);
    if (error) {
        terminal.err << "keelbox: "
                     << printable(
                            formatText(text("cli.err.writeFailed", language), {error.message()}))
                     << '\n';
        return false;
    }
    if (aside)
        terminal.err << printable(
                            formatText(text("cli.config.keptAside", language), {aside->string()}))
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
    ConfigReading config = readConfig(driveRoot);
    if (!config)
        return noConfigError(driveRoot, config.fault, language, terminal);
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

    const ConfigReading existing = readConfig(driveRoot);
    if (request.edits.empty() && !request.startAnew) {
        if (!existing)
            return noConfigError(driveRoot, existing.fault, language, terminal);
        showConfig(*existing, driveRoot, language, terminal.out);
        warnIfDestinationRefused(*existing, driveRoot, language, terminal);
        return exitOk;
    }
    // Even `--new` waits for a file the system would not hand over, whose identity it would lose.
    if (!existing && existing.fault.kind != ConfigFault::Kind::missing &&
        (!request.startAnew || faultHidesContent(existing.fault)))
        return badConfigError(driveRoot, existing.fault, language, terminal);

    std::vector<ConfigEdit> edits;
    for (const TypedEdit& typed : request.edits) {
        auto resolved = resolveEdit(typed, driveRoot, homeFolder({}, terminal.getenv), language);
        if (const Refusal* refusal = std::get_if<Refusal>(&resolved))
            return refuse(terminal, language, *refusal);
        edits.push_back(std::get<ConfigEdit>(std::move(resolved)));
    }
    // Read again for the identity right before it is needed: a file that has since become
    // unreadable stops the change as above.
    ConfigFault salvageFault;
    const std::optional<std::string> keptID =
        request.startAnew ? salvageDriveID(driveRoot, &salvageFault) : std::nullopt;
    if (faultHidesContent(salvageFault))
        return badConfigError(driveRoot, salvageFault, language, terminal);
    const Date at = now();
    EditResult result = applyEdits(
        startingConfig(existing, request.startAnew, driveRoot, keptID, at), edits, language);
    for (const std::string& note : result.notes)
        terminal.err << note << '\n';
    if (result.refusal)
        return refuse(terminal, language, *result.refusal);
    if (request.startAnew && !setOldFileAside(driveRoot, at, language, terminal))
        return exitIssues;
    result.config.updatedAt = at;
    return saveConfig(result.config, driveRoot, language, terminal);
}

} // namespace keelbox::cli
