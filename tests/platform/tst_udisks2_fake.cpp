// The UDisks2 monitor and ejector against a stand-in UDisks2 on a private bus: drive-level
// properties (power off, ejectable media, partitions, unlocked containers) that loop devices on a
// test machine never have, and the errors a real daemon returns.

#include "app/platform/UDisks2Volumes.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace keelbox::app;

// On CI a missing tool must fail the run instead of hiding behind a skip.
#define SKIP_OR_FAIL(reason)                                                                       \
    do {                                                                                           \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))                                   \
            QFAIL(reason);                                                                         \
        QSKIP(reason);                                                                             \
    } while (false)

namespace {

const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kBlocks = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");
const QString kDrives = QStringLiteral("/org/freedesktop/UDisks2/drives/");
const QString kFs = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");

QJsonObject ay(const QString& text) {
    return {{QStringLiteral("ay"), text}};
}
QJsonObject aay(const QStringList& list) {
    return {{QStringLiteral("aay"), QJsonArray::fromStringList(list)}};
}
QJsonObject op(const QString& path) {
    return {{QStringLiteral("o"), path}};
}

} // namespace

class UDisks2FakeTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void listsOnlyCandidates_data();
    void listsOnlyCandidates();
    void followsMountsAndUnmounts();
    void hidingAMountedDriveCountsAsUnmount();
    void forgetsEverythingWhenTheServiceLeaves();
    void ejectsTheWholeDevice_data();
    void ejectsTheWholeDevice();
    void reportsTheSystemsWords_data();
    void reportsTheSystemsWords();

private:
    QString uniqueName(const QString& stem) { return stem + QString::number(++m_counter); }
    QString mountDir(const QString& name);
    void control(const QString& method, const QVariantList& args);
    void addInterfaces(const QString& path, const QJsonObject& interfaces);
    QJsonArray callsFor(const QStringList& paths);
    bool startFake();

    QTemporaryDir m_dir;
    QProcess m_busDaemon;
    QProcess m_fake;
    QString m_address;
    std::optional<QDBusConnection> m_bus;
    int m_counter = 0;
};

QString UDisks2FakeTest::mountDir(const QString& name) {
    const QString path = m_dir.filePath(QStringLiteral("mnt/") + name);
    QDir().mkpath(path);
    return path;
}

void UDisks2FakeTest::control(const QString& method, const QVariantList& args) {
    QDBusMessage message =
        QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.UDisks2"), kRoot,
                                       QStringLiteral("org.keelbox.Test.Control"), method);
    message.setArguments(args);
    const QDBusMessage reply = m_bus->call(message);
    QVERIFY2(reply.type() == QDBusMessage::ReplyMessage, qPrintable(reply.errorMessage()));
}

void UDisks2FakeTest::addInterfaces(const QString& path, const QJsonObject& interfaces) {
    control(QStringLiteral("AddInterfaces"),
            {path, QString::fromUtf8(QJsonDocument(interfaces).toJson(QJsonDocument::Compact))});
}

QJsonArray UDisks2FakeTest::callsFor(const QStringList& paths) {
    QDBusMessage message = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.UDisks2"), kRoot,
        QStringLiteral("org.keelbox.Test.Control"), QStringLiteral("Calls"));
    const QDBusMessage reply = m_bus->call(message);
    QJsonArray result;
    if (reply.type() != QDBusMessage::ReplyMessage)
        return result;
    const QJsonArray all =
        QJsonDocument::fromJson(reply.arguments().value(0).toString().toUtf8()).array();
    for (const QJsonValue& call : all) {
        if (paths.contains(call[QStringLiteral("path")].toString()))
            result.append(call);
    }
    return result;
}

