#include "core/ConfigFile.h"

#include "core/ErrnoText.h"
#include "core/PosixFile.h"
#include "localization/Format.h"
#include "localization/Language.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <cmath>
#include <cstdio>
#include <fcntl.h>
#include <limits>
#include <sys/stat.h>
#include <unistd.h>
#include <variant>

namespace keelbox {

namespace {

using nlohmann::json;

// The file nests three levels; the cap keeps hostile input from building trees so deep that
// tearing them down exhausts the stack.
constexpr int maxNesting = 32;

using namespace std::chrono;

const Date earliestDate = Date(sys_days(year(0) / January / 1));
const Date latestDate =
    Date(sys_days(year(9999) / December / 31) + hours(23) + minutes(59) + seconds(59));

bool readDigits(std::string_view text, std::size_t pos, std::size_t count, int& value) {
    if (pos + count > text.size())
        return false;
    value = 0;
    for (std::size_t i = pos; i < pos + count; ++i) {
        if (text[i] < '0' || text[i] > '9')
            return false;
        value = value * 10 + (text[i] - '0');
    }
    return true;
}

std::string twoDigits(unsigned value) {
    return {char('0' + value / 10 % 10), char('0' + value % 10)};
}

// Nesting depth outside strings, without parsing; stops counting once over the limit.
bool nestingWithin(std::string_view text, int limit) {
    int depth = 0;
    bool inString = false;
    bool escaped = false;
    for (const char c : text) {
        if (inString) {
            if (escaped)
                escaped = false;
            else if (c == '\\')
                escaped = true;
            else if (c == '"')
                inString = false;
            continue;
        }
        if (c == '"') {
            inString = true;
        } else if (c == '{' || c == '[') {
            if (++depth > limit)
                return false;
        } else if (c == '}' || c == ']') {
            --depth;
        }
    }
    return true;
}

const json* member(const json& object, const char* key) {
    const auto found = object.find(key);
    return found == object.end() ? nullptr : &*found;
}

std::optional<std::string> stringMember(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value || !value->is_string())
        return std::nullopt;
    return value->get<std::string>();
}

std::optional<bool> boolMember(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value || !value->is_boolean())
        return std::nullopt;
    return value->get<bool>();
}

// An integer that fits Int; a number written with a fraction or exponent counts when it is whole.
std::optional<Int> integerMember(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value)
        return std::nullopt;
    if (value->is_number_unsigned()) {
        const auto number = value->get<std::uint64_t>();
        if (number > std::uint64_t(std::numeric_limits<Int>::max()))
            return std::nullopt;
        return static_cast<Int>(number);
    }
    if (value->is_number_integer())
        return value->get<Int>();
    if (value->is_number_float()) {
        const double number = value->get<double>();
        // 2^63 itself is out of range; every double below it converts exactly.
        if (!std::isfinite(number) || number != std::trunc(number) ||
            number < -9.2233720368547758e18 || number >= 9.2233720368547758e18)
            return std::nullopt;
        return static_cast<Int>(number);
    }
    return std::nullopt;
}

std::optional<Date> dateMember(const json& object, const char* key) {
    const auto text = stringMember(object, key);
    if (!text)
        return std::nullopt;
    return parseIsoDate(*text);
}

std::optional<SourceItem> decodeSource(const json& value) {
    if (!value.is_object())
        return std::nullopt;
    const auto idText = stringMember(value, "id");
    const auto relativePath = stringMember(value, "relativePath");
    if (!idText || !relativePath)
        return std::nullopt;
    const auto id = Uuid::parse(*idText);
    if (!id)
        return std::nullopt;
    return SourceItem{*id, *relativePath};
}

ConfigError configError(const FileError& failure) {
    return {std::error_code(failure.errnum, std::generic_category()), failure.message()};
}

} // namespace

std::string formatIsoDate(Date date) {
    if (date < earliestDate)
        date = earliestDate;
    if (date > latestDate)
        date = latestDate;
    const auto whole = floor<seconds>(date);
    const auto day = floor<days>(whole);
    const year_month_day ymd(day);
    const hh_mm_ss time(whole - day);
    const int y = int(ymd.year());
    std::string text = std::to_string(y);
    text.insert(0, 4 - text.size(), '0');
    return text + "-" + twoDigits(unsigned(ymd.month())) + "-" + twoDigits(unsigned(ymd.day())) +
           "T" + twoDigits(unsigned(time.hours().count())) + ":" +
           twoDigits(unsigned(time.minutes().count())) + ":" +
           twoDigits(unsigned(time.seconds().count())) + "Z";
}

