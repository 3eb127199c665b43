// The UDisks2 monitor and ejector against a stand-in UDisks2 on a private bus: drive properties
// that test loop devices never have, and the errors a real daemon returns.

#include "app/platform/UDisks2Volumes.h"

#include <QDir>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcess>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace keelbox::app;
using namespace Qt::StringLiterals;

const QString blockDevices = u"/org/freedesktop/UDisks2/block_devices/"_s;
const QString fsInterface = u"org.freedesktop.UDisks2.Filesystem"_s;
const QString blockInterface = u"org.freedesktop.UDisks2.Block"_s;
const QString partitionInterface = u"org.freedesktop.UDisks2.Partition"_s;

class UDisks2FakeTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void followsMountsUnmountsAndHiding();
    void takesUpUDisksAppearingLater();
    void ejectsTheWholeDevice();

private:
    // Typed values for the stand-in (see fake_udisks2.py).
    static QJsonObject ay(const QString& text) { return {{"ay", text}}; }
    static QJsonObject aay(const QStringList& list) {
        return {{"aay", QJsonArray::fromStringList(list)}};
    }
    static QJsonObject op(const QString& path) { return {{"o", path}}; }
    static QJsonObject mountedAt(const QStringList& points) {
        return {{"MountPoints", aay(points)}};
    }
    QString unique(const QString& stem) { return stem + QString::number(++m_counter); }
    QString mountDir(const QString& name) {
        const QString path = m_dir.filePath(u"mnt/"_s + name);
        QDir().mkpath(path);
        return path;
    }
    QDBusMessage control(const QString& method, const QVariantList& args = {}) {
        QDBusMessage message = QDBusMessage::createMethodCall(
            u"org.freedesktop.UDisks2"_s, u"/org/freedesktop/UDisks2"_s,
            u"org.keelbox.Test.Control"_s, method);
        message.setArguments(args);
        const QDBusMessage reply = m_bus->call(message);
        if (reply.type() != QDBusMessage::ReplyMessage)
            qWarning("%s: %s", qPrintable(method), qPrintable(reply.errorMessage()));
        return reply;
    }
    void add(const QString& path, const QJsonObject& interfaces) {
        control(u"AddInterfaces"_s, {path, QString::fromUtf8(QJsonDocument(interfaces).toJson())});
    }
    void set(const QString& path, const QString& interface, const QString& name,
             const QJsonValue& value) {
        // The value's JSON text: a one-element array without its brackets.
        const QByteArray text = QJsonDocument(QJsonArray{value}).toJson(QJsonDocument::Compact);
        control(u"SetProperty"_s,
                {path, interface, name, QString::fromUtf8(text.mid(1).chopped(1))});
    }
    // The calls made on the objects `names` lists, as "Method@name", in order.
    QStringList callsOn(const QMap<QString, QString>& names) {
        const QJsonArray all =
            QJsonDocument::fromJson(control(u"Calls"_s).arguments().value(0).toString().toUtf8())
                .array();
        QStringList calls;
        for (const QJsonValue& call : all) {
            if (!names.contains(call["path"].toString()))
                continue;
            calls.append(call["method"].toString() + u'@' + names.value(call["path"].toString()));
            // Every call lets an authentication agent ask the user.
            const QJsonValue interaction = call["options"]["auth.no_user_interaction"];
            if (!interaction.isBool() || interaction.toBool())
                calls.append(u"(no user interaction allowed)"_s);
        }
        return calls;
    }

    void startFake() {
        m_fake.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        m_fake.start(u"/usr/bin/python3"_s, {QStringLiteral(KEELBOX_FAKE_UDISKS), m_address});
        QTRY_VERIFY_WITH_TIMEOUT(udisksAvailable(*m_bus), 5000);
    }

    QTemporaryDir m_dir;
    QProcess m_busDaemon;
    QProcess m_fake;
    QString m_address;
    std::optional<QDBusConnection> m_bus;
    int m_counter = 0;
};

