// Real drives on the test stack: loop-mounted ext4, FAT (through fusefat) and exFAT (through
// exfat-fuse) images plugged in through UDisks2 and through plain mounts, watched by the monitors
// and taken away by the ejectors.

#include "StackSupport.h"

#include "app/platform/MountTableVolumes.h"
#include "app/platform/UDisks2Volumes.h"
#include "app/platform/Volumes.h"

#include <QDBusConnection>
#include <QDir>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTest>

using namespace keelbox::app;
using namespace keelbox::test;

namespace {

bool spied(const QSignalSpy& spy, const QString& path) {
    for (const QList<QVariant>& args : spy) {
        if (args.value(0).toString() == path)
            return true;
    }
    return false;
}

std::optional<MountedVolume> listed(const VolumeMonitor& monitor, const QString& mountPath) {
    for (const MountedVolume& volume : monitor.mountedVolumes()) {
        if (volume.mountPath == mountPath)
            return volume;
    }
    return std::nullopt;
}

// A process that keeps the drive busy: its working folder is on it and it holds a file open.
struct Holder {
    QProcess process;
    bool start(const QString& folder) {
        process.setWorkingDirectory(folder);
        process.start(
            QStringLiteral("sh"),
            {QStringLiteral("-c"), QStringLiteral("exec 3<held.txt; echo ready; exec sleep 120")});
        return process.waitForStarted() && process.waitForReadyRead(10000);
    }
    ~Holder() {
        process.kill();
        process.waitForFinished();
    }
};

} // namespace

class RealVolumesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void udisksDrivesComeAndGo_data();
    void udisksDrivesComeAndGo();
    void busyDriveGivesTheSystemsWords();
    void mountTableFollowsRealMounts_data();
    void mountTableFollowsRealMounts();
    void mountTableEjectorReportsBusy();
    void ejectorFallsBackForMountsUDisksDoesNotManage();

private:
    QString plugInThroughUDisks(const QString& image, QString* device);
    QString mountFolder();
    QStringList m_images;
    QStringList m_folders;
};

void RealVolumesTest::initTestCase() {
    const QString problem = stackProblem();
    if (!problem.isEmpty())
        SKIP_OR_FAIL(problem);
    QVERIFY(QDBusConnection::systemBus().isConnected());
    QVERIFY(udisksAvailable(QDBusConnection::systemBus()));
}

void RealVolumesTest::cleanup() {
    for (const QString& image : std::as_const(m_images))
        discardImage(image);
    m_images.clear();
    for (const QString& folder : std::as_const(m_folders)) {
        run(QStringLiteral("umount"), {folder});
        QDir().rmdir(folder);
    }
    m_folders.clear();
}

QString RealVolumesTest::plugInThroughUDisks(const QString& image, QString* device) {
    const Run setup =
        run(QStringLiteral("udisksctl"), {QStringLiteral("loop-setup"), QStringLiteral("-f"), image,
                                          QStringLiteral("--no-user-interaction")});
    const QRegularExpressionMatch loop =
        QRegularExpression(QStringLiteral("(/dev/loop\\d+)")).match(setup.out);
    if (!setup.ok() || !loop.hasMatch()) {
        qWarning("loop-setup: %s", qPrintable(setup.out));
        return {};
    }
    *device = loop.captured(1);
    // The udev rules that mark the image removable must have run before udisks mounts it.
    run(QStringLiteral("udevadm"),
        {QStringLiteral("settle"), QStringLiteral("-t"), QStringLiteral("30")});
    const Run mounted =
        run(QStringLiteral("udisksctl"), {QStringLiteral("mount"), QStringLiteral("-b"), *device,
                                          QStringLiteral("--no-user-interaction")});
    const QRegularExpressionMatch at =
        QRegularExpression(QStringLiteral(" at (/.*?)\\.?\\s*$")).match(mounted.out.trimmed());
    if (!mounted.ok() || !at.hasMatch()) {
        qWarning("mount: %s", qPrintable(mounted.out));
        return {};
    }
    return at.captured(1);
}

