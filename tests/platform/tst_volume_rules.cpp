// The pure rules of volume discovery, and the mount-table monitor over a mountinfo file.

#include "app/platform/DriveIdentity.h"
#include "app/platform/MountTableVolumes.h"
#include "app/platform/UDisks2Volumes.h"
#include "app/platform/VolumeRules.h"
#include "tests/support/QtFiles.h"

#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::test;
using namespace Qt::StringLiterals;

const QByteArray baseTable = "22 1 253:1 / / rw,relatime - ext4 /dev/vda rw\n"
                             "23 22 0:5 / /proc rw - proc proc rw\n";

class VolumeRulesTest : public QObject {
    Q_OBJECT
private slots:
    void parsesMountInfoLines();
    void decidesMountTableCandidates();
    void decidesUDisksCandidates();
    void choosesDisplayNames();
    void computesCapacities();
    void mountTableMonitor();
    void comparesDrives();
};

void VolumeRulesTest::parsesMountInfoLines() {
    // A line and what it gives: mount point|type|source|root|minor; empty: rejected.
    for (const auto& [line, expected] : std::initializer_list<std::pair<std::string, QString>>{
             {"45 26 7:2 / /media/root/EXTSTICK rw,nosuid,nodev,relatime shared:12 - ext4 "
              "/dev/loop2 rw,errors=remount-ro",
              u"/media/root/EXTSTICK|ext4|/dev/loop2|/|2"_s},
             // Several optional fields, and escapes.
             {"50 26 8:17 /sub /run/media/ola/Zdjęcia\\0402024 rw shared:3 master:1 "
              "propagate_from:2 - vfat /dev/sdb1 rw",
              u"/run/media/ola/Zdjęcia 2024|vfat|/dev/sdb1|/sub|17"_s},
             {"47 26 0:40 / /mnt/fat rw - fuse.fusefat fusefat", // no super options
              u"/mnt/fat|fuse.fusefat|fusefat|/|40"_s},
             {"45 26 7:2 / /media/x rw ext4 /dev/loop2 rw", {}},     // no separator
             {"45 26 7:2 / /media/x rw -", {}},                      // nothing after the separator
             {"45 26 7:2 / media/x rw - ext4 /dev/loop2 rw", {}}}) { // relative mount point
        const std::optional<MountEntry> entry = parseMountLine(line);
        QCOMPARE(entry ? u"%1|%2|%3|%4|%5"_s
                             .arg(mountPathOf(*entry), decodedName(entry->fsType),
                                  decodedName(entry->source), decodedName(entry->root))
                             .arg(entry->minor)
                       : QString(),
                 expected);
        // In a whole table, the lines that do not parse are skipped.
        QCOMPARE(parseMountInfo("garbage\n\n" + line).size(), std::size_t(entry ? 1 : 0));
    }
}

void VolumeRulesTest::decidesMountTableCandidates() {
    // Mount point, file system type, the part of it mounted there: a drive of its own or not. (A
    // disk below /mnt and a local FUSE drive are real ones in RealVolumesTest::mountTableFollows….)
    for (const auto& [mountPoint, fsType, root, candidate] :
         std::initializer_list<std::tuple<std::string, std::string, std::string, bool>>{
             {"/media/ola/STICK", "vfat", "/", true},
             {"/run/media/ola", "ext4", "/", false},    // the user's folder itself
             {"/mnt/server", "fuse.sshfs", "/", false}, // remote
             {"/mnt/x", "fuse.", "/", false},
             {"/mnt/sub", "ext4", "/data", false}, // bind mount of a subfolder
             {"/media/../etc", "ext4", "/", false},
             {"/mediaextra/x", "ext4", "/", false}}) {
        const MountEntry entry{0, 0, 0, 0, root, mountPoint, {}, fsType, {}, {}};
        QVERIFY2(isMountTableCandidate(entry) == candidate, mountPoint.c_str());
    }
}

void VolumeRulesTest::decidesUDisksCandidates() {
    // Mounted in every row; hiding and mounting are followed in the UDisks2 monitor's test.
    const QVariantMap filesystem{
        {u"MountPoints"_s, QVariant::fromValue(QByteArrayList{"/media/u/STICK"})}};
    for (const auto& [key, value, candidate] :
         std::initializer_list<std::tuple<QString, QVariant, bool>>{
             {u"IdUsage"_s, u"filesystem"_s, true},
             {u"IdUsage"_s, QString(), true}, // usage unknown
             {u"HintSystem"_s, true, false},
             {u"IdUsage"_s, u"other"_s, false}}) {
        QVariantMap block{{u"IdUsage"_s, u"filesystem"_s}};
        block.insert(key, value);
        const InterfaceMap interfaces{{u"org.freedesktop.UDisks2.Block"_s, block},
                                      {u"org.freedesktop.UDisks2.Filesystem"_s, filesystem}};
        QVERIFY2(isUDisksCandidate(blockFacts(interfaces)) == candidate, qPrintable(key));
    }
}

