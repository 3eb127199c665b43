// `keelbox watch` on the test stack: plugged sticks are backed up, logged and notified.

#include "StackSupport.h"

using namespace keelbox::test;

class WatchEndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanup();
    void pluggedStickIsBackedUp_data();
    void pluggedStickIsBackedUp();
    void secondWatchStandsBy();

private:
    // A private session below `root`; `withUDisks` false: no system bus at all.
    static QProcessEnvironment environment(const QString& root, bool withUDisks) {
        QProcessEnvironment env = privateSession(root);
        if (!withUDisks)
            env.insert(u"DBUS_SYSTEM_BUS_ADDRESS"_s, u"unix:path=%1/no_bus_here"_s.arg(stackDir()));
        return env;
    }

    QTemporaryDir m_home;
    QString m_image;
    QString m_folder;
    Background m_watchProcess, m_secondProcess;
    QProcess& m_watch = m_watchProcess.process;
    QProcess& m_second = m_secondProcess.process;
    int m_runs = 0;
};

void WatchEndToEndTest::initTestCase() {
    REQUIRE_STACK();
    QVERIFY(QFileInfo(QStringLiteral(KEELBOX_BINARY)).isExecutable());
}

void WatchEndToEndTest::cleanup() {
    m_watchProcess.stop();
    m_secondProcess.stop();
    discardFolder(std::exchange(m_folder, {}));
    discardImage(std::exchange(m_image, {}));
}

void WatchEndToEndTest::pluggedStickIsBackedUp_data() {
    QTest::addColumn<bool>("withUDisks");
    QTest::addColumn<QString>("label");
    QTest::addColumn<QString>("printed"); // the label as a terminal shows it
    // A label cannot forge a log line, drive the terminal, turn text round or be read as markup.
    QTest::newRow("label with a line break, an escape sequence, markup and a direction override")
        << true << u"<b>&\n\x1b<br>\u202e"_s << u"<b>&\\x0A\\x1B<br>\\u202E"_s;
    // No system bus at all: the drive is found in the kernel's mount table below /mnt.
    QTest::newRow("through the mount table") << false << u"E2ETABLE"_s << u"E2ETABLE"_s;
}

void WatchEndToEndTest::pluggedStickIsBackedUp() {
    QFETCH(bool, withUDisks);
    QFETCH(QString, label);
    QFETCH(QString, printed);
    const QString root = m_home.filePath(u"stick-%1"_s.arg(++m_runs));
    const QString destination = root + u"/Backups"_s;
    const QMap<QString, QByteArray> files{
        {u"hello.txt"_s, "hello from the stick\n"},
        {u"docs/Zdjęcie łąka.jpg"_s, "\xff\xd8" + QByteArray(100000, 'x')}};
    m_image = configuredStick(root + u"/content"_s, label, destination, files);
    QVERIFY(!m_image.isEmpty());
    m_watch.setProcessEnvironment(environment(root, withUDisks));
    const qsizetype notificationsBefore = notifications().size();
    m_watch.start(QStringLiteral(KEELBOX_BINARY), {u"watch"_s, u"--language"_s, u"en"_s});
    QByteArray output;
    QTRY_VERIFY_WITH_TIMEOUT(
        (output += m_watch.readAllStandardOutput(), output.contains("Watching for drives")), 10000);

    QString mountPath;
    if (withUDisks) {
        const Plugged plugged = plugIn(m_image);
        QVERIFY2(!plugged.mountPath.isEmpty(), qPrintable(plugged.error));
        mountPath = plugged.mountPath;
    } else {
        // On a loop device udev has labelled, mounted without UDisks2 as fstab would.
        mountPath = m_folder = u"/mnt/keelbox-e2e-"_s + shortId();
        const Run loop = run(u"losetup"_s, {u"-f"_s, u"--show"_s, m_image});
        QVERIFY2(loop.ok() && QDir().mkpath(m_folder), qPrintable(loop.out));
        settleUdev();
        const Run mounted = run(u"mount"_s, {loop.out.trimmed(), m_folder});
        QVERIFY2(mounted.ok(), qPrintable(mounted.out));
    }

    // The files arrive under destination/<drive name>/; the rules file is never copied.
    QTRY_VERIFY_WITH_TIMEOUT((output += m_watch.readAllStandardOutput(),
                              output.contains("Done: ") || m_watch.state() != QProcess::Running),
                             30000);
    const QString text = QString::fromUtf8(output);
    QVERIFY2(text.contains(printed + u": Backup started (sync)."_s) && !text.contains(u'\x1b') &&
                 text.indexOf(u"Backup started"_s) < text.indexOf(u"Done: "_s),
             qPrintable(text + QString::fromUtf8(m_watch.readAllStandardError())));
    const QString copy = destination + u'/' + label;
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        QCOMPARE(readFile(copy + u'/' + it.key()), it.value());
    QVERIFY(!QFileInfo::exists(copy + u"/.keelbox.json"_s));

    // The start, then the finish in its place, with the sound of a done task.
    QList<QJsonObject> notes;
    QTRY_COMPARE_WITH_TIMEOUT((notes = notifications().mid(notificationsBefore)).size(), 2, 10000);
    for (const QJsonObject& note : std::as_const(notes)) {
        QCOMPARE(
            (QStringList{note["summary"].toString(), note["hints"]["desktop-entry"].toString()}),
            (QStringList{u"Keelbox — \u2068"_s + printed + u"\u2069"_s, u"keelbox"_s}));
        QVERIFY(note["actions"].toArray().isEmpty());
    }
    const QJsonObject started = notes[0], finished = notes[1];
    QCOMPARE(finished["replaces_id"].toInt(), started["id"].toInt());
    QCOMPARE((QStringList{started["body"].toString(), started["hints"]["sound-name"].toString(),
                          finished["body"].toString().left(6),
                          finished["hints"]["sound-name"].toString()}),
             (QStringList{u"Backup started (sync)…"_s, {}, u"Done: "_s, u"complete"_s}));
    QCOMPARE(m_watch.state(), QProcess::Running);

    // The command line names the drive as the application does: one folder, found unchanged.
    const Run backup = run(QStringLiteral(KEELBOX_BINARY),
                           {u"backup"_s, mountPath, u"--no-progress"_s, u"--language"_s, u"en"_s},
                           environment(root, withUDisks));
    QVERIFY2(backup.ok() && backup.out.contains(u"2 unchanged"_s), qPrintable(backup.out));
    QCOMPARE(QDir(destination).entryList(QDir::Dirs | QDir::NoDotAndDotDot), QStringList{label});
}