void UDisks2FakeTest::initTestCase() {
    m_busDaemon.start(u"dbus-daemon"_s, {u"--session"_s, u"--nofork"_s, u"--print-address"_s,
                                         u"--address=unix:path="_s + m_dir.filePath(u"bus"_s)});
    QVERIFY2(m_busDaemon.waitForStarted(), "dbus-daemon is not installed");
    QVERIFY(m_busDaemon.waitForReadyRead(10000));
    m_address = QString::fromUtf8(m_busDaemon.readLine()).trimmed();
    m_bus = QDBusConnection::connectToBus(m_address, u"keelbox-fake-udisks"_s);
    QVERIFY(m_bus->isConnected());
    QVERIFY(!udisksAvailable(*m_bus));
    startFake();
}

// Started while UDisks2 is away, the mount table (an empty one here) serves until it appears.
void UDisks2FakeTest::takesUpUDisksAppearingLater() {
    m_fake.terminate();
    QVERIFY(m_fake.waitForFinished());
    QTRY_VERIFY(!udisksAvailable(*m_bus));
    const QString table = m_dir.filePath(u"mountinfo"_s);
    QVERIFY(QFile(table).open(QIODevice::WriteOnly));
    const std::unique_ptr<VolumeMonitor> monitor = makeVolumeMonitor(*m_bus, table);
    QVERIFY(monitor->start());
    QSignalSpy mounted(monitor.get(), &VolumeMonitor::volumeMounted);
    startFake();
    const QString stem = unique(u"sdg"_s);
    const QString dir = mountDir(stem);
    add(blockDevices + stem,
        {{blockInterface, QJsonObject{{"IdLabel", "LATE"}}}, {fsInterface, mountedAt({dir})}});
    QTRY_COMPARE(mounted.count(), 1);
    QCOMPARE(mounted.at(0).at(0).toString(), dir);
    QCOMPARE(monitor->mountedVolumes().size(), std::size_t(1));
}

void UDisks2FakeTest::cleanupTestCase() {
    m_fake.terminate();
    m_fake.waitForFinished();
    m_bus.reset();
    QDBusConnection::disconnectFromBus(u"keelbox-fake-udisks"_s);
    m_busDaemon.terminate();
    m_busDaemon.waitForFinished();
}

void UDisks2FakeTest::followsMountsUnmountsAndHiding() {
    UDisks2VolumeMonitor monitor(*m_bus);
    QVERIFY(monitor.start());
    QStringList events; // "+path" mounted, "-path" unmounted
    connect(&monitor, &VolumeMonitor::volumeMounted, this,
            [&](const QString& p) { events << u'+' + p; });
    connect(&monitor, &VolumeMonitor::volumeUnmounted, this,
            [&](const QString& p) { events << u'-' + p; });
    const QString stem = unique(u"sdd"_s);
    const QString path = blockDevices + stem;
    const QString dir = mountDir(u"Zdjęcia 2024 "_s + stem);
    add(path, {{blockInterface, QJsonObject{{"IdLabel", "CARD"}}}});
    add(path, {{fsInterface, mountedAt({})}});

    // Mounted with a trailing slash (the identity has none); a plain unmount is followed on real
    // drives in integration.tst_real_volumes.
    set(path, fsInterface, u"MountPoints"_s, aay({dir + u'/'}));
    QTRY_COMPARE(events.size(), 1);
    // Listed once; its name, device and capacity are checked on real drives there too.
    QCOMPARE(monitor.mountedVolumes().size(), std::size_t(1));
    // A udev rule that hides a mounted drive counts as its unmount, and back.
    set(path, blockInterface, u"HintIgnore"_s, true);
    QTRY_COMPARE(events.size(), 2);
    set(path, blockInterface, u"HintIgnore"_s, false);
    QTRY_COMPARE(events.size(), 3);
    // The medium is pulled: the file system interface disappears, then the block device.
    control(u"RemoveInterface"_s, {path, fsInterface});
    QTRY_COMPARE(events.size(), 4);
    control(u"RemoveInterface"_s, {path, blockInterface});
    QTest::qWait(100);
    QCOMPARE(events, (QStringList{u'+' + dir, u'-' + dir, u'+' + dir, u'-' + dir}));
}

