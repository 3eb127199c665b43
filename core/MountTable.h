#pragma once
// The kernel's table of mounts (/proc/self/mountinfo) and udev's escaped names, read without Qt
// so that the engine, the command line and the desktop side share one reading of them.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox {

// One line of the table, its octal escapes ("\040" and friends) decoded.
struct MountEntry {
    int mountId = 0;
    int parentId = 0;
    unsigned major = 0;
    unsigned minor = 0;
    std::string root;       // the part of the file system mounted here, "/" for a whole volume
    std::string mountPoint; // always absolute
    std::string mountOptions;
    std::string fsType; // e.g. "ext4", "fuseblk", "fuse.fusefat"
    std::string source; // e.g. "/dev/sdb1", "fusefat"
    std::string superOptions;
};

// Decodes the kernel's escapes in one field; anything that is not a well-formed three-digit
// escape of a byte is kept as it is.
std::string decodeMountField(std::string_view field);

// One line; nothing when it is malformed.
std::optional<MountEntry> parseMountLine(std::string_view line);
// A whole table, malformed lines skipped.
std::vector<MountEntry> parseMountInfo(std::string_view text);
// The table of this process's mount namespace; empty when it cannot be read.
std::vector<MountEntry> readMountTable(const std::filesystem::path& path = "/proc/self/mountinfo");

// Decodes the \xNN escapes udev puts in names ("My\x20Stick"); a malformed escape is kept.
std::string decodeUdevName(std::string_view name);

} // namespace keelbox