std::optional<Date> parseIsoDate(std::string_view text) {
    // yyyy-MM-ddTHH:mm:ss, optional fraction, then Z or ±HH:mm (also ±HHmm).
    int y = 0, mo = 0, d = 0, h = 0, mi = 0, s = 0;
    if (!readDigits(text, 0, 4, y) || text.size() < 19 || text[4] != '-' ||
        !readDigits(text, 5, 2, mo) || text[7] != '-' || !readDigits(text, 8, 2, d) ||
        text[10] != 'T' || !readDigits(text, 11, 2, h) || text[13] != ':' ||
        !readDigits(text, 14, 2, mi) || text[16] != ':' || !readDigits(text, 17, 2, s))
        return std::nullopt;
    const year_month_day ymd{year(y), month(unsigned(mo)), day(unsigned(d))};
    if (!ymd.ok() || h > 23 || mi > 59 || s > 59)
        return std::nullopt;

    std::size_t pos = 19;
    microseconds fraction{0};
    if (pos < text.size() && text[pos] == '.') {
        ++pos;
        const std::size_t start = pos;
        std::int64_t micros = 0;
        int scale = 100000;
        while (pos < text.size() && text[pos] >= '0' && text[pos] <= '9') {
            micros += (text[pos] - '0') * scale;
            scale /= 10;
            ++pos;
        }
        if (pos == start)
            return std::nullopt;
        fraction = microseconds(micros);
    }

    minutes offset{0};
    if (pos < text.size() && text[pos] == 'Z') {
        ++pos;
    } else if (pos < text.size() && (text[pos] == '+' || text[pos] == '-')) {
        const int direction = text[pos] == '+' ? 1 : -1;
        int oh = 0, om = 0;
        if (!readDigits(text, pos + 1, 2, oh))
            return std::nullopt;
        pos += 3;
        if (pos < text.size() && text[pos] == ':')
            ++pos;
        if (!readDigits(text, pos, 2, om) || oh > 23 || om > 59)
            return std::nullopt;
        pos += 2;
        offset = minutes(direction * (oh * 60 + om));
    } else {
        return std::nullopt;
    }
    if (pos != text.size())
        return std::nullopt;

    const Date date = Date(sys_days(ymd)) + hours(h) + minutes(mi) + seconds(s) + fraction - offset;
    // Only dates the writer can write back in the same four-digit form.
    if (date < earliestDate || date >= latestDate + seconds(1))
        return std::nullopt;
    return date;
}

std::string encodeConfig(const DriveConfig& config) {
    json sources = json::array();
    for (const auto& source : config.sources)
        sources.push_back(
            json{{"id", source.id.toString()}, {"relativePath", source.relativePath}});
    // nlohmann::json keeps object keys in a std::map, so every object is written in sorted order.
    const json object{
        {"schemaVersion", config.schemaVersion},
        {"driveID", config.driveID},
        {"driveName", config.driveName},
        {"createdAt", formatIsoDate(config.createdAt)},
        {"updatedAt", formatIsoDate(config.updatedAt)},
        {"destinationPath", config.destinationPath},
        {"mode", std::string(rawValue(config.mode))},
        {"deleteRemovedFiles", config.deleteRemovedFiles},
        {"autoRunOnMount", config.autoRunOnMount},
        {"sources", std::move(sources)},
    };
    // A volume name that is not valid UTF-8 is written with U+FFFD in place of the bad bytes
    // rather than failing the save.
    return object.dump(2, ' ', false, json::error_handler_t::replace) + "\n";
}

namespace {

ConfigFault faultOf(ConfigFault::Kind kind) {
    ConfigFault fault;
    fault.kind = kind;
    return fault;
}

// "line 3, column 3" of the byte `byte` (counted from 1); columns count characters.
ConfigFault syntaxFault(std::string_view text, std::size_t byte) {
    ConfigFault fault = faultOf(ConfigFault::Kind::syntax);
    fault.line = 1;
    fault.column = 1;
    for (std::size_t i = 0; i + 1 < byte && i < text.size(); ++i) {
        if (text[i] == '\n') {
            ++fault.line;
            fault.column = 1;
        } else if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80) {
            ++fault.column;
        }
    }
    return fault;
}