void UDisks2FakeTest::ejectsTheWholeDevice() {
    const QString words = u"Error unmounting /dev/sdz1: target is busy"_s;
    // A small device tree per row, the calls expected, in order, and the object whose unmount
    // fails ("-": a path nothing is mounted at).
    const std::tuple<QString, QStringList, QString> rows[] = {
        {u"poweroff"_s, {u"Unmount@p1"_s, u"PowerOff@drive"_s}, {}},
        {u"eject"_s, {u"Unmount@p1"_s, u"Eject@drive"_s}, {}}, // an ejectable medium
        {u"partloop"_s, {u"Unmount@p1"_s, u"Delete@whole"_s}, {}},
        {u"twoparts"_s, {u"Unmount@p1"_s, u"Unmount@p2"_s, u"PowerOff@drive"_s}, {}},
        {u"crypt"_s, {u"Unmount@clear"_s, u"Lock@p1"_s, u"PowerOff@drive"_s}, {}},
        {u"poweroff"_s, {u"Unmount@p1"_s}, u"p1"_s}, // busy
        {u"poweroff"_s, {}, u"-"_s}};
    for (const auto& [layout, expected, failing] : rows) {
        const QString stem = unique(u"ej"_s);
        QMap<QString, QString> names;
        for (const QString& name : {u"whole"_s, u"p1"_s, u"p2"_s, u"clear"_s})
            names.insert(blockDevices + stem + u'_' + name, name);
        names.insert(u"/org/freedesktop/UDisks2/drives/"_s + stem, u"drive"_s);
        const auto object = [&](const QString& name) { return names.key(name); };
        const QString dir = mountDir(stem);
        const QJsonObject onDrive{{"Drive", op(object(u"drive"_s))}};
        const QJsonObject noDrive{{"Drive", op(u"/"_s)}};
        const QJsonObject partOf{{"Table", op(object(u"whole"_s))}};

        const bool powers = layout != "eject"_L1 && layout != "partloop"_L1;
        add(object(u"drive"_s),
            {{"org.freedesktop.UDisks2.Drive", QJsonObject{{"CanPowerOff", powers},
                                                           {"Ejectable", layout == "eject"_L1},
                                                           {"Removable", true}}}});
        const bool loop = layout == "partloop"_L1;
        if (loop)
            add(object(u"whole"_s),
                {{blockInterface, noDrive},
                 {u"org.freedesktop.UDisks2.Loop"_s,
                  QJsonObject{{"BackingFile", ay(u"/tmp/x.img"_s)}}},
                 {"org.freedesktop.UDisks2.PartitionTable", QJsonObject{{"Type", "dos"}}}});
        else
            add(object(u"whole"_s), {{blockInterface, onDrive}});
        if (layout == "crypt"_L1) {
            add(object(u"p1"_s), {{blockInterface, onDrive},
                                  {partitionInterface, partOf},
                                  {"org.freedesktop.UDisks2.Encrypted",
                                   QJsonObject{{"CleartextDevice", op(object(u"clear"_s))}}}});
            add(object(u"clear"_s),
                {{blockInterface,
                  QJsonObject{{"Drive", op(u"/"_s)}, {"CryptoBackingDevice", op(object(u"p1"_s))}}},
                 {fsInterface, mountedAt({dir})}});
        } else {
            add(object(u"p1"_s), {{blockInterface, loop ? noDrive : onDrive},
                                  {partitionInterface, partOf},
                                  {fsInterface, mountedAt({dir})}});
        }
        if (layout == "twoparts"_L1)
            add(object(u"p2"_s), {{blockInterface, onDrive},
                                  {partitionInterface, partOf},
                                  {fsInterface, mountedAt({mountDir(stem + u"-other"_s)})}});

        if (!failing.isEmpty() && failing != "-"_L1)
            control(u"FailNext"_s, {object(failing), u"Unmount"_s,
                                    u"org.freedesktop.UDisks2.Error.DeviceBusy"_s, words});

        // Asked for with or without a trailing slash.
        const QString mountPath = failing == "-"_L1      ? dir + u"-elsewhere"_s
                                  : layout == "crypt"_L1 ? dir
                                                         : dir + u'/';
        const EjectOutcome outcome = UDisks2VolumeEjector(*m_bus).eject(mountPath);
        QCOMPARE(std::tuple(layout, callsOn(names), outcome.ok, outcome.errorMessage),
                 std::tuple(layout, expected, failing.isEmpty(),
                            failing.isEmpty()   ? QString()
                            : failing == "-"_L1 ? mountPath + u": not mounted."_s
                                                : words));
    }
}

QTEST_GUILESS_MAIN(UDisks2FakeTest)
#include "tst_udisks2_fake.moc"
