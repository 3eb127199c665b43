// Without UDisks2 on the system bus the factories fall back to the kernel's mount table: a drive
// mounted by hand below /mnt is still found, named and ejected.

#include "StackSupport.h"

#include "app/platform/Volumes.h"

#include <QDBusConnection>
#include <QSignalSpy>
#include <QTest>

using namespace keelbox::app;
using namespace keelbox::test;

class FallbackVolumesTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void handMountedDriveWithoutUDisks();

private:
    QString m_image;
    QString m_folder;
};

void FallbackVolumesTest::initTestCase() {
    // The system bus is pointed at a socket nobody listens on (see CMakeLists.txt).
    QVERIFY(!QDBusConnection::systemBus().isConnected());
    const QString problem = stackProblem();
    if (!problem.isEmpty())
        SKIP_OR_FAIL(problem);
}

void FallbackVolumesTest::cleanupTestCase() {
    if (!m_folder.isEmpty()) {
        run(QStringLiteral("umount"), {m_folder});
        QDir().rmdir(m_folder);
    }
    if (!m_image.isEmpty())
        discardImage(m_image);
}

void FallbackVolumesTest::handMountedDriveWithoutUDisks() {
    const std::unique_ptr<VolumeMonitor> monitor = makeVolumeMonitor();
    QVERIFY(monitor->start());
    QSignalSpy mounted(monitor.get(), &VolumeMonitor::volumeMounted);
    QSignalSpy unmounted(monitor.get(), &VolumeMonitor::volumeUnmounted);

    QString error;
    m_image = makeImage(QStringLiteral("ext4"), QStringLiteral("NOUDISKS"),
                        QStringLiteral("system"), &error);
    QVERIFY2(!m_image.isEmpty(), qPrintable(error));
    m_folder = QStringLiteral("/mnt/keelbox-fallback-") +
               QUuid::createUuid().toString(QUuid::Id128).left(8);
    QVERIFY(QDir().mkpath(m_folder));
    const Run mounting = run(QStringLiteral("mount"),
                             {QStringLiteral("-o"), QStringLiteral("loop"), m_image, m_folder});
    QVERIFY2(mounting.ok(), qPrintable(mounting.out));

    QTRY_COMPARE_WITH_TIMEOUT(mounted.count(), 1, 10000);
    QCOMPARE(mounted.at(0).at(0).toString(), m_folder);
    const std::vector<MountedVolume> volumes = monitor->mountedVolumes();
    const auto it = std::find_if(volumes.begin(), volumes.end(),
                                 [&](const MountedVolume& v) { return v.mountPath == m_folder; });
    QVERIFY(it != volumes.end());
    QCOMPARE(it->name, QStringLiteral("NOUDISKS"));
    QVERIFY(it->totalCapacity.value_or(0) > 0);

    const EjectOutcome outcome = makeVolumeEjector()->eject(m_folder);
    QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));
    QTRY_COMPARE_WITH_TIMEOUT(unmounted.count(), 1, 10000);
    QCOMPARE(unmounted.at(0).at(0).toString(), m_folder);
    // mount -o loop detaches its loop device when unmounted.
    QTRY_VERIFY_WITH_TIMEOUT(loopsOf(m_image).isEmpty(), 10000);
}

QTEST_GUILESS_MAIN(FallbackVolumesTest)
#include "tst_fallback_volumes.moc"
