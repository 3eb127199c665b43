// End to end on the test stack: `keelbox watch` is running, a configured stick with automatic
// backups is plugged in through UDisks2, and the backup lands in the destination, the log lines are
// printed and the notification daemon receives the start and finish notifications.

#include "StackSupport.h"

#include <QDir>
#include <QFile>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QProcessEnvironment>
#include <QRegularExpression>
#include <QTemporaryDir>
#include <QTest>

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

QList<QJsonObject> notificationsAfter(qsizetype skip) {
    QList<QJsonObject> result;
    const QList<QByteArray> lines =
        readFile(qEnvironmentVariable("KEELBOX_NOTIFICATIONS_FILE")).split('\n');
    for (const QByteArray& line : lines) {
        if (line.trimmed().isEmpty())
            continue;
        if (skip > 0) {
            --skip;
            continue;
        }
        result.append(QJsonDocument::fromJson(line).object());
    }
    return result;
}

} // namespace

class WatchEndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
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
    const QString problem = stackProblem();
    if (!problem.isEmpty())
        SKIP_OR_FAIL(problem);
    QVERIFY(m_home.isValid());
    QVERIFY(QFileInfo(QStringLiteral(KEELBOX_BINARY)).isExecutable());
}

void WatchEndToEndTest::cleanupTestCase() {}