bool UDisks2FakeTest::startFake() {
    m_fake.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_fake.start(QStringLiteral("/usr/bin/python3"),
                 {QStringLiteral(KEELBOX_FAKE_UDISKS), m_address});
    if (!m_fake.waitForStarted())
        return false;
    for (int i = 0; i < 100; ++i) {
        if (m_bus->interface()->isServiceRegistered(QStringLiteral("org.freedesktop.UDisks2")))
            return true;
        QTest::qWait(50);
    }
    return false;
}

void UDisks2FakeTest::initTestCase() {
    QVERIFY(m_dir.isValid());
    if (QStandardPaths::findExecutable(QStringLiteral("dbus-daemon")).isEmpty())
        SKIP_OR_FAIL("dbus-daemon is not installed");
    if (!QFileInfo::exists(QStringLiteral("/usr/bin/python3")))
        SKIP_OR_FAIL("/usr/bin/python3 is not installed");
    QProcess probe;
    probe.start(QStringLiteral("/usr/bin/python3"),
                {QStringLiteral("-c"), QStringLiteral("import dbus, dbus.mainloop.glib, gi")});
    if (!probe.waitForFinished() || probe.exitCode() != 0)
        SKIP_OR_FAIL("python3-dbus and python3-gi are needed for the stand-in UDisks2");

    m_busDaemon.start(
        QStringLiteral("dbus-daemon"),
        {QStringLiteral("--session"), QStringLiteral("--nofork"), QStringLiteral("--print-address"),
         QStringLiteral("--address=unix:path=") + m_dir.filePath(QStringLiteral("bus"))});
    QVERIFY(m_busDaemon.waitForStarted());
    QVERIFY(m_busDaemon.waitForReadyRead(10000));
    m_address = QString::fromUtf8(m_busDaemon.readLine()).trimmed();
    QVERIFY(!m_address.isEmpty());
    m_bus = QDBusConnection::connectToBus(m_address, QStringLiteral("keelbox-fake-udisks"));
    QVERIFY(m_bus->isConnected());
    QVERIFY(!udisksAvailable(*m_bus));
    QVERIFY(startFake());
    QVERIFY(udisksAvailable(*m_bus));
}

void UDisks2FakeTest::cleanupTestCase() {
    m_fake.terminate();
    m_fake.waitForFinished();
    m_bus.reset();
    QDBusConnection::disconnectFromBus(QStringLiteral("keelbox-fake-udisks"));
    m_busDaemon.terminate();
    m_busDaemon.waitForFinished();
}

void UDisks2FakeTest::listsOnlyCandidates_data() {
    QTest::addColumn<QJsonObject>("block");
    QTest::addColumn<bool>("mounted");
    QTest::addColumn<bool>("listed");
    QTest::addColumn<QString>("name"); // "*" = the mount folder's own name

    const auto block = [](std::initializer_list<std::pair<const char*, QJsonValue>> extra) {
        QJsonObject props{{"HintSystem", false}, {"HintIgnore", false}, {"IdUsage", "filesystem"},
                          {"IdLabel", ""},       {"HintName", ""},      {"Size", 67108864}};
        for (const auto& [key, value] : extra)
            props.insert(QLatin1String(key), value);
        return props;
    };
    QTest::newRow("labelled stick") << block({{"IdLabel", "STICK"}}) << true << true << "STICK";
    QTest::newRow("hint name without label")
        << block({{"HintName", "Camera"}}) << true << true << "Camera";
    QTest::newRow("no label, no hint") << block({}) << true << true << "*";
    QTest::newRow("label with slashes and dots")
        << block({{"IdLabel", "../../etc/passwd"}}) << true << true << "../../etc/passwd";
    QTest::newRow("label with control characters")
        << block({{"IdLabel", "a\nb\tc\x01"}}) << true << true << "a\nb\tc\x01";
    QTest::newRow("non-ASCII label") << block({{"IdLabel", QStringLiteral("Zdjęcia łódź")}}) << true
                                     << true << QStringLiteral("Zdjęcia łódź");
    QTest::newRow("system device")
        << block({{"HintSystem", true}, {"IdLabel", "ROOT"}}) << true << false << "";
    QTest::newRow("hidden device")
        << block({{"HintIgnore", true}, {"IdLabel", "EFI"}}) << true << false << "";
    QTest::newRow("swap-like usage") << block({{"IdUsage", "other"}}) << true << false << "";
    QTest::newRow("not mounted") << block({{"IdLabel", "IDLE"}}) << false << false << "";
}

