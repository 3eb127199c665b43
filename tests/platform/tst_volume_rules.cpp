// The pure rules of volume discovery and the mount-table monitor over a mountinfo file it is
// handed.

#include "app/platform/MountTableVolumes.h"
#include "app/platform/VolumeRules.h"

#include <QDir>
#include <QFile>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

#include <limits>

using namespace keelbox::app;

Q_DECLARE_METATYPE(std::optional<qint64>)

class VolumeRulesTest : public QObject {
    Q_OBJECT
private slots:
    void unescapesMountFields_data();
    void unescapesMountFields();
    void parsesMountInfoLines_data();
    void parsesMountInfoLines();
    void skipsMalformedLinesInAFile();
    void decidesMountTableCandidates_data();
    void decidesMountTableCandidates();
    void decodesUdevLabels_data();
    void decodesUdevLabels();
    void decodesByteStrings();
    void choosesDisplayNames_data();
    void choosesDisplayNames();
    void computesCapacities_data();
    void computesCapacities();
    void decidesUDisksCandidates_data();
    void decidesUDisksCandidates();
    void mountTableMonitorAnnouncesChanges();
    void mountTableMonitorNamesDrivesByLabel();
};

void VolumeRulesTest::unescapesMountFields_data() {
    QTest::addColumn<QByteArray>("field");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << QByteArray("/media/root/STICK")
                           << QStringLiteral("/media/root/STICK");
    QTest::newRow("space") << QByteArray("/media/root/My\\040Stick")
                           << QStringLiteral("/media/root/My Stick");
    QTest::newRow("tab newline backslash")
        << QByteArray("/mnt/a\\011b\\012c\\134d") << QStringLiteral("/mnt/a\tb\nc\\d");
    QTest::newRow("utf-8 bytes stay utf-8") << QByteArray("/media/u/Zdj\xc4\x99"
                                                          "cia\\0402024")
                                            << QStringLiteral("/media/u/Zdjęcia 2024");
    QTest::newRow("short escape kept") << QByteArray("/mnt/a\\04") << QStringLiteral("/mnt/a\\04");
    QTest::newRow("non-octal digits kept")
        << QByteArray("/mnt/a\\089") << QStringLiteral("/mnt/a\\089");
    QTest::newRow("out of byte range kept")
        << QByteArray("/mnt/a\\777") << QStringLiteral("/mnt/a\\777");
    QTest::newRow("trailing backslash") << QByteArray("/mnt/a\\") << QStringLiteral("/mnt/a\\");
}

void VolumeRulesTest::unescapesMountFields() {
    QFETCH(QByteArray, field);
    QFETCH(QString, expected);
    QCOMPARE(unescapeMountField(field), expected);
}

void VolumeRulesTest::parsesMountInfoLines_data() {
    QTest::addColumn<QByteArray>("line");
    QTest::addColumn<bool>("valid");
    QTest::addColumn<QString>("mountPoint");
    QTest::addColumn<QString>("fsType");
    QTest::addColumn<QString>("source");
    QTest::addColumn<QString>("root");
    QTest::addColumn<uint>("minor");

    QTest::newRow("ext4 from udisks")
        << QByteArray("45 26 7:2 / /media/root/EXTSTICK rw,nosuid,nodev,relatime shared:12 - ext4 "
                      "/dev/loop2 rw,errors=remount-ro")
        << true << "/media/root/EXTSTICK"
        << "ext4"
        << "/dev/loop2"
        << "/" << 2u;
    QTest::newRow("fuseblk without optional fields")
        << QByteArray(
               "46 26 7:5 / /media/root/EXSTICK rw,nosuid,nodev,relatime - fuseblk /dev/loop5 "
               "rw,user_id=0,group_id=0,default_permissions,allow_other,blksize=4096")
        << true << "/media/root/EXSTICK"
        << "fuseblk"
        << "/dev/loop5"
        << "/" << 5u;
    QTest::newRow("several optional fields and escapes")
        << QByteArray("50 26 8:17 /sub /run/media/ola/My\\040Drive rw shared:3 master:1 "
                      "propagate_from:2 - vfat /dev/sdb1 rw")
        << true << "/run/media/ola/My Drive"
        << "vfat"
        << "/dev/sdb1"
        << "/sub" << 17u;
    QTest::newRow("no super options")
        << QByteArray("47 26 0:40 / /mnt/fat rw - fuse.fusefat fusefat") << true << "/mnt/fat"
        << "fuse.fusefat"
        << "fusefat"
        << "/" << 40u;
    QTest::newRow("tabs between fields")
        << QByteArray("48 26 7:3 / /mnt/x\trw - ext4 /dev/loop3 rw") << true << "/mnt/x"
        << "ext4"
        << "/dev/loop3"
        << "/" << 3u;
    QTest::newRow("no separator") << QByteArray("45 26 7:2 / /media/x rw ext4 /dev/loop2 rw")
                                  << false << ""
                                  << ""
                                  << ""
                                  << "" << 0u;
    QTest::newRow("separator but nothing after")
        << QByteArray("45 26 7:2 / /media/x rw -") << false << ""
        << ""
        << ""
        << "" << 0u;
    QTest::newRow("device number without colon")
        << QByteArray("45 26 72 / /media/x rw - ext4 /dev/loop2 rw") << false << ""
        << ""
        << ""
        << "" << 0u;
    QTest::newRow("ids not numbers")
        << QByteArray("a b 7:2 / /media/x rw - ext4 /dev/loop2 rw") << false << ""
        << ""
        << ""
        << "" << 0u;
    QTest::newRow("relative mount point")
        << QByteArray("45 26 7:2 / media/x rw - ext4 /dev/loop2 rw") << false << ""
        << ""
        << ""
        << "" << 0u;
    QTest::newRow("empty") << QByteArray() << false << ""
                           << ""
                           << ""
                           << "" << 0u;
}

