#include "core/MountTable.h"

#include "core/PosixFile.h"
#include "core/Uuid.h"

#include <charconv>

namespace keelbox {

namespace {

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

std::optional<unsigned> toUnsigned(std::string_view text) {
    unsigned value = 0;
    const auto [end, error] = std::from_chars(text.data(), text.data() + text.size(), value);
    if (error != std::errc{} || end != text.data() + text.size() || text.empty())
        return std::nullopt;
    return value;
}

std::vector<std::string_view> splitFields(std::string_view line) {
    std::vector<std::string_view> fields;
    std::size_t start = std::string_view::npos;
    for (std::size_t i = 0; i <= line.size(); ++i) {
        const bool space = i == line.size() || line[i] == ' ' || line[i] == '\t';
        if (space && start != std::string_view::npos) {
            fields.push_back(line.substr(start, i - start));
            start = std::string_view::npos;
        } else if (!space && start == std::string_view::npos) {
            start = i;
        }
    }
    return fields;
}

} // namespace

std::string decodeMountField(std::string_view field) {
    std::string out;
    out.reserve(field.size());
    for (std::size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            const int value =
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xff) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += field[i];
    }
    return out;
}

std::optional<MountEntry> parseMountLine(std::string_view line) {
    // 36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue
    const std::vector<std::string_view> fields = splitFields(line);
    std::size_t separator = 0;
    for (std::size_t i = 6; i < fields.size() && separator == 0; ++i) {
        if (fields[i] == "-")
            separator = i;
    }
    if (separator == 0 || fields.size() < separator + 3)
        return std::nullopt;
    const std::size_t colon = fields[2].find(':');
    const auto mountId = toUnsigned(fields[0]);
    const auto parentId = toUnsigned(fields[1]);
    const auto major = toUnsigned(fields[2].substr(0, colon));
    const auto minor =
        colon == std::string_view::npos ? std::nullopt : toUnsigned(fields[2].substr(colon + 1));
    if (!mountId || !parentId || !major || !minor)
        return std::nullopt;
    MountEntry entry;
    entry.mountId = static_cast<int>(*mountId);
    entry.parentId = static_cast<int>(*parentId);
    entry.major = *major;
    entry.minor = *minor;
    entry.root = decodeMountField(fields[3]);
    entry.mountPoint = decodeMountField(fields[4]);
    entry.mountOptions = decodeMountField(fields[5]);
    entry.fsType = decodeMountField(fields[separator + 1]);
    entry.source = decodeMountField(fields[separator + 2]);
    if (fields.size() > separator + 3)
        entry.superOptions = decodeMountField(fields[separator + 3]);
    if (!entry.mountPoint.starts_with('/'))
        return std::nullopt;
    return entry;
}

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> entries;
    while (!text.empty()) {
        const std::size_t end = std::min(text.find('\n'), text.size());
        if (auto entry = parseMountLine(text.substr(0, end)))
            entries.push_back(std::move(*entry));
        text.remove_prefix(std::min(end + 1, text.size()));
    }
    return entries;
}

std::vector<MountEntry> readMountTable(const std::filesystem::path& path) {
    // A line a mount: thousands of them stay far below the limit.
    return parseMountInfo(readFile(path, 64 << 20).text);
}

std::string decodeUdevName(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x' &&
            hexDigitValue(name[i + 2]) >= 0 && hexDigitValue(name[i + 3]) >= 0) {
            out += static_cast<char>(hexDigitValue(name[i + 2]) * 16 + hexDigitValue(name[i + 3]));
            i += 3;
            continue;
        }
        out += name[i];
    }
    return out;
}

} // namespace keelbox
