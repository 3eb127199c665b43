#include "app/platform/DriveIdentity.h"

#include "app/platform/MountTableVolumes.h"
#include "app/platform/VolumeRules.h"

#include <QFile>

#include <sys/stat.h>
#include <sys/sysmacros.h>

namespace keelbox::app {

MountedFileSystem probeDrive(const QString& mountPath, const QString& mountInfoPath,
                             const QString& uuidDir) {
    MountedFileSystem identity;
    const QString wanted = normalizeMountPath(mountPath);
    if (wanted.isEmpty())
        return identity;
    std::optional<MountEntry> top;
    // The last mount on a path is the one that is seen there.
    for (MountEntry& entry : readMountTable(QFile::encodeName(mountInfoPath).toStdString())) {
        if (mountPathOf(entry) == wanted)
            top = std::move(entry);
    }
    struct stat info {};
    if (!top || ::stat(QFile::encodeName(wanted).constData(), &info) != 0)
        return identity;
    // The table is read first: a drive mounted over or unmounted between the two reads shows up
    // as a different device and is not taken for the one listed.
    if (info.st_dev != makedev(top->major, top->minor))
        return identity;
    identity.mounted = true;
    identity.deviceNumber = info.st_dev;
    identity.source = decodedName(top->source);
    identity.uuid = labelForDevice(identity.source, uuidDir);
    return identity;
}

DriveMatch compareDrives(const MountedFileSystem& then, const MountedFileSystem& now) {
    if (!then.mounted || !now.mounted)
        return DriveMatch::gone;
    if (!then.uuid.isEmpty() && !now.uuid.isEmpty())
        return then.uuid == now.uuid ? DriveMatch::same : DriveMatch::other;
    return then.deviceNumber == now.deviceNumber ? DriveMatch::same : DriveMatch::other;
}

} // namespace keelbox::app