// A second watch of the session leaves the automatic backups to the first until the first ends.
void WatchEndToEndTest::secondWatchStandsBy() {
    const QString root = m_home.filePath(u"two-watches"_s);
    const QString destination = root + u"/Backups"_s;
    m_image =
        configuredStick(root + u"/content"_s, u"TWICE"_s, destination, {{u"one.txt"_s, "one\n"}});
    QVERIFY(!m_image.isEmpty());
    QByteArray first, second;
    const auto read = [&] {
        if (m_watch.isOpen())
            first += m_watch.readAllStandardOutput();
        if (m_second.isOpen())
            second += m_second.readAllStandardOutput();
    };
    for (QProcess* watch : {&m_watch, &m_second}) {
        watch->setProcessEnvironment(environment(root, true));
        watch->start(QStringLiteral(KEELBOX_BINARY), {u"watch"_s, u"--language"_s, u"en"_s});
        QVERIFY(watch->waitForStarted());
        QTRY_VERIFY_WITH_TIMEOUT(
            (read(), (watch == &m_watch ? first : second).contains("Watching for drives")), 10000);
    }
    QVERIFY2(second.contains("Automatic backups of this session are run by another Keelbox") &&
                 !first.contains("another Keelbox"),
             second.constData());

    const Plugged plugged = plugIn(m_image);
    QVERIFY2(!plugged.mountPath.isEmpty(), qPrintable(plugged.error));
    QTRY_VERIFY_WITH_TIMEOUT((read(), first.contains("TWICE: Done: ")), 30000);
    QTRY_VERIFY_WITH_TIMEOUT((read(), second.contains("Connected: TWICE")), 10000);
    QVERIFY2(!second.contains("Backup started"), second.constData());

    m_watch.terminate();
    QVERIFY(m_watch.waitForFinished(10000) && m_watch.exitCode() == 0);
    QTRY_VERIFY_WITH_TIMEOUT((read(), second.contains("TWICE: Done: ")), 30000);
    QVERIFY2(second.indexOf("Automatic backups are now run here.") <
                 second.indexOf("TWICE: Backup started"),
             second.constData());
    QCOMPARE(readFile(destination + u"/TWICE/one.txt"_s), QByteArray("one\n"));
    QVERIFY(run(u"udisksctl"_s, {u"unmount"_s, u"-b"_s, plugged.device}).ok());
    QTRY_VERIFY_WITH_TIMEOUT((read(), second.contains("Disconnected: TWICE")), 10000);
}

QTEST_GUILESS_MAIN(WatchEndToEndTest)
#include "tst_watch_e2e.moc"