void UDisks2FakeTest::listsOnlyCandidates() {
    QFETCH(QJsonObject, block);
    QFETCH(bool, mounted);
    QFETCH(bool, listed);
    QFETCH(QString, name);

    UDisks2VolumeMonitor monitor(*m_bus);
    QVERIFY(monitor.start());
    QSignalSpy spy(&monitor, &VolumeMonitor::volumeMounted);

    const QString stem = uniqueName(QStringLiteral("sdc"));
    const QString path = kBlocks + stem;
    const QString dir = mountDir(stem + QStringLiteral(" mount"));
    block.insert(QStringLiteral("Device"), ay(QStringLiteral("/dev/") + stem));
    addInterfaces(
        path, {{kBlock, block},
               {kFs, QJsonObject{{"MountPoints", aay(mounted ? QStringList{dir} : QStringList{})},
                                 {"Size", 67108864}}}});

    if (listed) {
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), dir);
    } else {
        // The signal of a later candidate proves this one's signal had its chance to arrive.
        const QString probe = kBlocks + uniqueName(QStringLiteral("probe"));
        const QString probeDir = mountDir(QFileInfo(probe).fileName());
        addInterfaces(probe, {{kBlock, QJsonObject{{"IdLabel", "PROBE"}}},
                              {kFs, QJsonObject{{"MountPoints", aay({probeDir})}}}});
        QTRY_COMPARE(spy.count(), 1);
        QCOMPARE(spy.at(0).at(0).toString(), probeDir);
        control(QStringLiteral("RemoveInterface"), {probe, kFs});
    }

    const std::vector<MountedVolume> volumes = monitor.mountedVolumes();
    const auto found = std::find_if(volumes.begin(), volumes.end(),
                                    [&](const MountedVolume& v) { return v.objectPath == path; });
    QCOMPARE(found != volumes.end(), listed);
    if (!listed)
        return;
    QCOMPARE(found->mountPath, dir);
    QCOMPARE(found->name, name == QLatin1String("*") ? QFileInfo(dir).fileName() : name);
    QCOMPARE(found->device, QStringLiteral("/dev/") + stem);
    const Capacities expected = volumeCapacities(readFsStats(dir), std::nullopt);
    QVERIFY(expected.total.has_value());
    QCOMPARE(found->totalCapacity, expected.total);
    QVERIFY(found->availableCapacity.has_value());
}