void WatchEndToEndTest::cleanup() {
    if (m_watch.state() != QProcess::NotRunning) {
        m_watch.terminate();
        if (!m_watch.waitForFinished(5000)) {
            m_watch.kill();
            m_watch.waitForFinished();
        }
    }
    if (!m_folder.isEmpty()) {
        run(QStringLiteral("umount"), {m_folder});
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
    QTest::newRow("through UDisks2") << true << "E2ESTICK";
    // No system bus at all: the drive is found in the kernel's mount table below /mnt.
    QTest::newRow("through the mount table") << false << "E2ETABLE";
}

void WatchEndToEndTest::pluggedStickIsBackedUp() {
    QFETCH(bool, withUDisks);
    QFETCH(QString, label);
    const QString kLabel = label;
    const QString root = m_home.filePath(label);
    // The stick's contents, its rules included, go onto the image as it is made.
    const QString content = root + QStringLiteral("/content");
    const QString destination = root + QStringLiteral("/Backups");
    const QMap<QString, QByteArray> files{
        {QStringLiteral("hello.txt"), "hello from the stick\n"},
        {QStringLiteral("docs/a b.txt"), QByteArray(100000, 'x')},
        {QStringLiteral("docs/Zdjęcie łąka.jpg"), QByteArray("\xff\xd8\xff\xe0 not really a jpeg")},
    };
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        QVERIFY(writeFile(content + u'/' + it.key(), it.value()));
    const QJsonObject config{
        {"schemaVersion", 1},
        {"driveID", "6F1C2A4E-8B3D-4C5E-9A7F-0B1C2D3E4F50"},
        {"driveName", kLabel},
        {"createdAt", "2026-12-01T10:00:00Z"},
        {"updatedAt", "2026-12-01T10:00:00Z"},
        {"destinationPath", destination},
        {"mode", "sync"},
        {"deleteRemovedFiles", false},
        {"autoRunOnMount", true},
        {"sources", QJsonArray{QJsonObject{{"id", "0A1B2C3D-4E5F-4061-8273-94A5B6C7D8E9"},
                                           {"relativePath", ""}}}},
    };
    QVERIFY(writeFile(content + QStringLiteral("/.keelbox.json"), QJsonDocument(config).toJson()));

    m_image = QStringLiteral("%1/img/e2e-%2-removable.img")
                  .arg(stackDir(), QUuid::createUuid().toString(QUuid::Id128).left(8));
    {
        QFile image(m_image);
        QVERIFY(image.open(QIODevice::WriteOnly));
        QVERIFY(image.resize(64 * 1024 * 1024));
    }
    const Run made = run(QStringLiteral("mkfs.ext4"),
                         {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-L"), kLabel,
                          QStringLiteral("-d"), content, m_image});
    QVERIFY2(made.ok(), qPrintable(made.out));

    // The application runs with its own home, so that nothing of the real user's is read or
    // written.
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(QStringLiteral("HOME"), root);
    env.insert(QStringLiteral("XDG_CONFIG_HOME"), root + QStringLiteral("/config"));
    env.insert(QStringLiteral("XDG_DATA_HOME"), root + QStringLiteral("/data"));
    env.insert(QStringLiteral("XDG_CACHE_HOME"), root + QStringLiteral("/cache"));
    if (!withUDisks)
        env.insert(QStringLiteral("DBUS_SYSTEM_BUS_ADDRESS"),
                   QStringLiteral("unix:path=%1/no_bus_here").arg(stackDir()));
    const QString runtime = root + QStringLiteral("/runtime");
    QDir().mkpath(runtime);
    QFile::setPermissions(runtime,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    env.insert(QStringLiteral("XDG_RUNTIME_DIR"), runtime);
    m_watch.setProcessEnvironment(env);
    m_watch.setProcessChannelMode(QProcess::SeparateChannels);
    const qsizetype notificationsBefore = notificationsAfter(0).size();
    m_watch.start(QStringLiteral(KEELBOX_BINARY),
                  {QStringLiteral("watch"), QStringLiteral("--language"), QStringLiteral("en")});
    QVERIFY(m_watch.waitForStarted());
    // Give it a moment to subscribe before the stick arrives; a stick that came first would be
    // found by the first scan and backed up too, so this is no race for the outcome.
    QTest::qWait(1000);
    QCOMPARE(m_watch.state(), QProcess::Running);

    if (withUDisks) {
        const Run setup =
            run(QStringLiteral("udisksctl"), {QStringLiteral("loop-setup"), QStringLiteral("-f"),
                                              m_image, QStringLiteral("--no-user-interaction")});
        const QRegularExpressionMatch loop =
            QRegularExpression(QStringLiteral("(/dev/loop\\d+)")).match(setup.out);
        QVERIFY2(setup.ok() && loop.hasMatch(), qPrintable(setup.out));
        run(QStringLiteral("udevadm"),
            {QStringLiteral("settle"), QStringLiteral("-t"), QStringLiteral("30")});
        const Run mounted = run(QStringLiteral("udisksctl"),
                                {QStringLiteral("mount"), QStringLiteral("-b"), loop.captured(1),
                                 QStringLiteral("--no-user-interaction")});
        QVERIFY2(mounted.ok(), qPrintable(mounted.out));
    } else {
        m_folder = QStringLiteral("/mnt/") + kLabel;
        QVERIFY(QDir().mkpath(m_folder));
        const Run mounted = run(QStringLiteral("mount"),
                                {QStringLiteral("-o"), QStringLiteral("loop"), m_image, m_folder});
        QVERIFY2(mounted.ok(), qPrintable(mounted.out));
    }

    // The backup's files arrive under destination/<drive name>/.
    const QString copy = destination + u'/' + kLabel;
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT((output += m_watch.readAllStandardOutput(),
                              output.contains("Done: ") || m_watch.state() != QProcess::Running),
                             30000);
    QVERIFY2(output.contains("Done: "), (output + m_watch.readAllStandardError()).constData());
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        QCOMPARE(readFile(copy + u'/' + it.key()), it.value());
    QVERIFY2(!QFileInfo::exists(copy + QStringLiteral("/.keelbox.json")),
             "the rules file is never copied");

    const QString text = QString::fromUtf8(output);
    QVERIFY2(text.contains(kLabel), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Backup started (sync).")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Done: ")), qPrintable(text));
    QVERIFY2(text.indexOf(QStringLiteral("Backup started")) <
                 text.indexOf(QStringLiteral("Done: ")),
             qPrintable(text));

    QList<QJsonObject> notes;
    QTRY_VERIFY_WITH_TIMEOUT((notes = notificationsAfter(notificationsBefore)).size() >= 2, 10000);
    QCOMPARE(notes.size(), 2);
    const QJsonObject started = notes.at(0);
    const QJsonObject finished = notes.at(1);
    QCOMPARE(started[QStringLiteral("summary")].toString(), QStringLiteral("Keelbox — ") + kLabel);
    QCOMPARE(started[QStringLiteral("body")].toString(), QStringLiteral("Backup started (sync)…"));
    QCOMPARE(finished[QStringLiteral("summary")].toString(), QStringLiteral("Keelbox — ") + kLabel);
    QVERIFY(finished[QStringLiteral("body")].toString().startsWith(QStringLiteral("Done: ")));
    // The start is silent; the finish plays the desktop's default sound.
    const auto hasSound = [](const QJsonObject& note) {
        const QJsonObject hints = note[QStringLiteral("hints")].toObject();
        return hints.contains(QStringLiteral("sound-name")) ||
               hints.contains(QStringLiteral("sound-file"));
    };
    QVERIFY(!hasSound(started));
    QVERIFY(hasSound(finished));
    QVERIFY(
        !finished[QStringLiteral("hints")].toObject()[QStringLiteral("suppress-sound")].toBool());

    QCOMPARE(m_watch.state(), QProcess::Running);
}

QTEST_GUILESS_MAIN(WatchEndToEndTest)
#include "tst_watch_e2e.moc"