QString RealVolumesTest::mountFolder() {
    // Below /mnt, where the mount-table backend looks, with a space the kernel escapes as \040.
    const QString folder =
        QStringLiteral("/mnt/keelbox test ") + QUuid::createUuid().toString(QUuid::Id128).left(8);
    if (!QDir().mkpath(folder))
        return {};
    m_folders.append(folder);
    return folder;
}

void RealVolumesTest::udisksDrivesComeAndGo_data() {
    QTest::addColumn<QString>("fs");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("kind");
    QTest::addColumn<bool>("isDrive");
    QTest::newRow("ext4 stick") << "ext4"
                                << "EXTSTICK"
                                << "removable" << true;
    QTest::newRow("FAT stick through FUSE") << "vfat"
                                            << "FATSTICK"
                                            << "removable" << true;
    QTest::newRow("exFAT card through FUSE") << "exfat"
                                             << "EXCARD"
                                             << "removable" << true;
    QTest::newRow("FAT32 stick whose driver reports no size") << "vfat32"
                                                              << "FAT32"
                                                              << "removable" << true;
    QTest::newRow("label with a space") << "ext4"
                                        << "My Stick"
                                        << "removable" << true;
    QTest::newRow("label that climbs folders") << "ext4"
                                               << "../a b"
                                               << "removable" << true;
    QTest::newRow("hidden by a udev rule") << "ext4"
                                           << "HIDDEN"
                                           << "ignored" << false;
    QTest::newRow("system device") << "ext4"
                                   << "SYSTEMISH"
                                   << "system" << false;
}

void RealVolumesTest::udisksDrivesComeAndGo() {
    QFETCH(QString, fs);
    QFETCH(QString, label);
    QFETCH(QString, kind);
    QFETCH(bool, isDrive);

    // Through the factories, as the application gets them: the stack's UDisks2 must be chosen.
    const std::unique_ptr<VolumeMonitor> monitor = makeVolumeMonitor();
    QVERIFY(monitor->start());
    QSignalSpy mounted(monitor.get(), &VolumeMonitor::volumeMounted);
    QSignalSpy unmounted(monitor.get(), &VolumeMonitor::volumeUnmounted);

    QString error;
    const QString image = makeImage(fs, label, kind, &error);
    QVERIFY2(!image.isEmpty(), qPrintable(error));
    m_images.append(image);
    QString device;
    const QString mountPath = plugInThroughUDisks(image, &device);
    QVERIFY(!mountPath.isEmpty());
    QVERIFY(mountPath.startsWith(QStringLiteral("/media/")));

    if (isDrive) {
        QTRY_VERIFY_WITH_TIMEOUT(spied(mounted, mountPath), 10000);
        const std::optional<MountedVolume> volume = listed(*monitor, mountPath);
        QVERIFY(volume.has_value());
        QCOMPARE(volume->name, label);
        QCOMPARE(volume->device, device);
        const Capacities expected = volumeCapacities(readFsStats(mountPath), std::nullopt);
        if (fs == QLatin1String("vfat32")) {
            // statvfs says zero blocks: the size comes from what UDisks2 knows of the device,
            // and there is no figure for the free space.
            QVERIFY(!expected.total.has_value());
            QVERIFY(volume->totalCapacity.has_value());
            QVERIFY(*volume->totalCapacity > 40 * 1024 * 1024 &&
                    *volume->totalCapacity <= 64 * 1024 * 1024);
            QVERIFY(!volume->availableCapacity.has_value());
        } else {
            QVERIFY(expected.total.has_value());
            // A 64 MiB image: the file system takes some of it for itself.
            QVERIFY(*expected.total > 40 * 1024 * 1024 && *expected.total <= 64 * 1024 * 1024);
            QCOMPARE(volume->totalCapacity, expected.total);
            QVERIFY(volume->availableCapacity.has_value());
            QVERIFY(*volume->availableCapacity > 0 &&
                    *volume->availableCapacity <= *expected.total);
        }
    } else {
        // Give the bus time to deliver anything it would; nothing may mention this mount.
        QTest::qWait(1500);
        QVERIFY(!spied(mounted, mountPath));
        QVERIFY(!listed(*monitor, mountPath));
    }

    const EjectOutcome outcome = makeVolumeEjector()->eject(mountPath);
    QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));
    // Every unmount is announced, drive or not.
    QTRY_VERIFY_WITH_TIMEOUT(spied(unmounted, mountPath), 10000);
    QVERIFY(!listed(*monitor, mountPath));
    QTRY_VERIFY_WITH_TIMEOUT(loopsOf(image).isEmpty(), 10000);
    QVERIFY(!QFileInfo::exists(mountPath));
}