void UDisks2FakeTest::followsMountsAndUnmounts() {
    UDisks2VolumeMonitor monitor(*m_bus);
    QVERIFY(monitor.start());
    QSignalSpy mounted(&monitor, &VolumeMonitor::volumeMounted);
    QSignalSpy unmounted(&monitor, &VolumeMonitor::volumeUnmounted);

    const QString stem = uniqueName(QStringLiteral("sdd"));
    const QString path = kBlocks + stem;
    const QString dir = mountDir(QStringLiteral("Zdjęcia 2024 ") + stem);
    addInterfaces(path,
                  {{kBlock, QJsonObject{{"IdLabel", "CARD"}, {"Device", ay("/dev/" + stem)}}}});
    addInterfaces(path, {{kFs, QJsonObject{{"MountPoints", aay({})}}}});

    // Mounted with a trailing slash: the identity has none.
    control(QStringLiteral("SetProperty"),
            {path, kFs, QStringLiteral("MountPoints"),
             QString::fromUtf8(QJsonDocument(aay({dir + QStringLiteral("/")})).toJson())});
    QTRY_COMPARE(mounted.count(), 1);
    QCOMPARE(mounted.at(0).at(0).toString(), dir);
    QCOMPARE(unmounted.count(), 0);

    control(QStringLiteral("SetProperty"), {path, kFs, QStringLiteral("MountPoints"),
                                            QString::fromUtf8(QJsonDocument(aay({})).toJson())});
    QTRY_COMPARE(unmounted.count(), 1);
    QCOMPARE(unmounted.at(0).at(0).toString(), dir);

    // Mounted again, then the medium is pulled: the file system interface disappears.
    control(QStringLiteral("SetProperty"), {path, kFs, QStringLiteral("MountPoints"),
                                            QString::fromUtf8(QJsonDocument(aay({dir})).toJson())});
    QTRY_COMPARE(mounted.count(), 2);
    control(QStringLiteral("RemoveInterface"), {path, kFs});
    QTRY_COMPARE(unmounted.count(), 2);
    QCOMPARE(unmounted.at(1).at(0).toString(), dir);
    control(QStringLiteral("RemoveInterface"), {path, kBlock});
    QTest::qWait(100);
    QCOMPARE(mounted.count(), 2);
    QCOMPARE(unmounted.count(), 2);
}

void UDisks2FakeTest::hidingAMountedDriveCountsAsUnmount() {
    UDisks2VolumeMonitor monitor(*m_bus);
    QVERIFY(monitor.start());
    QSignalSpy mounted(&monitor, &VolumeMonitor::volumeMounted);
    QSignalSpy unmounted(&monitor, &VolumeMonitor::volumeUnmounted);
    const QString stem = uniqueName(QStringLiteral("sde"));
    const QString path = kBlocks + stem;
    const QString dir = mountDir(stem);
    addInterfaces(path, {{kBlock, QJsonObject{{"IdLabel", "X"}, {"HintIgnore", false}}},
                         {kFs, QJsonObject{{"MountPoints", aay({dir})}}}});
    QTRY_COMPARE(mounted.count(), 1);
    control(QStringLiteral("SetProperty"),
            {path, kBlock, QStringLiteral("HintIgnore"), QStringLiteral("true")});
    QTRY_COMPARE(unmounted.count(), 1);
    QCOMPARE(unmounted.at(0).at(0).toString(), dir);
    control(QStringLiteral("SetProperty"),
            {path, kBlock, QStringLiteral("HintIgnore"), QStringLiteral("false")});
    QTRY_COMPARE(mounted.count(), 2);
    control(QStringLiteral("RemoveInterface"), {path, kFs});
    QTRY_COMPARE(unmounted.count(), 2);
}

void UDisks2FakeTest::forgetsEverythingWhenTheServiceLeaves() {
    UDisks2VolumeMonitor monitor(*m_bus);
    QVERIFY(monitor.start());
    QSignalSpy mounted(&monitor, &VolumeMonitor::volumeMounted);
    QSignalSpy unmounted(&monitor, &VolumeMonitor::volumeUnmounted);
    const QString stem = uniqueName(QStringLiteral("sdf"));
    const QString dir = mountDir(stem);
    addInterfaces(kBlocks + stem, {{kBlock, QJsonObject{{"IdLabel", "GONE"}}},
                                   {kFs, QJsonObject{{"MountPoints", aay({dir})}}}});
    QTRY_COMPARE(mounted.count(), 1);
    QVERIFY(!monitor.mountedVolumes().empty());

    m_fake.terminate();
    QVERIFY(m_fake.waitForFinished());
    QTRY_VERIFY(unmounted.count() >= 1);
    QVERIFY(monitor.mountedVolumes().empty());

    // A restarted service starts empty; nothing is announced as mounted.
    QVERIFY(startFake());
    QTest::qWait(200);
    QCOMPARE(mounted.count(), 1);
}

