// End to end on the test stack: `keelbox watch` is running, a configured stick with automatic
// backups is plugged in, and the backup lands in the destination, the log lines are printed and
// the notification daemon receives the start and finish notifications.

#include "StackSupport.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QTemporaryDir>

using namespace keelbox::test;

namespace {

bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(bytes) == bytes.size();
}

QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

QList<QJsonObject> notifications() {
    QList<QJsonObject> result;
    const QByteArray text = readFile(qEnvironmentVariable("KEELBOX_NOTIFICATIONS_FILE"));
    for (const QByteArray& line : text.split('\n'))
        if (!line.trimmed().isEmpty())
            result.append(QJsonDocument::fromJson(line).object());
    return result;
}

} // namespace

class WatchEndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void pluggedStickIsBackedUp_data();
    void pluggedStickIsBackedUp();

private:
    QTemporaryDir m_home;
    QString m_image;
    QString m_folder;
    QProcess m_watch;
};

void WatchEndToEndTest::initTestCase() {
    REQUIRE_STACK();
    QVERIFY(QFileInfo(QStringLiteral(KEELBOX_BINARY)).isExecutable());
}

void WatchEndToEndTest::cleanup() {
    m_watch.terminate();
    if (!m_watch.waitForFinished(5000)) {
        m_watch.kill();
        m_watch.waitForFinished();
    }
    if (!m_folder.isEmpty()) {
        run(u"umount"_s, {m_folder});
        QDir().rmdir(m_folder);
        m_folder.clear();
    }
    if (!m_image.isEmpty())
        discardImage(m_image);
    m_image.clear();
}

void WatchEndToEndTest::pluggedStickIsBackedUp_data() {
    QTest::addColumn<bool>("withUDisks");
    QTest::addColumn<QString>("label");
    QTest::newRow("through UDisks2") << true << u"E2ESTICK"_s;
    // No system bus at all: the drive is found in the kernel's mount table below /mnt.
    QTest::newRow("through the mount table") << false << u"E2ETABLE"_s;
}

