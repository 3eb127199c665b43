#pragma once
// What tells one mounted drive from another at the same mount path: a backup captures it when it
// is started and compares it again when its turn comes, so that it never copies (or mirrors) a
// different stick, or the empty folder an unmounted drive leaves behind.

#include <QString>

#include <cstdint>

namespace keelbox::app {

// What is mounted at a path, as one probe found it.
struct MountedFileSystem {
    // The path is the root of a mounted file system (not a folder that outlived its mount).
    bool mounted = false;
    std::uint64_t deviceNumber = 0; // st_dev of the mounted file system
    QString source;                 // what is mounted, e.g. "/dev/sdb1"
    QString uuid;                   // the file system's UUID as udev publishes it; may be empty
};

// Reads the mount table and udev's UUID links for the file system mounted at `mountPath`.
// `mountInfoPath` and `uuidDir` are replaceable for tests.
MountedFileSystem probeDrive(const QString& mountPath,
                             const QString& mountInfoPath = QStringLiteral("/proc/self/mountinfo"),
                             const QString& uuidDir = QStringLiteral("/dev/disk/by-uuid"));

enum class DriveMatch {
    same,
    gone,  // nothing is mounted at the path any more
    other, // another file system is mounted there
};

// Whether `now` is still the drive captured as `then`. UUIDs decide when both are known (a stick
// plugged in again may come back on another device number); otherwise the device numbers do.
DriveMatch compareDrives(const MountedFileSystem& then, const MountedFileSystem& now);

} // namespace keelbox::app
