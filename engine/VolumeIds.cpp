#include "engine/VolumeIds.h"

#include "core/PosixFile.h"
#include "engine/PathSafety.h"
#include "engine/SysCalls.h"

#include <sstream>
#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace keelbox {

namespace fs = std::filesystem;

namespace {

// A udev record or a sysfs value: a few hundred bytes.
std::string readSmallText(const fs::path& path) {
    return readFile(path, 1 << 20).text;
}

// The name of the link in `folder` that leads to the block device `device`.
std::string linkNameFor(const fs::path& folder, dev_t device) {
    std::error_code ec;
    for (const fs::directory_entry& entry : fs::directory_iterator(folder, ec)) {
        struct stat st {};
        if (sysCalls().fstatat(AT_FDCWD, entry.path().c_str(), &st, 0) == 0 &&
            S_ISBLK(st.st_mode) && st.st_rdev == device)
            return decodeUdevName(entry.path().filename().string());
    }
    return {};
}

} // namespace

VolumeIds volumeIds(const fs::path& root, const VolumeIdSources& sources) {
    VolumeIds ids;
    const fs::path wanted = resolvedLocation(root);
    const MountEntry* mount = nullptr;
    const std::vector<MountEntry> entries = readMountTable(sources.mountInfo);
    // The last mount on a folder is the one in effect.
    for (const MountEntry& entry : entries) {
        if (fs::path(entry.mountPoint) == wanted)
            mount = &entry;
    }
    if (mount == nullptr)
        return ids;
    ids.mountPoint = true;
    // A FUSE file system has a device number of its own; the device it reads is its source.
    dev_t device = ::makedev(mount->major, mount->minor);
    struct stat st {};
    if (mount->source.starts_with('/') &&
        sysCalls().fstatat(AT_FDCWD, mount->source.c_str(), &st, 0) == 0 && S_ISBLK(st.st_mode))
        device = st.st_rdev;

    std::string recordName = "b";
    recordName += std::to_string(::major(device));
    recordName += ':';
    recordName += std::to_string(::minor(device));
    std::istringstream record(readSmallText(sources.udevData / recordName));
    std::string line, serial, composedSerial;
    bool onBus = false;
    while (std::getline(record, line)) {
        if (line.starts_with("E:ID_FS_UUID="))
            ids.uuid = line.substr(13);
        else if (line.starts_with("E:ID_FS_LABEL_ENC="))
            ids.label = decodeUdevName(line.substr(18));
        else if (line.starts_with("E:ID_SERIAL_SHORT="))
            serial = line.substr(18);
        else if (line.starts_with("E:ID_SERIAL="))
            composedSerial = line.substr(12);
        else if (line.starts_with("E:ID_BUS="))
            onBus = true;
    }
    // On USB and ATA, ID_SERIAL without ID_SERIAL_SHORT is only the maker and model, which
    // clones of one model share; a memory card's ID_SERIAL is the card's own.
    if (serial.empty() && !onBus)
        serial = composedSerial;
    if (!serial.empty()) {
        ids.hardware = "serial:" + serial;
    } else if (std::string backing =
                   readSmallText(sources.sysBlock / recordName.substr(1) / "loop/backing_file");
               !backing.empty()) {
        while (!backing.empty() && backing.back() == '\n')
            backing.pop_back();
        ids.hardware = "file:" + backing;
    } else if (mount->source.starts_with('/') && S_ISREG(st.st_mode)) {
        ids.hardware = "file:" + mount->source;
    }
    if (ids.uuid.empty())
        ids.uuid = linkNameFor(sources.byUuid, device);
    if (ids.label.empty())
        ids.label = linkNameFor(sources.byLabel, device);
    return ids;
}

} // namespace keelbox
