// Without UDisks2 on the system bus the factories fall back to the kernel's mount table: a drive
// mounted by hand below /mnt is still found, named and ejected.

#include "StackSupport.h"

#include "app/platform/Volumes.h"

#include <QDBusConnection>

using namespace keelbox::app;
using namespace keelbox::test;

class FallbackVolumesTest : public QObject {
    Q_OBJECT
private slots:
    void handMountedDriveWithoutUDisks();
};

void FallbackVolumesTest::handMountedDriveWithoutUDisks() {
    // The system bus is pointed at a socket nobody listens on (see CMakeLists.txt).
    QVERIFY(!QDBusConnection::systemBus().isConnected());
    REQUIRE_STACK();
    const std::unique_ptr<VolumeMonitor> monitor = makeVolumeMonitor();
    QVERIFY(monitor->start());
    QSignalSpy mounted(monitor.get(), &VolumeMonitor::volumeMounted);
    QSignalSpy unmounted(monitor.get(), &VolumeMonitor::volumeUnmounted);

    QString error;
    const QString image = makeImage(u"ext4"_s, u"NOUDISKS"_s, u"system"_s, &error);
    QVERIFY2(!image.isEmpty(), qPrintable(error));
    const QString folder = u"/mnt/keelbox-fallback-"_s + shortId();
    auto cleanUp = qScopeGuard([&] {
        discardImage(image);
        QDir().rmdir(folder);
    });
    QVERIFY(QDir().mkpath(folder));
    const Run mounting = run(u"mount"_s, {u"-o"_s, u"loop"_s, image, folder});
    QVERIFY2(mounting.ok(), qPrintable(mounting.out));
    settleUdev(); // the label is published by udev, after the mount

    QTRY_COMPARE_WITH_TIMEOUT(mounted.count(), 1, 10000);
    QCOMPARE(mounted.at(0).at(0).toString(), folder);
    const std::vector<MountedVolume> volumes = monitor->mountedVolumes();
    const auto it = std::find_if(volumes.begin(), volumes.end(),
                                 [&](const MountedVolume& v) { return v.mountPath == folder; });
    QVERIFY(it != volumes.end());
    QCOMPARE(it->name, u"NOUDISKS"_s);
    QVERIFY(it->totalCapacity > 0);

    const EjectOutcome outcome = makeVolumeEjector()->eject(folder);
    QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));
    QTRY_COMPARE_WITH_TIMEOUT(unmounted.count(), 1, 10000);
    QCOMPARE(unmounted.at(0).at(0).toString(), folder);
    // mount -o loop detaches its loop device when unmounted.
    QTRY_VERIFY_WITH_TIMEOUT(loopsOf(image).isEmpty(), 10000);
}

QTEST_GUILESS_MAIN(FallbackVolumesTest)
#include "tst_fallback_volumes.moc"