void RealVolumesTest::busyDriveGivesTheSystemsWords() {
    UDisks2VolumeMonitor monitor(QDBusConnection::systemBus());
    QVERIFY(monitor.start());
    QSignalSpy mounted(&monitor, &VolumeMonitor::volumeMounted);
    QString error;
    const QString image = makeImage(QStringLiteral("ext4"), QStringLiteral("BUSY"),
                                    QStringLiteral("removable"), &error);
    QVERIFY2(!image.isEmpty(), qPrintable(error));
    m_images.append(image);
    QString device;
    const QString mountPath = plugInThroughUDisks(image, &device);
    QVERIFY(!mountPath.isEmpty());
    QTRY_VERIFY_WITH_TIMEOUT(spied(mounted, mountPath), 10000);
    {
        QFile held(mountPath + QStringLiteral("/held.txt"));
        QVERIFY(held.open(QIODevice::WriteOnly));
        held.write("keep me");
    }

    {
        Holder holder;
        QVERIFY(holder.start(mountPath));
        const EjectOutcome outcome =
            UDisks2VolumeEjector(QDBusConnection::systemBus()).eject(mountPath);
        QVERIFY(!outcome.ok);
        // The system's words, e.g. "Error unmounting /dev/loop3: target is busy".
        QVERIFY2(outcome.errorMessage.contains(QStringLiteral("busy"), Qt::CaseInsensitive),
                 qPrintable(outcome.errorMessage));
        QVERIFY2(outcome.errorMessage.contains(device), qPrintable(outcome.errorMessage));
        QVERIFY(listed(monitor, mountPath).has_value());
        QCOMPARE(loopsOf(image), QStringList{device});
    }

    const EjectOutcome outcome =
        UDisks2VolumeEjector(QDBusConnection::systemBus()).eject(mountPath);
    QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));
    QTRY_VERIFY_WITH_TIMEOUT(loopsOf(image).isEmpty(), 10000);
}

void RealVolumesTest::mountTableFollowsRealMounts_data() {
    QTest::addColumn<QString>("fs");
    QTest::addColumn<QString>("how");
    QTest::addColumn<QString>("label");
    QTest::newRow("ext4 through mount -o loop") << "ext4"
                                                << "loop"
                                                << "TABLEEXT";
    QTest::newRow("exFAT through exfat-fuse") << "exfat"
                                              << "exfat-fuse"
                                              << "TABLEEX";
    QTest::newRow("FAT through fusefat, no device") << "vfat"
                                                    << "fusefat"
                                                    << "TABLEFAT";
}

void RealVolumesTest::mountTableFollowsRealMounts() {
    QFETCH(QString, fs);
    QFETCH(QString, how);
    QFETCH(QString, label);

    MountTableVolumeMonitor monitor;
    QVERIFY(monitor.start());
    QSignalSpy mounted(&monitor, &VolumeMonitor::volumeMounted);
    QSignalSpy unmounted(&monitor, &VolumeMonitor::volumeUnmounted);

    QString error;
    const QString image = makeImage(fs, label, QStringLiteral("system"), &error);
    QVERIFY2(!image.isEmpty(), qPrintable(error));
    m_images.append(image);
    const QString folder = mountFolder();
    QVERIFY(!folder.isEmpty());

    Run mounting;
    if (how == QLatin1String("loop")) {
        mounting = run(QStringLiteral("mount"),
                       {QStringLiteral("-o"), QStringLiteral("loop"), image, folder});
    } else if (how == QLatin1String("exfat-fuse")) {
        const Run loop =
            run(QStringLiteral("losetup"), {QStringLiteral("-f"), QStringLiteral("--show"), image});
        QVERIFY2(loop.ok(), qPrintable(loop.out));
        run(QStringLiteral("udevadm"),
            {QStringLiteral("settle"), QStringLiteral("-t"), QStringLiteral("30")});
        mounting = run(QStringLiteral("mount.exfat-fuse"), {loop.out.trimmed(), folder});
    } else {
        mounting = run(QStringLiteral("fusefat"),
                       {QStringLiteral("-o"), QStringLiteral("rw+"), image, folder});
    }
    QVERIFY2(mounting.ok(), qPrintable(mounting.out));

    QTRY_VERIFY_WITH_TIMEOUT(spied(mounted, folder), 10000);
    const std::optional<MountedVolume> volume = listed(monitor, folder);
    QVERIFY(volume.has_value());
    // Named by the label udev published; a FUSE mount of a plain file has no device to look up.
    QCOMPARE(volume->name, how == QLatin1String("fusefat") ? QFileInfo(folder).fileName() : label);
    const Capacities expected = volumeCapacities(readFsStats(folder), std::nullopt);
    QVERIFY(expected.total.has_value());
    QCOMPARE(volume->totalCapacity, expected.total);

    const EjectOutcome outcome = MountTableVolumeEjector().eject(folder);
    QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));
    QTRY_VERIFY_WITH_TIMEOUT(spied(unmounted, folder), 10000);
    QVERIFY(!listed(monitor, folder));
}

