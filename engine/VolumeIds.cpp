#include "engine/VolumeIds.h"

#include "engine/PathSafety.h"

#include <fstream>
#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace keelbox {

namespace fs = std::filesystem;

namespace {

std::string decodeOctal(std::string_view text) {
    std::string out;
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\\' && i + 3 < text.size() && text[i + 1] >= '0' && text[i + 1] <= '3') {
            out += static_cast<char>((text[i + 1] - '0') * 64 + (text[i + 2] - '0') * 8 +
                                     (text[i + 3] - '0'));
            i += 3;
        } else {
            out += text[i];
        }
    }
    return out;
}

std::string readText(const fs::path& path) {
    std::ifstream file(path);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

// The name of the link in `folder` that leads to the block device `device`.
std::string linkNameFor(const fs::path& folder, dev_t device) {
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        struct stat st {};
        if (::stat(entry.path().c_str(), &st) == 0 && S_ISBLK(st.st_mode) && st.st_rdev == device)
            return decodeUdevName(entry.path().filename().string());
    }
    return {};
}

} // namespace

std::string decodeUdevName(std::string_view name) {
    std::string out;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (name[i] == '\\' && i + 3 < name.size() && name[i + 1] == 'x') {
            const std::string hex{name.substr(i + 2, 2)};
            char* end = nullptr;
            const long value = std::strtol(hex.c_str(), &end, 16);
            if (end == hex.c_str() + 2) {
                out += static_cast<char>(value);
                i += 3;
                continue;
            }
        }
        out += name[i];
    }
    return out;
}

std::vector<MountEntry> parseMountInfo(std::string_view text) {
    std::vector<MountEntry> out;
    std::istringstream lines{std::string(text)};
    std::string line;
    while (std::getline(lines, line)) {
        // ID PARENT MAJOR:MINOR ROOT MOUNTPOINT OPTIONS [OPTIONAL...] - TYPE SOURCE SUPER
        std::istringstream fields(line);
        std::string id, parent, device, root, point, word;
        if (!(fields >> id >> parent >> device >> root >> point))
            continue;
        MountEntry entry;
        entry.mountPoint = decodeOctal(point);
        if (std::sscanf(device.c_str(), "%u:%u", &entry.major, &entry.minor) != 2)
            continue;
        while (fields >> word && word != "-") {
        }
        std::string type;
        if (fields >> type >> word)
            entry.source = decodeOctal(word);
        out.push_back(std::move(entry));
    }
    return out;
}

VolumeIds volumeIds(const fs::path& root, const VolumeIdSources& sources) {
    VolumeIds ids;
    const fs::path wanted = resolvedLocation(root);
    const MountEntry* mount = nullptr;
    const std::vector<MountEntry> entries = parseMountInfo(readText(sources.mountInfo));
    // The last mount on a folder is the one in effect.
    for (const MountEntry& entry : entries) {
        if (entry.mountPoint == wanted)
            mount = &entry;
    }
    if (mount == nullptr)
        return ids;
    ids.mountPoint = true;
    // A FUSE file system has a device number of its own; the device it reads is its source.
    dev_t device = ::makedev(mount->major, mount->minor);
    struct stat st {};
    if (mount->source.starts_with('/') && ::stat(mount->source.c_str(), &st) == 0 &&
        S_ISBLK(st.st_mode))
        device = st.st_rdev;

    std::istringstream record(readText(sources.udevData / ("b" + std::to_string(::major(device)) +
                                                           ":" + std::to_string(::minor(device)))));
    std::string line;
    while (std::getline(record, line)) {
        if (line.starts_with("E:ID_FS_UUID="))
            ids.uuid = line.substr(13);
        else if (line.starts_with("E:ID_FS_LABEL_ENC="))
            ids.label = decodeUdevName(line.substr(18));
    }
    if (ids.uuid.empty())
        ids.uuid = linkNameFor(sources.byUuid, device);
    if (ids.label.empty())
        ids.label = linkNameFor(sources.byLabel, device);
    return ids;
}

} // namespace keelbox
