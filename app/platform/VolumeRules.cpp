#include "app/platform/VolumeRules.h"

#include <QFile>

#include <limits>

#include <sys/statvfs.h>

namespace keelbox::app {

namespace {} // namespace

QString decodedName(const std::string& bytes) {
    return QFile::decodeName(QByteArray::fromStdString(bytes));
}

QString mountPathOf(const MountEntry& entry) {
    return normalizeMountPath(decodedName(entry.mountPoint));
}

QString decodeUdevEscapes(QStringView name) {
    return QString::fromStdString(decodeUdevName(name.toUtf8().toStdString()));
}

QString decodeByteString(const QByteArray& bytes) {
    const qsizetype nul = bytes.indexOf('\0');
    return QFile::decodeName(nul < 0 ? bytes : bytes.first(nul));
}

QString normalizeMountPath(const QString& path) {
    QString result = path;
    while (result.size() > 1 && result.endsWith(u'/'))
        result.chop(1);
    return result;
}

QString lastPathComponent(const QString& mountPath) {
    const QString path = normalizeMountPath(mountPath);
    const qsizetype slash = path.lastIndexOf(u'/');
    const QString last = slash < 0 ? path : path.mid(slash + 1);
    return last.isEmpty() ? path : last;
}

bool isLocalDriveFileSystem(const QString& fsType) {
    static const QStringList local = {
        QStringLiteral("vfat"),     QStringLiteral("msdos"),   QStringLiteral("exfat"),
        QStringLiteral("fuseblk"),  QStringLiteral("ntfs"),    QStringLiteral("ntfs3"),
        QStringLiteral("ext2"),     QStringLiteral("ext3"),    QStringLiteral("ext4"),
        QStringLiteral("btrfs"),    QStringLiteral("xfs"),     QStringLiteral("f2fs"),
        QStringLiteral("hfs"),      QStringLiteral("hfsplus"), QStringLiteral("udf"),
        QStringLiteral("iso9660"),  QStringLiteral("jfs"),     QStringLiteral("nilfs2"),
        QStringLiteral("reiserfs"), QStringLiteral("apfs"),
    };
    if (local.contains(fsType))
        return true;
    if (!fsType.startsWith(QLatin1String("fuse.")))
        return false;
    // FUSE drivers for drives (fuse.fusefat, fuse.exfat, fuse.ntfs-3g) count; FUSE file systems
    // that reach over the network or present something other than a drive do not.
    static const QStringList notDrives = {
        QStringLiteral("sshfs"),        QStringLiteral("rclone"),    QStringLiteral("s3fs"),
        QStringLiteral("gvfsd-fuse"),   QStringLiteral("portal"),    QStringLiteral("davfs"),
        QStringLiteral("curlftpfs"),    QStringLiteral("gocryptfs"), QStringLiteral("encfs"),
        QStringLiteral("lxcfs"),        QStringLiteral("snapfuse"),  QStringLiteral("squashfuse"),
        QStringLiteral("appimagefuse"), QStringLiteral("bindfs"),    QStringLiteral("mergerfs"),
        QStringLiteral("glusterfs"),    QStringLiteral("ceph-fuse"), QStringLiteral("kio-fuse"),
        QStringLiteral("doc"),
    };
    const QString driver = fsType.mid(5);
    return !driver.isEmpty() && !notDrives.contains(driver);
}

bool isRemovableMountLocation(const QString& mountPoint) {
    const QString path = normalizeMountPath(mountPoint);
    const QStringList parts = path.split(u'/', Qt::SkipEmptyParts);
    if (parts.contains(QStringLiteral("..")) || parts.contains(QStringLiteral(".")))
        return false;
    if (parts.size() >= 2 &&
        (parts[0] == QLatin1String("media") || parts[0] == QLatin1String("mnt")))
        return true;
    // /run/media/<user>/<volume>
    return parts.size() >= 4 && parts[0] == QLatin1String("run") &&
           parts[1] == QLatin1String("media");
}

bool isMountTableCandidate(const MountEntry& entry) {
    return entry.root == "/" && isLocalDriveFileSystem(decodedName(entry.fsType)) &&
           isRemovableMountLocation(decodedName(entry.mountPoint));
}

bool isUDisksCandidate(const BlockFacts& facts) {
    if (!facts.hasFilesystem || facts.mountPoints.isEmpty())
        return false;
    if (facts.hintSystem || facts.hintIgnore)
        return false;
    // Swap, RAID members and locked containers carry no browsable files.
    return facts.idUsage.isEmpty() || facts.idUsage == QLatin1String("filesystem");
}

QString volumeDisplayName(const QString& label, const QString& hintName, const QString& mountPath) {
    if (!label.trimmed().isEmpty())
        return label;
    if (!hintName.trimmed().isEmpty())
        return hintName;
    return lastPathComponent(mountPath);
}

namespace {

qint64 clampedProduct(std::uint64_t a, std::uint64_t b) {
    constexpr auto max = static_cast<std::uint64_t>(std::numeric_limits<qint64>::max());
    if (a != 0 && b > max / a)
        return std::numeric_limits<qint64>::max();
    return static_cast<qint64>(a * b);
}

} // namespace

Capacities volumeCapacities(const std::optional<FsStats>& stats,
                            std::optional<qint64> fallbackTotal) {
    if (stats) {
        const qint64 total = clampedProduct(stats->blocks, stats->blockSize);
        if (total >= 1) {
            const qint64 available = clampedProduct(stats->blocksAvailable, stats->blockSize);
            return {total, available < 0 ? 0 : available};
        }
    }
    if (fallbackTotal && *fallbackTotal >= 1)
        return {fallbackTotal, std::nullopt};
    return {};
}

std::optional<FsStats> readFsStats(const QString& path) {
    struct statvfs st {};
    if (::statvfs(QFile::encodeName(path).constData(), &st) != 0)
        return std::nullopt;
    // On Linux the block counts are in units of f_frsize; f_bsize is only the preferred I/O size.
    FsStats stats;
    stats.blockSize = st.f_frsize != 0 ? st.f_frsize : st.f_bsize;
    stats.blocks = st.f_blocks;
    stats.blocksAvailable = st.f_bavail;
    return stats;
}

} // namespace keelbox::app