void VolumeRulesTest::parsesMountInfoLines() {
    QFETCH(QByteArray, line);
    QFETCH(bool, valid);
    const std::optional<MountInfoEntry> entry = parseMountInfoLine(line);
    QCOMPARE(entry.has_value(), valid);
    if (!valid)
        return;
    QTEST(entry->mountPoint, "mountPoint");
    QTEST(entry->fsType, "fsType");
    QTEST(entry->source, "source");
    QTEST(entry->root, "root");
    QTEST(entry->minor, "minor");
}

void VolumeRulesTest::skipsMalformedLinesInAFile() {
    const QByteArray text = "garbage\n"
                            "45 26 7:2 / /media/root/A rw - ext4 /dev/loop2 rw\n"
                            "\n"
                            "46 26 7:3 / /media/root/B rw - ext4 /dev/loop3 rw";
    const std::vector<MountInfoEntry> entries = parseMountInfo(text);
    QCOMPARE(entries.size(), std::size_t(2));
    QCOMPARE(entries[0].mountPoint, QStringLiteral("/media/root/A"));
    QCOMPARE(entries[1].mountPoint, QStringLiteral("/media/root/B"));
}

void VolumeRulesTest::decidesMountTableCandidates_data() {
    QTest::addColumn<QString>("mountPoint");
    QTest::addColumn<QString>("fsType");
    QTest::addColumn<QString>("root");
    QTest::addColumn<bool>("candidate");

    QTest::newRow("udisks media dir, vfat") << "/media/ola/STICK"
                                            << "vfat"
                                            << "/" << true;
    QTest::newRow("run media, exfat") << "/run/media/ola/CARD"
                                      << "exfat"
                                      << "/" << true;
    QTest::newRow("run media user folder itself") << "/run/media/ola"
                                                  << "ext4"
                                                  << "/" << false;
    QTest::newRow("mnt, ext4") << "/mnt/backup disk"
                               << "ext4"
                               << "/" << true;
    QTest::newRow("fuseblk") << "/media/root/EXSTICK"
                             << "fuseblk"
                             << "/" << true;
    QTest::newRow("fuse driver for a drive") << "/media/x/FAT"
                                             << "fuse.fusefat"
                                             << "/" << true;
    QTest::newRow("ntfs3") << "/media/x/WIN"
                           << "ntfs3"
                           << "/" << true;
    QTest::newRow("optical disc") << "/media/x/CD"
                                  << "iso9660"
                                  << "/" << true;
    QTest::newRow("sshfs is remote") << "/mnt/server"
                                     << "fuse.sshfs"
                                     << "/" << false;
    QTest::newRow("bare fuse prefix") << "/mnt/x"
                                      << "fuse."
                                      << "/" << false;
    QTest::newRow("nfs") << "/mnt/nas"
                         << "nfs4"
                         << "/" << false;
    QTest::newRow("cifs") << "/media/share"
                          << "cifs"
                          << "/" << false;
    QTest::newRow("tmpfs") << "/media/ram"
                           << "tmpfs"
                           << "/" << false;
    QTest::newRow("root file system") << "/"
                                      << "ext4"
                                      << "/" << false;
    QTest::newRow("home") << "/home"
                          << "ext4"
                          << "/" << false;
    QTest::newRow("media folder itself") << "/media"
                                         << "ext4"
                                         << "/" << false;
    QTest::newRow("mnt folder itself") << "/mnt/"
                                       << "ext4"
                                       << "/" << false;
    QTest::newRow("bind mount of a subfolder") << "/mnt/sub"
                                               << "ext4"
                                               << "/data" << false;
    QTest::newRow("dot-dot climbs out") << "/media/../etc"
                                        << "ext4"
                                        << "/" << false;
    QTest::newRow("lookalike prefix") << "/mediaextra/x"
                                      << "ext4"
                                      << "/" << false;
}