void VolumeRulesTest::choosesDisplayNames() {
    // Label, hint name, mount path: the first one that is not blank, the label as it stands (one
    // that climbs folders is a real stick's in RealVolumesTest::udisksDrivesComeAndGo).
    for (const auto& [label, hint, path, expected] : std::initializer_list<std::array<QString, 4>>{
             {{u"STICK"_s, u"Camera"_s, u"/media/u/x"_s, u"STICK"_s}},
             {{{}, u"Camera"_s, u"/media/u/x"_s, u"Camera"_s}},
             {{u"   "_s, {}, u"/media/u/DISK"_s, u"DISK"_s}},
             {{{}, {}, u"/media/u/My Disk/"_s, u"My Disk"_s}}})
        QCOMPARE(volumeDisplayName(label, hint, path), expected);
}

void VolumeRulesTest::computesCapacities() {
    // File system figures (block size, blocks, available) or none, the device size: total, free.
    using O = std::optional<qint64>;
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    constexpr quint64 umax = std::numeric_limits<quint64>::max(), tera = quint64(1) << 40;
    for (const auto& [stats, fallback, total, available] :
         std::initializer_list<std::tuple<std::optional<FsStats>, O, O, O>>{
             {FsStats{4096, 16384, 16000}, {}, 67108864, 65536000}, // a 64 MiB stick
             {FsStats{512, 0, 0}, 67108864, 67108864, {}},          // no blocks: the device size
             {std::nullopt, 1000, 1000, {}},                        // statvfs failed
             {std::nullopt, 0, {}, {}},                             // a zero device size is no size
             {FsStats{1, umax, umax}, {}, max, max},                // clamped
             {FsStats{tera, tera, 1}, {}, max, qint64(tera)}}) {
        const Capacities got = volumeCapacities(stats, fallback);
        QCOMPARE(std::pair(got.total, got.available), std::pair(total, available));
    }
}

void VolumeRulesTest::mountTableMonitor() {
    QTemporaryDir dir;
    const QString table = dir.filePath(u"mountinfo"_s);
    const QByteArray old = "30 22 7:1 / /media/u/OLD rw - ext4 /dev/loop1 rw\n";
    const QByteArray stick = " 22 7:2 / /media/u/My\\040Stick rw - fuseblk /dev/loop2 rw\n";
    QVERIFY(writeFile(table, baseTable + old));
    MountTableVolumeMonitor monitor(nullptr, table, dir.filePath(u"by-label"_s));
    QSignalSpy mounted(&monitor, &VolumeMonitor::volumeMounted);
    QSignalSpy unmounted(&monitor, &VolumeMonitor::volumeUnmounted);
    QVERIFY(monitor.start());

    // A stick and a network share arrive; only the stick is announced, once.
    QVERIFY(writeFile(table, baseTable + old + "31" + stick +
                                 "32 22 0:50 / /mnt/nas rw - nfs4 s:/x rw\n"));
    monitor.rescan();
    monitor.rescan();
    QCOMPARE(mounted.count(), 1);
    QCOMPARE(mounted.takeFirst().at(0).toString(), u"/media/u/My Stick"_s);
    // The old one goes, and the stick is remounted at the same place (a new mount id).
    QVERIFY(writeFile(table, baseTable + "33" + stick));
    monitor.rescan();
    QCOMPARE(std::pair(unmounted.count(), mounted.count()), std::pair(qsizetype(2), qsizetype(1)));

    // Drives are named by their label links; a dangling link or a non-path source names nothing.
    const QString labels = dir.filePath(u"by-label"_s);
    const QString device = dir.filePath(u"fake-device"_s);
    QVERIFY(QDir().mkpath(labels) && writeFile(device, "x"));
    QVERIFY(QFile::link(dir.filePath(u"gone"_s), labels + u"/DANGLING"_s));
    QVERIFY(QFile::link(device, labels + u"/Zdj\\xc4\\x99cia\\x20Stick"_s));
    QCOMPARE(QStringList({labelForDevice(device, labels),
                          labelForDevice(dir.filePath(u"unlabelled"_s), labels),
                          labelForDevice(u"fusefat"_s, labels)}),
             QStringList({u"Zdjęcia Stick"_s, QString(), QString()}));

    // A candidate whose mount point does not answer statvfs is not listed.
    QVERIFY(writeFile(table, baseTable + "40 22 7:9 / /mnt/keelbox-no-such-mount rw - ext4 " +
                                 QFile::encodeName(device) + " rw\n"));
    monitor.rescan();
    QVERIFY(monitor.mountedVolumes().empty());
}

void VolumeRulesTest::comparesDrives() {
    // A backup started for UUID "A" on device 7, and what is at its path now.
    const QString dev = u"/dev/sdb1"_s;
    const MountedFileSystem then{true, 7, dev, u"A"_s};
    for (const auto& [now, match] : std::initializer_list<std::pair<MountedFileSystem, DriveMatch>>{
             {{true, 9, dev, u"A"_s}, DriveMatch::same},  // plugged in again elsewhere
             {{true, 7, dev, u"B"_s}, DriveMatch::other}, // another stick, same device
             {{true, 7, dev, {}}, DriveMatch::same},      // UUID unknown now
             {{true, 9, dev, {}}, DriveMatch::other},
             {{false, 0, dev, {}}, DriveMatch::gone}}) { // the empty mount folder
        QCOMPARE(compareDrives(then, now), match);
        // Nothing captured at start (it was not mounted then) never matches.
        QCOMPARE(compareDrives(MountedFileSystem{}, now), DriveMatch::gone);
    }
}

QTEST_GUILESS_MAIN(VolumeRulesTest)
#include "tst_volume_rules.moc"