ConfigFault keyFault(const json& object, const char* key) {
    const json* value = member(object, key);
    if (!value) {
        ConfigFault fault = faultOf(ConfigFault::Kind::missingKey);
        fault.key = key;
        return fault;
    }
    ConfigFault fault = faultOf(ConfigFault::Kind::badValue);
    fault.key = key;
    fault.value = value->dump(-1, ' ', false, json::error_handler_t::replace);
    // Enough to recognise it; cut on a character boundary.
    constexpr std::size_t shown = 60;
    if (fault.value.size() > shown) {
        std::size_t cut = shown;
        while (cut > 0 && (static_cast<unsigned char>(fault.value[cut]) & 0xC0) == 0x80)
            --cut;
        fault.value = fault.value.substr(0, cut) + "…";
    }
    return fault;
}

} // namespace

ConfigReading decodeConfig(std::string_view text) {
    if (text.size() > maxConfigSize)
        return faultOf(ConfigFault::Kind::tooLarge);
    if (!nestingWithin(text, maxNesting))
        return faultOf(ConfigFault::Kind::invalid);
    json object;
    try {
        object = json::parse(text);
    } catch (const json::parse_error& error) {
        return syntaxFault(text, error.byte);
    } catch (const json::exception&) {
        // Well-formed, but a number beyond what a double holds (1e999).
        return faultOf(ConfigFault::Kind::invalid);
    }
    if (!object.is_object())
        return faultOf(ConfigFault::Kind::notObject);

    DriveConfig config;
    // Checked in this order, so that the first key at fault is named.
    const auto schemaVersion = integerMember(object, "schemaVersion");
    if (!schemaVersion)
        return keyFault(object, "schemaVersion");
    config.schemaVersion = *schemaVersion;
    const auto driveID = stringMember(object, "driveID");
    if (!driveID)
        return keyFault(object, "driveID");
    config.driveID = *driveID;
    const auto driveName = stringMember(object, "driveName");
    if (!driveName)
        return keyFault(object, "driveName");
    config.driveName = *driveName;
    const auto createdAt = dateMember(object, "createdAt");
    if (!createdAt)
        return keyFault(object, "createdAt");
    config.createdAt = *createdAt;
    const auto updatedAt = dateMember(object, "updatedAt");
    if (!updatedAt)
        return keyFault(object, "updatedAt");
    config.updatedAt = *updatedAt;
    const auto destinationPath = stringMember(object, "destinationPath");
    if (!destinationPath)
        return keyFault(object, "destinationPath");
    config.destinationPath = *destinationPath;
    const auto modeText = stringMember(object, "mode");
    const auto mode = modeText ? backupModeFromRaw(*modeText) : std::nullopt;
    if (!mode)
        return keyFault(object, "mode");
    config.mode = *mode;
    const auto deleteRemovedFiles = boolMember(object, "deleteRemovedFiles");
    if (!deleteRemovedFiles)
        return keyFault(object, "deleteRemovedFiles");
    config.deleteRemovedFiles = *deleteRemovedFiles;
    const auto autoRunOnMount = boolMember(object, "autoRunOnMount");
    if (!autoRunOnMount)
        return keyFault(object, "autoRunOnMount");
    config.autoRunOnMount = *autoRunOnMount;
    const json* sourceList = member(object, "sources");
    if (!sourceList || !sourceList->is_array())
        return keyFault(object, "sources");
    for (const auto& value : *sourceList) {
        auto source = decodeSource(value);
        if (!source)
            return keyFault(object, "sources");
        config.sources.push_back(std::move(*source));
    }
    return config;
}

namespace {

ConfigFault systemFault(int errnum, const std::filesystem::path& path) {
    ConfigFault fault = faultOf(errnum == ENOENT ? ConfigFault::Kind::missing
                                : errnum == EIO  ? ConfigFault::Kind::ioError
                                                 : ConfigFault::Kind::unreadable);
    fault.errnum = errnum;
    fault.systemMessage = FileError{errnum, "read", path}.message();
    return fault;
}

// The file's text, or why there is none. Only a plain file is read, never through a link.
std::variant<std::string, ConfigFault> readConfigText(const std::filesystem::path& driveRoot) {
    const auto path = driveRoot / configFileName;
    FileContent content = readFile(path, maxConfigSize, FileLinks::refuse);
    switch (content.errnum) {
    case 0:
        return std::move(content.text);
    case EINVAL:
        return faultOf(ConfigFault::Kind::notPlainFile);
    case EFBIG:
        return faultOf(ConfigFault::Kind::tooLarge);
    case ENOTDIR: // the drive's root is no folder: nothing there
        return systemFault(ENOENT, path);
    default:
        return systemFault(content.errnum, path);
    }
}

} // namespace