void VolumeRulesTest::decidesMountTableCandidates() {
    MountInfoEntry entry;
    QFETCH(QString, mountPoint);
    QFETCH(QString, fsType);
    QFETCH(QString, root);
    entry.mountPoint = mountPoint;
    entry.fsType = fsType;
    entry.root = root;
    QTEST(isMountTableCandidate(entry), "candidate");
}

void VolumeRulesTest::decodesUdevLabels_data() {
    QTest::addColumn<QString>("name");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain") << "STICK"
                           << "STICK";
    QTest::newRow("space") << "My\\x20Stick"
                           << "My Stick";
    QTest::newRow("slash") << "a\\x2fb"
                           << "a/b";
    QTest::newRow("utf-8 sequence") << "Zdj\\xc4\\x99cia" << QStringLiteral("Zdjęcia");
    QTest::newRow("upper-case hex") << "A\\x2FB"
                                    << "A/B";
    QTest::newRow("incomplete escape") << "A\\x2"
                                       << "A\\x2";
    QTest::newRow("not hex") << "A\\xzz"
                             << "A\\xzz";
}

void VolumeRulesTest::decodesUdevLabels() {
    QFETCH(QString, name);
    QFETCH(QString, expected);
    QCOMPARE(decodeUdevEscapes(name), expected);
}

void VolumeRulesTest::decodesByteStrings() {
    QCOMPARE(decodeByteString(QByteArray("/media/root/A\0", 14)), QStringLiteral("/media/root/A"));
    QCOMPARE(decodeByteString(QByteArray("/media/root/A")), QStringLiteral("/media/root/A"));
    QCOMPARE(decodeByteString(QByteArray("/dev/sdb1\0junk", 14)), QStringLiteral("/dev/sdb1"));
    QCOMPARE(decodeByteString(QByteArray("\0", 1)), QString());
    QCOMPARE(decodeByteString(QByteArray("/media/u/Zdj\xc4\x99"
                                         "cia")),
             QStringLiteral("/media/u/Zdjęcia"));
}

void VolumeRulesTest::choosesDisplayNames_data() {
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("hintName");
    QTest::addColumn<QString>("mountPath");
    QTest::addColumn<QString>("expected");
    QTest::newRow("label wins") << "STICK"
                                << "Camera"
                                << "/media/u/x"
                                << "STICK";
    QTest::newRow("hint name next") << ""
                                    << "Camera"
                                    << "/media/u/x"
                                    << "Camera";
    QTest::newRow("blank label is missing") << "   "
                                            << ""
                                            << "/media/u/DISK"
                                            << "DISK";
    QTest::newRow("mount point last component") << ""
                                                << ""
                                                << "/media/u/My Disk/"
                                                << "My Disk";
    QTest::newRow("slashes stay in the name") << "../../etc"
                                              << ""
                                              << "/media/u/x"
                                              << "../../etc";
    QTest::newRow("dot-dot label") << ".."
                                   << ""
                                   << "/media/u/x"
                                   << "..";
    QTest::newRow("control characters stay") << QStringLiteral("a\nb\x01") << ""
                                             << "/media/u/x" << QStringLiteral("a\nb\x01");
    QTest::newRow("root mount") << ""
                                << ""
                                << "/"
                                << "/";
}

