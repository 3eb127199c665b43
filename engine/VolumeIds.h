#pragma once
// What names a mounted drive outside its configuration: its file system's label and UUID, read
// from the mount table and udev's records without D-Bus (the command line has no Qt).

#include "core/MountTable.h"

#include <filesystem>
#include <string>

namespace keelbox {

struct VolumeIds {
    bool mountPoint = false;
    std::string label;
    std::string uuid;
    // What tells the device itself apart from a clone of its contents: the serial number udev
    // read from it, or for an image the file behind the loop device or FUSE mount. Empty when
    // neither is known.
    std::string hardware;
};

// Where the facts are read; tests point them elsewhere.
struct VolumeIdSources {
    std::filesystem::path mountInfo = "/proc/self/mountinfo";
    std::filesystem::path udevData = "/run/udev/data";
    std::filesystem::path byLabel = "/dev/disk/by-label";
    std::filesystem::path byUuid = "/dev/disk/by-uuid";
    std::filesystem::path sysBlock = "/sys/dev/block";
};

// The label and UUID of the file system mounted at `root`; both empty when `root` is not a mount
// point or udev knows nothing of its device.
VolumeIds volumeIds(const std::filesystem::path& root, const VolumeIdSources& sources = {});

} // namespace keelbox
