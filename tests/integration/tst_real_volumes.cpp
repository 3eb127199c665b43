// Real ext4, FAT and exFAT images plugged in through UDisks2 and by hand, seen by the monitors.

#include "../app/Fakes.h"
#include "StackSupport.h"

#include "app/platform/MountTableVolumes.h"
#include "app/platform/UDisks2Volumes.h"
#include "app/platform/Volumes.h"

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::app::testing;
using namespace keelbox::test;

namespace {

std::optional<MountedVolume> listed(const VolumeMonitor& monitor, const QString& mountPath) {
    for (const MountedVolume& volume : monitor.mountedVolumes())
        if (volume.mountPath == mountPath)
            return volume;
    return std::nullopt;
}

constexpr qint64 imageSize = 64 * 1024 * 1024;

} // namespace

class RealVolumesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void udisksDrivesComeAndGo();
    void mountTableFollowsRealMounts();
    void queuedRunFindsAnotherDrive();

private:
    QString image(const QString& fs, const QString& label, const QString& kind) {
        m_images << makeImage(fs, label, kind);
        return m_images.last();
    }
    QStringList m_images;
    QString m_folder;
};

void RealVolumesTest::initTestCase() {
    REQUIRE_STACK();
    QVERIFY(udisksAvailable(QDBusConnection::systemBus()));
}

void RealVolumesTest::cleanup() {
    for (const QString& image : std::exchange(m_images, {}))
        discardImage(image);
    discardFolder(std::exchange(m_folder, {}));
}

void RealVolumesTest::udisksDrivesComeAndGo() {
    // File system and label: the FAT32 driver reports no size (a FAT that does report one takes
    // the same path as ext4); the last labels climb folders and are markup.
    for (const auto& [fs, label] : std::initializer_list<std::pair<QString, QString>>{
             {u"vfat32"_s, u"FAT32"_s},
             {u"ext4"_s, u"../a b"_s},
             {u"ntfs"_s, u"<img src=/dev/zero> & <b>x</b>"_s}}) {
        qInfo("%s %s", qPrintable(fs), qPrintable(label));
        const std::unique_ptr<VolumeMonitor> monitor = makeVolumeMonitor();
        QVERIFY(monitor->start());
        QSignalSpy mounted(monitor.get(), &VolumeMonitor::volumeMounted);
        QSignalSpy unmounted(monitor.get(), &VolumeMonitor::volumeUnmounted);

        const QString file = image(fs, label, u"removable"_s);
        QVERIFY(!file.isEmpty());
        const Plugged plugged = plugIn(file);
        const QString& path = plugged.mountPath;
        QVERIFY2(path.startsWith(u"/media/"_s), qPrintable(plugged.error));
        QTRY_VERIFY_WITH_TIMEOUT(mounted.contains({path}), 10000);
        const std::optional<MountedVolume> volume = listed(*monitor, path);
        QVERIFY(volume);
        QCOMPARE((QStringList{volume->name, volume->device}), (QStringList{label, plugged.device}));
        // With zero blocks from statvfs (FAT32 here) the size is the device's, the free space
        // unknown.
        const Capacities fsStats = volumeCapacities(readFsStats(path), std::nullopt);
        QCOMPARE(!fsStats.total, fs == "vfat32"_L1);
        QVERIFY(volume->totalCapacity > imageSize * 5 / 8 && volume->totalCapacity <= imageSize);
        QCOMPARE(volume->totalCapacity, fsStats.total ? fsStats.total : volume->totalCapacity);
        QCOMPARE(volume->availableCapacity.has_value(), fsStats.total.has_value());
        QVERIFY(volume->availableCapacity.value_or(1) > 0 &&
                volume->availableCapacity <= volume->totalCapacity);

        const EjectOutcome outcome = makeVolumeEjector()->eject(path);
        QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));
        QTRY_VERIFY_WITH_TIMEOUT(unmounted.contains({path}), 10000);
        QVERIFY(!listed(*monitor, path));
        QTRY_VERIFY_WITH_TIMEOUT(loopsOf(file).isEmpty(), 10000);
        QVERIFY(!QFileInfo::exists(path));
        cleanup();
    }
}