void VolumeRulesTest::choosesDisplayNames() {
    QFETCH(QString, label);
    QFETCH(QString, hintName);
    QFETCH(QString, mountPath);
    QTEST(volumeDisplayName(label, hintName, mountPath), "expected");
}

void VolumeRulesTest::computesCapacities_data() {
    QTest::addColumn<quint64>("blockSize");
    QTest::addColumn<quint64>("blocks");
    QTest::addColumn<quint64>("available");
    QTest::addColumn<bool>("statsKnown");
    QTest::addColumn<std::optional<qint64>>("fallback");
    QTest::addColumn<std::optional<qint64>>("expectedTotal");
    QTest::addColumn<std::optional<qint64>>("expectedAvailable");

    using O = std::optional<qint64>;
    constexpr qint64 max = std::numeric_limits<qint64>::max();
    QTest::newRow("64 MiB stick") << quint64(4096) << quint64(16384) << quint64(16000) << true
                                  << O() << O(67108864) << O(65536000);
    QTest::newRow("full drive") << quint64(512) << quint64(100) << quint64(0) << true << O()
                                << O(51200) << O(0);
    QTest::newRow("zero blocks takes the device size")
        << quint64(512) << quint64(0) << quint64(0) << true << O(67108864) << O(67108864) << O();
    QTest::newRow("zero blocks and no device size")
        << quint64(512) << quint64(0) << quint64(0) << true << O() << O() << O();
    QTest::newRow("statvfs failed")
        << quint64(0) << quint64(0) << quint64(0) << false << O(1000) << O(1000) << O();
    QTest::newRow("zero device size is no size")
        << quint64(0) << quint64(0) << quint64(0) << false << O(0) << O() << O();
    QTest::newRow("overflow clamps")
        << quint64(1) << std::numeric_limits<quint64>::max() << std::numeric_limits<quint64>::max()
        << true << O() << O(max) << O(max);
    QTest::newRow("huge block size clamps")
        << (quint64(1) << 40) << (quint64(1) << 40) << quint64(1) << true << O() << O(max)
        << O(qint64(1) << 40);
}

void VolumeRulesTest::computesCapacities() {
    QFETCH(quint64, blockSize);
    QFETCH(quint64, blocks);
    QFETCH(quint64, available);
    QFETCH(bool, statsKnown);
    QFETCH(std::optional<qint64>, fallback);
    std::optional<FsStats> stats;
    if (statsKnown)
        stats = FsStats{blockSize, blocks, available};
    const Capacities capacities = volumeCapacities(stats, fallback);
    QTEST(capacities.total, "expectedTotal");
    QTEST(capacities.available, "expectedAvailable");
}

void VolumeRulesTest::decidesUDisksCandidates_data() {
    QTest::addColumn<bool>("hasFilesystem");
    QTest::addColumn<QStringList>("mountPoints");
    QTest::addColumn<bool>("hintSystem");
    QTest::addColumn<bool>("hintIgnore");
    QTest::addColumn<QString>("idUsage");
    QTest::addColumn<bool>("candidate");
    const QStringList mounted{QStringLiteral("/media/u/X")};
    QTest::newRow("usb stick") << true << mounted << false << false << "filesystem" << true;
    QTest::newRow("usage unknown") << true << mounted << false << false << "" << true;
    QTest::newRow("not mounted") << true << QStringList() << false << false << "filesystem"
                                 << false;
    QTest::newRow("no file system") << false << mounted << false << false << "filesystem" << false;
    QTest::newRow("system device") << true << mounted << true << false << "filesystem" << false;
    QTest::newRow("hidden") << true << mounted << false << true << "filesystem" << false;
    QTest::newRow("raid member") << true << mounted << false << false << "raid" << false;
}

void VolumeRulesTest::decidesUDisksCandidates() {
    BlockFacts facts;
    QFETCH(bool, hasFilesystem);
    QFETCH(QStringList, mountPoints);
    QFETCH(bool, hintSystem);
    QFETCH(bool, hintIgnore);
    QFETCH(QString, idUsage);
    facts.hasFilesystem = hasFilesystem;
    facts.mountPoints = mountPoints;
    facts.hintSystem = hintSystem;
    facts.hintIgnore = hintIgnore;
    facts.idUsage = idUsage;
    QTEST(isUDisksCandidate(facts), "candidate");
}

namespace {

bool writeFile(const QString& path, const QByteArray& text) {
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) && file.write(text) == text.size();
}

