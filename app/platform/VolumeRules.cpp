#include "app/platform/VolumeRules.h"

#include <QFile>

#include <limits>

#include <sys/statvfs.h>

namespace keelbox::app {

namespace {

bool isOctal(char c) {
    return c >= '0' && c <= '7';
}

int hexValue(QChar c) {
    const char16_t u = c.unicode();
    if (u >= '0' && u <= '9')
        return u - '0';
    if (u >= 'a' && u <= 'f')
        return u - 'a' + 10;
    if (u >= 'A' && u <= 'F')
        return u - 'A' + 10;
    return -1;
}

std::optional<unsigned> toUnsigned(QByteArrayView text) {
    bool ok = false;
    const unsigned value = text.toUInt(&ok);
    if (!ok)
        return std::nullopt;
    return value;
}

std::vector<QByteArrayView> splitFields(QByteArrayView line) {
    std::vector<QByteArrayView> fields;
    qsizetype start = -1;
    for (qsizetype i = 0; i <= line.size(); ++i) {
        const bool space = i == line.size() || line[i] == ' ' || line[i] == '\t';
        if (space && start >= 0) {
            fields.push_back(line.sliced(start, i - start));
            start = -1;
        } else if (!space && start < 0) {
            start = i;
        }
    }
    return fields;
}

QStringList splitOptions(QByteArrayView field) {
    return unescapeMountField(field).split(u',', Qt::SkipEmptyParts);
}

} // namespace

QString unescapeMountField(QByteArrayView field) {
    QByteArray bytes;
    bytes.reserve(field.size());
    for (qsizetype i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && isOctal(field[i + 1]) &&
            isOctal(field[i + 2]) && isOctal(field[i + 3])) {
            const int value =
                (field[i + 1] - '0') * 64 + (field[i + 2] - '0') * 8 + (field[i + 3] - '0');
            if (value <= 0xff) {
                bytes.append(static_cast<char>(value));
                i += 3;
                continue;
            }
        }
        bytes.append(field[i]);
    }
    return QFile::decodeName(bytes);
}

std::optional<MountInfoEntry> parseMountInfoLine(QByteArrayView line) {
    // 36 35 98:0 /mnt1 /mnt2 rw,noatime master:1 - ext3 /dev/root rw,errors=continue
    const std::vector<QByteArrayView> fields = splitFields(line);
    std::size_t separator = 0;
    for (std::size_t i = 6; i < fields.size(); ++i) {
        if (fields[i] == "-") {
            separator = i;
            break;
        }
    }
    if (separator == 0 || fields.size() < separator + 3)
        return std::nullopt;

    MountInfoEntry entry;
    const auto mountId = toUnsigned(fields[0]);
    const auto parentId = toUnsigned(fields[1]);
    const qsizetype colon = fields[2].indexOf(':');
    if (!mountId || !parentId || colon <= 0)
        return std::nullopt;
    const auto major = toUnsigned(fields[2].first(colon));
    const auto minor = toUnsigned(fields[2].sliced(colon + 1));
    if (!major || !minor)
        return std::nullopt;
    entry.mountId = static_cast<int>(*mountId);
    entry.parentId = static_cast<int>(*parentId);
    entry.major = *major;
    entry.minor = *minor;
    entry.root = unescapeMountField(fields[3]);
    entry.mountPoint = unescapeMountField(fields[4]);
    entry.mountOptions = splitOptions(fields[5]);
    entry.fsType = unescapeMountField(fields[separator + 1]);
    entry.source = unescapeMountField(fields[separator + 2]);
    if (fields.size() > separator + 3)
        entry.superOptions = splitOptions(fields[separator + 3]);
    if (entry.mountPoint.isEmpty() || !entry.mountPoint.startsWith(u'/'))
        return std::nullopt;
    return entry;
}

std::vector<MountInfoEntry> parseMountInfo(QByteArrayView text) {
    std::vector<MountInfoEntry> entries;
    qsizetype start = 0;
    while (start < text.size()) {
        qsizetype end = text.indexOf('\n', start);
        if (end < 0)
            end = text.size();
        if (auto entry = parseMountInfoLine(text.sliced(start, end - start)))
            entries.push_back(std::move(*entry));
        start = end + 1;
    }
    return entries;
}

QString decodeUdevEscapes(QStringView name) {
    QByteArray bytes;
    for (qsizetype i = 0; i < name.size();) {
        if (name[i] == u'\\' && i + 3 < name.size() && name[i + 1] == u'x' &&
            hexValue(name[i + 2]) >= 0 && hexValue(name[i + 3]) >= 0) {
            bytes.append(static_cast<char>(hexValue(name[i + 2]) * 16 + hexValue(name[i + 3])));
            i += 4;
            continue;
        }
        const qsizetype n = name[i].isHighSurrogate() && i + 1 < name.size() ? 2 : 1;
        bytes.append(name.sliced(i, n).toUtf8());
        i += n;
    }
    return QString::fromUtf8(bytes);
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

bool isMountTableCandidate(const MountInfoEntry& entry) {
    return entry.root == QLatin1String("/") && isLocalDriveFileSystem(entry.fsType) &&
           isRemovableMountLocation(entry.mountPoint);
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