void RealVolumesTest::mountTableFollowsRealMounts() {
    // ext4 through mount -o loop, FAT through fusefat (no device). A FUSE drive on a device
    // (fuseblk) is listed like the stick of VolumeRulesTest::mountTableMonitor and unmounted by the
    // same umount as fusefat's.
    for (const auto& [fs, how, label] : std::initializer_list<std::array<QString, 3>>{
             {u"ext4"_s, u"loop"_s, u"TABLEEXT"_s}, {u"vfat"_s, u"fusefat"_s, u"TABLEFAT"_s}}) {
        qInfo("%s", qPrintable(how));
        MountTableVolumeMonitor monitor;
        QVERIFY(monitor.start());
        QSignalSpy mounted(&monitor, &VolumeMonitor::volumeMounted);
        QSignalSpy unmounted(&monitor, &VolumeMonitor::volumeUnmounted);

        const QString file = image(fs, label, u"system"_s);
        QVERIFY(!file.isEmpty());
        // Below /mnt, where the mount table is read, with a space the kernel escapes as \040.
        m_folder = u"/mnt/keelbox test "_s + shortId();
        QVERIFY(QDir().mkpath(m_folder));
        const Run mounting = how == "loop"_L1
                                 ? run(u"mount"_s, {u"-o"_s, u"loop"_s, file, m_folder})
                                 : run(u"fusefat"_s, {u"-o"_s, u"rw+"_s, file, m_folder});
        QVERIFY2(mounting.ok(), qPrintable(mounting.out));
        settleUdev(); // the label is published by udev, after the mount

        QTRY_VERIFY_WITH_TIMEOUT(mounted.contains({m_folder}), 10000);
        const std::optional<MountedVolume> volume = listed(monitor, m_folder);
        QVERIFY(volume);
        // Named by the label udev published; a FUSE mount of a plain file has no device to look up.
        QCOMPARE(volume->name, how == "fusefat"_L1 ? QFileInfo(m_folder).fileName() : label);
        const Capacities expected = volumeCapacities(readFsStats(m_folder), std::nullopt);
        QVERIFY(expected.total && volume->totalCapacity == expected.total);
        {
            // A process that keeps the drive busy: its working folder is there, a file held open.
            Background holder;
            QFile(m_folder + u"/held.txt"_s).open(QIODevice::WriteOnly);
            holder.process.setWorkingDirectory(m_folder);
            holder.process.start(u"sh"_s,
                                 {u"-c"_s, u"exec 3<held.txt; echo ready; exec sleep 120"_s});
            QVERIFY(holder.process.waitForStarted() && holder.process.waitForReadyRead(10000));
            const EjectOutcome busy = MountTableVolumeEjector().eject(m_folder);
            QVERIFY2(!busy.ok && busy.errorMessage.contains(u"busy"_s, Qt::CaseInsensitive) &&
                         busy.errorMessage.contains(m_folder),
                     qPrintable(busy.errorMessage));
        }
        // What UDisks2 does not manage the application's ejector unmounts too.
        if (how == "fusefat"_L1)
            QVERIFY(!UDisks2VolumeEjector(QDBusConnection::systemBus()).ejectIfKnown(m_folder));
        const EjectOutcome outcome = makeVolumeEjector()->eject(m_folder);
        QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));
        QTRY_VERIFY_WITH_TIMEOUT(unmounted.contains({m_folder}), 10000);
        QVERIFY(!listed(monitor, m_folder));
        QCOMPARE(MountTableVolumeEjector().eject(m_folder).errorMessage,
                 m_folder + u": not mounted."_s);
        cleanup();
    }
}

// A mirrored stick queued behind another backup leaves before its turn and another stick with the
// same label takes its place: nothing is copied. (A queued drive found unmounted at its turn is
// AppStateTest::unplugAndReplugDuringBackup's.)
void RealVolumesTest::queuedRunFindsAnotherDrive() {
    QTemporaryDir home;
    const auto configured = [&](const QString& label, bool mirror) {
        m_images << configuredStick(home.filePath(label), label, home.filePath(u"Backups"_s), {},
                                    mirror);
        return m_images.last();
    };
    auto preferences = std::make_shared<Preferences>(home.filePath(u"keelbox.conf"_s));
    preferences->setBool(u"notify"_s, false);
    app::Localizer localizer(preferences, {"en"});
    FakeEngine engine; // holds the first run until released
    engine.hold = true;
    AppState state({preferences, &localizer, makeVolumeMonitor(), makeVolumeEjector(), nullptr,
                    nullptr, engine.runner()});
    const auto release = qScopeGuard([&] { engine.release(); });
    state.start();

    const QString blocker = configured(u"FIRSTINQ"_s, false);
    const QString mine = configured(u"SWAPPED"_s, true);
    QVERIFY(!blocker.isEmpty() && !mine.isEmpty());
    const Plugged first = plugIn(blocker);
    QVERIFY2(!first.mountPath.isEmpty(), qPrintable(first.error));
    QTRY_VERIFY_WITH_TIMEOUT(engine.callCount() == 1, 10000);
    QCOMPARE(QString::fromStdString(engine.call(0).root.string()), first.mountPath);

    const Plugged plugged = plugIn(mine);
    QVERIFY2(!plugged.mountPath.isEmpty(), qPrintable(plugged.error));
    const QString& path = plugged.mountPath;
    QTRY_VERIFY_WITH_TIMEOUT(state.isRunning(path.toStdString()), 10000);
    QVERIFY(run(u"udisksctl"_s, {u"unmount"_s, u"-b"_s, plugged.device}).ok());
    run(u"udisksctl"_s, {u"loop-delete"_s, u"-b"_s, plugged.device});
    // Same label, no rules of its own: it lands where the first one was.
    QCOMPARE(plugIn(image(u"ext4"_s, u"SWAPPED"_s, u"removable"_s)).mountPath, path);

    QSignalSpy settled(&state, &AppState::backupsSettled);
    engine.release();
    QVERIFY(settled.wait(10000));
    QVERIFY(engine.callCount() == 1 && !QFileInfo::exists(home.filePath(u"Backups/SWAPPED"_s)));
    const LogEntry& last = state.log().front();
    const QString shown = QString::fromStdString(last.volume + ": " + last.message);
    QVERIFY2(shown.startsWith(
                 u"SWAPPED: Not backed up: another drive is mounted at %1 now."_s.arg(path)),
             qPrintable(shown));
}

QTEST_GUILESS_MAIN(RealVolumesTest)
#include "tst_real_volumes.moc"