const QByteArray kBase = "22 1 253:1 / / rw,relatime - ext4 /dev/vda rw\n"
                         "23 22 0:5 / /proc rw - proc proc rw\n";

} // namespace

void VolumeRulesTest::mountTableMonitorAnnouncesChanges() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString table = dir.filePath(QStringLiteral("mountinfo"));
    QVERIFY(writeFile(table, kBase + "30 22 7:1 / /media/u/OLD rw - ext4 /dev/loop1 rw\n"));

    MountTableVolumeMonitor monitor(nullptr, table, dir.filePath(QStringLiteral("by-label")));
    QSignalSpy mounted(&monitor, &VolumeMonitor::volumeMounted);
    QSignalSpy unmounted(&monitor, &VolumeMonitor::volumeUnmounted);
    QVERIFY(monitor.start());
    QCOMPARE(mounted.count(), 0); // already there before watching began

    // A stick and a network share arrive; only the stick is announced.
    QVERIFY(writeFile(table, kBase +
                                 "30 22 7:1 / /media/u/OLD rw - ext4 /dev/loop1 rw\n"
                                 "31 22 7:2 / /media/u/My\\040Stick rw - fuseblk /dev/loop2 rw\n"
                                 "32 22 0:50 / /mnt/nas rw - nfs4 server:/x rw\n"));
    monitor.rescan();
    QCOMPARE(mounted.count(), 1);
    QCOMPARE(mounted.takeFirst().at(0).toString(), QStringLiteral("/media/u/My Stick"));
    QCOMPARE(unmounted.count(), 0);

    // Nothing changed: nothing announced.
    monitor.rescan();
    QCOMPARE(mounted.count() + unmounted.count(), 0);

    // The old one goes, and the stick is remounted at the same place (a new mount id).
    QVERIFY(
        writeFile(table, kBase + "33 22 7:2 / /media/u/My\\040Stick rw - fuseblk /dev/loop2 rw\n"));
    monitor.rescan();
    QCOMPARE(unmounted.count(), 2);
    QStringList gone{unmounted.at(0).at(0).toString(), unmounted.at(1).at(0).toString()};
    gone.sort();
    QCOMPARE(gone,
             (QStringList{QStringLiteral("/media/u/My Stick"), QStringLiteral("/media/u/OLD")}));
    QCOMPARE(mounted.count(), 1);
    QCOMPARE(mounted.at(0).at(0).toString(), QStringLiteral("/media/u/My Stick"));
}

void VolumeRulesTest::mountTableMonitorNamesDrivesByLabel() {
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString labels = dir.filePath(QStringLiteral("by-label"));
    QVERIFY(QDir().mkpath(labels));
    const QString device = dir.filePath(QStringLiteral("fake-device"));
    const QString other = dir.filePath(QStringLiteral("other-device"));
    QVERIFY(writeFile(device, "x"));
    QVERIFY(writeFile(other, "y"));
    QVERIFY(QFile::link(other, labels + QStringLiteral("/OTHER")));
    QVERIFY(QFile::link(device, labels + QStringLiteral("/My\\x20Stick")));
    QVERIFY(
        QFile::link(dir.filePath(QStringLiteral("gone")), labels + QStringLiteral("/DANGLING")));

    QCOMPARE(labelForDevice(device, labels), QStringLiteral("My Stick"));
    QCOMPARE(labelForDevice(other, labels), QStringLiteral("OTHER"));
    QCOMPARE(labelForDevice(dir.filePath(QStringLiteral("unlabelled")), labels), QString());
    QCOMPARE(labelForDevice(QStringLiteral("fusefat"), labels), QString());
    QCOMPARE(labelForDevice(device, dir.filePath(QStringLiteral("no-such-folder"))), QString());

    // A candidate whose mount point does not answer statvfs is not listed.
    const QString table = dir.filePath(QStringLiteral("mountinfo"));
    QVERIFY(writeFile(table, kBase + "40 22 7:9 / /mnt/keelbox-no-such-mount rw - ext4 " +
                                 QFile::encodeName(device) + " rw\n"));
    MountTableVolumeMonitor monitor(nullptr, table, labels);
    QVERIFY(monitor.start());
    QVERIFY(monitor.mountedVolumes().empty());
}

QTEST_GUILESS_MAIN(VolumeRulesTest)
#include "tst_volume_rules.moc"