void WatchEndToEndTest::pluggedStickIsBackedUp() {
    QFETCH(bool, withUDisks);
    QFETCH(QString, label);
    const QString root = m_home.filePath(label);
    // The stick's contents, its rules included, go onto the image as it is made.
    const QString content = root + u"/content"_s;
    const QString destination = root + u"/Backups"_s;
    const QMap<QString, QByteArray> files{
        {u"hello.txt"_s, "hello from the stick\n"},
        {u"docs/a b.txt"_s, QByteArray(100000, 'x')},
        {u"docs/Zdjęcie łąka.jpg"_s, QByteArray("\xff\xd8\xff\xe0 not really a jpeg")},
    };
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        QVERIFY(writeFile(content + u'/' + it.key(), it.value()));
    const QJsonObject config{
        {"schemaVersion", 1},
        {"driveID", "6F1C2A4E-8B3D-4C5E-9A7F-0B1C2D3E4F50"},
        {"driveName", label},
        {"createdAt", "2026-12-01T10:00:00Z"},
        {"updatedAt", "2026-12-01T10:00:00Z"},
        {"destinationPath", destination},
        {"mode", "sync"},
        {"deleteRemovedFiles", false},
        {"autoRunOnMount", true},
        {"sources", QJsonArray{QJsonObject{{"id", "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9"},
                                           {"relativePath", ""}}}},
    };
    QVERIFY(writeFile(content + u"/.keelbox.json"_s, QJsonDocument(config).toJson()));
    QString error;
    m_image = makeImage(u"ext4"_s, label, u"removable"_s, &error, content);
    QVERIFY2(!m_image.isEmpty(), qPrintable(error));

    // The application runs with its own home, so that nothing of the real user's is read or
    // written.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"HOME"_s, root);
    for (const QString& kind : {u"CONFIG"_s, u"DATA"_s, u"CACHE"_s})
        env.insert(u"XDG_%1_HOME"_s.arg(kind), root + u'/' + kind);
    env.insert(u"XDG_RUNTIME_DIR"_s, root + u"/runtime"_s);
    QVERIFY(QDir().mkpath(root + u"/runtime"_s));
    QFile::setPermissions(root + u"/runtime"_s,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    if (!withUDisks)
        env.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, u"unix:path=%1/no_bus_here"_s.arg(stackDir()));
    m_watch.setProcessEnvironment(env);
    const qsizetype notificationsBefore = notifications().size();
    m_watch.start(QStringLiteral(KEELBOX_BINARY), {u"watch"_s, u"--language"_s, u"en"_s});
    QVERIFY(m_watch.waitForStarted());
    // Give it a moment to subscribe before the stick arrives; a stick that came first would be
    // found by the first scan and backed up too, so this is no race for the outcome.
    QTest::qWait(1000);
    QCOMPARE(m_watch.state(), QProcess::Running);

    QString mountPath;
    if (withUDisks) {
        const Plugged plugged = plugIn(m_image);
        QVERIFY2(!plugged.mountPath.isEmpty(), qPrintable(plugged.error));
        mountPath = plugged.mountPath;
    } else {
        // A device the kernel knows and udev has labelled, mounted by hand below /mnt: the
        // drive is named by that label, whatever its folder is called.
        const Run loop = run(u"losetup"_s, {u"-f"_s, u"--show"_s, m_image});
        QVERIFY2(loop.ok(), qPrintable(loop.out));
        settleUdev();
        m_folder = u"/mnt/keelbox-e2e-"_s + shortId();
        QVERIFY(QDir().mkpath(m_folder));
        const Run mounted = run(u"mount"_s, {loop.out.trimmed(), m_folder});
        QVERIFY2(mounted.ok(), qPrintable(mounted.out));
        mountPath = m_folder;
    }

    // The backup's files arrive under destination/<drive name>/; the rules file is never copied.
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += m_watch.readAllStandardOutput(),
                              output.contains("Done: ") || m_watch.state() != QProcess::Running),
                             30000);
    const QString text = QString::fromUtf8(output);
    QVERIFY2(text.contains(label + u": Backup started (sync)."_s), qPrintable(text));
    QVERIFY2(text.indexOf(u"Backup started"_s) < text.indexOf(u"Done: "_s),
             qPrintable(text + QString::fromUtf8(m_watch.readAllStandardError())));
    const QString copy = destination + u'/' + label;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        QCOMPARE(readFile(copy + u'/' + it.key()), it.value());
    QVERIFY(!QFileInfo::exists(copy + u"/.keelbox.json"_s));

    QList<QJsonObject> notes;
    QTRY_COMPARE_WITH_TIMEOUT((notes = notifications().mid(notificationsBefore)).size(), 2, 10000);
    for (const QJsonObject& note : std::as_const(notes)) {
        QCOMPARE(note["app_name"].toString(), u"Keelbox"_s);
        QCOMPARE(note["replaces_id"].toInt(), 0);
        QCOMPARE(note["summary"].toString(), u"Keelbox — "_s + label);
        QCOMPARE(note["hints"]["desktop-entry"].toString(), u"keelbox"_s);
        QCOMPARE(note["expire_timeout"].toInt(), -1);
        QVERIFY(note["actions"].toArray().isEmpty());
    }
    // The start is silent; the finish plays the sound of a completed task.
    const QJsonObject started = notes[0], finished = notes[1];
    QCOMPARE(started["body"].toString(), u"Backup started (sync)…"_s);
    QVERIFY(!started["hints"].toObject().contains(u"sound-name"_s));
    QVERIFY(finished["body"].toString().startsWith(u"Done: "_s));
    QCOMPARE(finished["hints"]["sound-name"].toString(), u"complete"_s);
    QCOMPARE(m_watch.state(), QProcess::Running);

    // The command line names the drive as the application does: one folder, found unchanged.
    QProcess backup;
    backup.setProcessEnvironment(env);
    backup.start(QStringLiteral(KEELBOX_BINARY),
                 {u"backup"_s, mountPath, u"--no-progress"_s, u"--language"_s, u"en"_s});
    QVERIFY(backup.waitForFinished(30000));
    const QString said = QString::fromUtf8(backup.readAllStandardOutput());
    QVERIFY2(backup.exitCode() == 0 && said.contains(u"3 unchanged"_s),
             qPrintable(said + QString::fromUtf8(backup.readAllStandardError())));
    QCOMPARE(QDir(destination).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{label});
}

QTEST_GUILESS_MAIN(WatchEndToEndTest)
#include "tst_watch_e2e.moc"