void RealVolumesTest::mountTableEjectorReportsBusy() {
    QString error;
    const QString image = makeImage(QStringLiteral("ext4"), QStringLiteral("TABLEBUSY"),
                                    QStringLiteral("system"), &error);
    QVERIFY2(!image.isEmpty(), qPrintable(error));
    m_images.append(image);
    const QString folder = mountFolder();
    const Run mounting =
        run(QStringLiteral("mount"), {QStringLiteral("-o"), QStringLiteral("loop"), image, folder});
    QVERIFY2(mounting.ok(), qPrintable(mounting.out));
    {
        QFile held(folder + QStringLiteral("/held.txt"));
        QVERIFY(held.open(QIODevice::WriteOnly));
    }
    {
        Holder holder;
        QVERIFY(holder.start(folder));
        const EjectOutcome outcome = MountTableVolumeEjector().eject(folder);
        QVERIFY(!outcome.ok);
        // umount's own words, e.g. "umount: /mnt/x: target is busy."
        QVERIFY2(outcome.errorMessage.contains(QStringLiteral("busy"), Qt::CaseInsensitive),
                 qPrintable(outcome.errorMessage));
        QVERIFY2(outcome.errorMessage.contains(folder), qPrintable(outcome.errorMessage));
    }
    const EjectOutcome outcome = MountTableVolumeEjector().eject(folder);
    QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));
    const EjectOutcome again = MountTableVolumeEjector().eject(folder);
    QVERIFY(!again.ok);
    QCOMPARE(again.errorMessage, folder + QStringLiteral(": not mounted."));
}

void RealVolumesTest::ejectorFallsBackForMountsUDisksDoesNotManage() {
    // fusefat on the image file itself: no block device, so UDisks2 knows nothing of it.
    QString error;
    const QString image = makeImage(QStringLiteral("vfat"), QStringLiteral("PLAINFUSE"),
                                    QStringLiteral("removable"), &error);
    QVERIFY2(!image.isEmpty(), qPrintable(error));
    m_images.append(image);
    const QString folder = mountFolder();
    const Run mounting = run(QStringLiteral("fusefat"),
                             {QStringLiteral("-o"), QStringLiteral("rw+"), image, folder});
    QVERIFY2(mounting.ok(), qPrintable(mounting.out));
    const auto isMounted = [&] {
        QFile table(QStringLiteral("/proc/self/mountinfo"));
        if (!table.open(QIODevice::ReadOnly))
            return false;
        for (const MountInfoEntry& entry : parseMountInfo(table.readAll())) {
            if (entry.mountPoint == folder)
                return true;
        }
        return false;
    };
    QVERIFY(isMounted());
    QVERIFY(!UDisks2VolumeEjector(QDBusConnection::systemBus()).ejectIfKnown(folder).has_value());

    const EjectOutcome outcome = makeVolumeEjector()->eject(folder);
    QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));
    QVERIFY(!isMounted());
}

QTEST_GUILESS_MAIN(RealVolumesTest)
#include "tst_real_volumes.moc"