ConfigReading readConfig(const std::filesystem::path& driveRoot) {
    auto text = readConfigText(driveRoot);
    if (auto* fault = std::get_if<ConfigFault>(&text))
        return std::move(*fault);
    return decodeConfig(std::get<std::string>(text));
}

std::optional<std::string> salvageDriveID(const std::filesystem::path& driveRoot,
                                          ConfigFault* fault) {
    auto text = readConfigText(driveRoot);
    if (auto* why = std::get_if<ConfigFault>(&text)) {
        if (fault)
            *fault = std::move(*why);
        return std::nullopt;
    }
    const std::string& content = std::get<std::string>(text);
    if (!nestingWithin(content, maxNesting))
        return std::nullopt;
    const json object = json::parse(content, nullptr, /*allow_exceptions=*/false);
    return object.is_object() ? stringMember(object, "driveID") : std::nullopt;
}

bool faultHidesContent(const ConfigFault& fault) {
    using Kind = ConfigFault::Kind;
    return fault.kind == Kind::unreadable || fault.kind == Kind::ioError;
}

std::string configFaultText(const ConfigFault& fault, AppLanguage language) {
    using Kind = ConfigFault::Kind;
    const auto text = [&](std::string_view key) { return localizedText(key, language); };
    switch (fault.kind) {
    case Kind::none:
    case Kind::missing:
        return text("cli.cfg.missing");
    case Kind::notPlainFile:
        return text("cli.cfg.notFile");
    case Kind::tooLarge:
        return text("cli.cfg.tooLarge");
    case Kind::unreadable:
        return formatText(text("cli.cfg.unreadable"), {errnoText(fault.errnum)});
    case Kind::ioError:
        return formatText(text("cli.cfg.ioError"), {errnoText(fault.errnum)});
    case Kind::syntax:
        return formatText(text("cli.cfg.syntax"), {fault.line, fault.column});
    case Kind::notObject:
        return text("cli.cfg.notObject");
    case Kind::missingKey:
        return formatText(text("cli.cfg.missingKey"), {fault.key});
    case Kind::badValue:
        return formatText(text("cli.cfg.badValue"), {fault.key, fault.value});
    case Kind::invalid:
        break;
    }
    return text("cli.cfg.invalid");
}

std::optional<ConfigError> writeConfig(const DriveConfig& config,
                                       const std::filesystem::path& driveRoot) {
    // Linux has no hidden-file flag: the leading dot of the name is what file managers go by, and
    // a leftover temporary file keeps it. The mode makes the file readable to every user of a
    // shared drive whatever the umask.
    if (const auto failure = writeFileAtomically(driveRoot / configFileName, encodeConfig(config)))
        return configError(*failure);
    return std::nullopt;
}

std::optional<ConfigError> removeConfig(const std::filesystem::path& driveRoot) {
    const auto path = driveRoot / configFileName;
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return configError(FileError{errno, "remove", path});
    return std::nullopt;
}

std::optional<std::filesystem::path> setConfigAside(const std::filesystem::path& driveRoot, Date at,
                                                    std::error_code& error) {
    error.clear();
    const auto path = driveRoot / configFileName;
    struct stat status {};
    if (::lstat(path.c_str(), &status) != 0) {
        if (errno != ENOENT)
            error.assign(errno, std::generic_category());
        return std::nullopt;
    }
    const std::string stamp = formatIsoDate(at); // 2026-12-04T18:00:00Z
    auto stamped = path;
    stamped += ".old-" + stamp.substr(0, 10) + "-" + stamp.substr(11, 2) + stamp.substr(14, 2) +
               stamp.substr(17, 2);
    // Never over a file set aside earlier in the same second: that one gets "-2", "-3", …
    for (int attempt = 1; attempt <= 100; ++attempt) {
        auto aside = stamped;
        if (attempt > 1) {
            aside += "-";
            aside += std::to_string(attempt);
        }
        int result = ::renameat2(AT_FDCWD, path.c_str(), AT_FDCWD, aside.c_str(), RENAME_NOREPLACE);
        if (result != 0 && errno == EINVAL) {
            // A file system that cannot refuse atomically: look first.
            struct stat existing {};
            if (::lstat(aside.c_str(), &existing) == 0)
                errno = EEXIST;
            else
                result = ::rename(path.c_str(), aside.c_str());
        }
        if (result == 0)
            return aside;
        if (errno != EEXIST)
            break;
    }
    error.assign(errno, std::generic_category());
    return std::nullopt;
}

} // namespace keelbox
