#pragma once
// The decisions behind volume discovery, apart from any I/O: which mounts count as drives, what
// they are called and how big they are. The backends feed them what the bus or the kernel reports.

#include "core/MountTable.h"

#include <QByteArray>
#include <QString>
#include <QStringList>

#include <cstdint>
#include <optional>
#include <vector>

namespace keelbox::app {

// A byte string from the kernel (a mount point, a device) in the file-name encoding.
QString decodedName(const std::string& bytes);
// Where `entry` is mounted, decoded and without trailing slashes.
QString mountPathOf(const MountEntry& entry);

// Decodes the \xNN escapes udev puts in /dev/disk/by-label names ("My\x20Stick").
QString decodeUdevEscapes(QStringView name);

// A UDisks2 byte string ("ay"): the bytes up to the first NUL, in the file-name encoding.
QString decodeByteString(const QByteArray& bytes);

// Removes trailing slashes ("/media/x/" → "/media/x"); "/" stays "/".
QString normalizeMountPath(const QString& path);

// The last component of a mount path, used when a volume has no label.
QString lastPathComponent(const QString& mountPath);

// File systems that live on a local block device (or a FUSE driver for one). Network and virtual
// file systems are never drives.
bool isLocalDriveFileSystem(const QString& fsType);

// Where desktops mount removable media: /media/…, /run/media/<user>/…, /mnt/…  The folders
// themselves are not volumes, only what is mounted below them.
bool isRemovableMountLocation(const QString& mountPoint);

// The candidate rule when only the kernel's mount table is known: a whole file system, of a
// local kind, mounted at a removable-media location.
bool isMountTableCandidate(const MountEntry& entry);

// What UDisks2 tells about one block device with a file system.
struct BlockFacts {
    bool hasFilesystem = false;
    QStringList mountPoints;
    bool hintSystem = false;
    bool hintIgnore = false;
    QString idUsage; // "filesystem", "crypto", ... ; empty when unknown
    QString idLabel;
    QString hintName;
};

// The candidate rule on UDisks2: a mounted file system on a block device that is neither a system
// device nor hidden. Whether the mount point answers statvfs is checked by the caller.
bool isUDisksCandidate(const BlockFacts& facts);

// The display name: the label, else the hint name, else the mount point's last component. A label
// is taken as it is, slashes, dots and control characters included; only an empty or blank label
// counts as missing.
QString volumeDisplayName(const QString& label, const QString& hintName, const QString& mountPath);

// File-system statistics as the kernel reports them (statvfs).
struct FsStats {
    std::uint64_t blockSize = 0; // f_frsize, the unit of the block counts
    std::uint64_t blocks = 0;
    std::uint64_t blocksAvailable = 0; // available to unprivileged users
};

struct Capacities {
    std::optional<qint64> total;
    std::optional<qint64> available;
    bool operator==(const Capacities&) const = default;
};

// Capacities from the statistics when they report a non-zero size; otherwise the fallback total
// (the device size the backend knows), with no available figure. Products beyond the 64-bit range
// are clamped to its maximum.
Capacities volumeCapacities(const std::optional<FsStats>& stats,
                            std::optional<qint64> fallbackTotal);

// statvfs on a path; nothing when the call fails.
std::optional<FsStats> readFsStats(const QString& path);

} // namespace keelbox::app