void UDisks2FakeTest::ejectsTheWholeDevice_data() {
    // Each row builds a small device tree below a unique prefix and lists the calls expected,
    // in order, as "Method@object".
    QTest::addColumn<QString>("layout");
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("drive that powers off")
        << "poweroff" << QStringList{"Unmount@p1", "PowerOff@drive"};
    QTest::newRow("drive with ejectable medium")
        << "eject" << QStringList{"Unmount@p1", "Eject@drive"};
    QTest::newRow("drive that can do neither") << "neither" << QStringList{"Unmount@p1"};
    QTest::newRow("loop device") << "loop" << QStringList{"Unmount@p1", "Delete@p1"};
    QTest::newRow("partition on a loop device")
        << "partloop" << QStringList{"Unmount@p1", "Delete@whole"};
    QTest::newRow("second partition mounted too")
        << "twoparts" << QStringList{"Unmount@p1", "Unmount@p2", "PowerOff@drive"};
    QTest::newRow("unlocked container")
        << "crypt" << QStringList{"Unmount@clear", "Lock@p1", "PowerOff@drive"};
}

void UDisks2FakeTest::ejectsTheWholeDevice() {
    QFETCH(QString, layout);
    QFETCH(QStringList, expected);
    const QString stem = uniqueName(QStringLiteral("ej"));
    const QString drive = kDrives + stem;
    const QString whole = kBlocks + stem + QStringLiteral("_whole");
    const QString p1 = kBlocks + stem + QStringLiteral("_p1");
    const QString p2 = kBlocks + stem + QStringLiteral("_p2");
    const QString clear = kBlocks + stem + QStringLiteral("_clear");
    const QMap<QString, QString> names{
        {drive, "drive"}, {whole, "whole"}, {p1, "p1"}, {p2, "p2"}, {clear, "clear"}};
    const QString dir = mountDir(stem);
    const QString otherDir = mountDir(stem + QStringLiteral("-other"));
    const QJsonObject fsMounted{{"MountPoints", aay({dir})}};

    const bool powers = layout == QLatin1String("poweroff") ||
                        layout == QLatin1String("twoparts") || layout == QLatin1String("crypt");
    addInterfaces(drive, {{"org.freedesktop.UDisks2.Drive",
                           QJsonObject{{"CanPowerOff", powers},
                                       {"Ejectable", layout == QLatin1String("eject")},
                                       {"Removable", true}}}});
    const QJsonObject onDrive{{"Drive", op(drive)}};
    const QJsonObject partOf{{"Table", op(whole)}};
    if (layout == QLatin1String("loop")) {
        addInterfaces(
            p1, {{kBlock, QJsonObject{{"Drive", op("/")}}},
                 {"org.freedesktop.UDisks2.Loop", QJsonObject{{"BackingFile", ay("/tmp/x.img")}}},
                 {kFs, fsMounted}});
    } else if (layout == QLatin1String("partloop")) {
        addInterfaces(
            whole,
            {{kBlock, QJsonObject{{"Drive", op("/")}}},
             {"org.freedesktop.UDisks2.Loop", QJsonObject{{"BackingFile", ay("/tmp/x.img")}}},
             {"org.freedesktop.UDisks2.PartitionTable", QJsonObject{{"Type", "dos"}}}});
        addInterfaces(p1, {{kBlock, QJsonObject{{"Drive", op("/")}}},
                           {"org.freedesktop.UDisks2.Partition", partOf},
                           {kFs, fsMounted}});
    } else if (layout == QLatin1String("crypt")) {
        addInterfaces(whole, {{kBlock, onDrive}});
        addInterfaces(p1, {{kBlock, onDrive},
                           {"org.freedesktop.UDisks2.Partition", partOf},
                           {"org.freedesktop.UDisks2.Encrypted",
                            QJsonObject{{"CleartextDevice", op(clear)}}}});
        addInterfaces(clear,
                      {{kBlock, QJsonObject{{"Drive", op("/")}, {"CryptoBackingDevice", op(p1)}}},
                       {kFs, fsMounted}});
    } else {
        addInterfaces(whole, {{kBlock, onDrive}});
        addInterfaces(
            p1,
            {{kBlock, onDrive}, {"org.freedesktop.UDisks2.Partition", partOf}, {kFs, fsMounted}});
        if (layout == QLatin1String("twoparts"))
            addInterfaces(p2, {{kBlock, onDrive},
                               {"org.freedesktop.UDisks2.Partition", partOf},
                               {kFs, QJsonObject{{"MountPoints", aay({otherDir})}}}});
    }

    const QString mountPath = layout == QLatin1String("crypt") ? dir : dir + QStringLiteral("/");
    const EjectOutcome outcome = UDisks2VolumeEjector(*m_bus).eject(mountPath);
    QVERIFY2(outcome.ok, qPrintable(outcome.errorMessage));

    QStringList calls;
    for (const QJsonValue& call : callsFor(names.keys())) {
        calls.append(call[QStringLiteral("method")].toString() + QLatin1Char('@') +
                     names.value(call[QStringLiteral("path")].toString()));
        // Every call lets an authentication agent ask the user.
        const QJsonValue interaction =
            call[QStringLiteral("options")][QStringLiteral("auth.no_user_interaction")];
        QVERIFY(interaction.isBool());
        QCOMPARE(interaction.toBool(), false);
    }
    QCOMPARE(calls, expected);
}

void UDisks2FakeTest::reportsTheSystemsWords_data() {
    QTest::addColumn<QString>("failing"); // "Unmount" or "PowerOff" or "" (unknown mount path)
    QTest::addColumn<QString>("errorName");
    QTest::addColumn<QString>("words");
    QTest::addColumn<QStringList>("expectedCalls");
    QTest::newRow("busy") << "Unmount"
                          << "org.freedesktop.UDisks2.Error.DeviceBusy"
                          << "Error unmounting /dev/sdz1: target is busy" << QStringList{"Unmount"};
    QTest::newRow("not authorised to power off")
        << "PowerOff"
        << "org.freedesktop.UDisks2.Error.NotAuthorized"
        << "Not authorized to perform operation" << QStringList{"Unmount", "PowerOff"};
    QTest::newRow("not mounted") << ""
                                 << ""
                                 << "" << QStringList{};
}

void UDisks2FakeTest::reportsTheSystemsWords() {
    QFETCH(QString, failing);
    QFETCH(QString, errorName);
    QFETCH(QString, words);
    QFETCH(QStringList, expectedCalls);
    const QString stem = uniqueName(QStringLiteral("sdz"));
    const QString drive = kDrives + stem;
    const QString block = kBlocks + stem;
    const QString dir = mountDir(stem);
    addInterfaces(drive, {{"org.freedesktop.UDisks2.Drive", QJsonObject{{"CanPowerOff", true}}}});
    addInterfaces(block, {{kBlock, QJsonObject{{"Drive", op(drive)}}},
                          {kFs, QJsonObject{{"MountPoints", aay({dir})}}}});
    const QString target = failing.isEmpty() ? dir + QStringLiteral("-elsewhere") : dir;
    if (!failing.isEmpty())
        control(QStringLiteral("FailNext"),
                {failing == QLatin1String("Unmount") ? block : drive, failing, errorName, words});

    const EjectOutcome outcome = UDisks2VolumeEjector(*m_bus).eject(target);
    QVERIFY(!outcome.ok);
    if (failing.isEmpty())
        QCOMPARE(outcome.errorMessage, target + QStringLiteral(": not mounted."));
    else
        QCOMPARE(outcome.errorMessage, words);
    QStringList calls;
    for (const QJsonValue& call : callsFor({drive, block}))
        calls.append(call[QStringLiteral("method")].toString());
    QCOMPARE(calls, expectedCalls);
}

QTEST_GUILESS_MAIN(UDisks2FakeTest)
#include "tst_udisks2_fake.moc"
