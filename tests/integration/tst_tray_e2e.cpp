// The tray application on Xvfb: a D-Bus tray, a late XEmbed tray host, and no tray at all.

#include "StackSupport.h"

#include <QDBusConnection>
#include <QStandardPaths>

using namespace keelbox::test;

namespace {

const QString python = u"/usr/bin/python3"_s;
const QString here = QStringLiteral(KEELBOX_TEST_DIR);

// Counts a D-Bus signal (QtDBus connects signals to slots only).
class SignalCounter : public QObject {
    Q_OBJECT
public slots:
    void hit() { ++count; }

public:
    int count = 0;
};

QString busctl(const QStringList& args) {
    return run(u"busctl"_s,
               QStringList{u"--address="_s + qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS")} +
                   args)
        .out;
}

} // namespace

class TrayEndToEndTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void init();
    void cleanup();
    void dbusTrayFollowsABackupAndOffersTheLog();
    void trayHostThatStartsLateGetsTheIcon();
    void withoutATraySecondLaunchShowsThePanel();

private:
    QProcessEnvironment environment() const {
        QProcessEnvironment env = privateSession(m_home->path());
        env.insert(u"DISPLAY"_s, m_display);
        env.insert(u"QT_QPA_PLATFORM"_s, u"xcb"_s);
        env.insert(u"LANGUAGE"_s, u"en"_s);
        env.insert(u"ASAN_OPTIONS"_s, u"detect_leaks=0"_s);
        env.insert(u"QT_LINUX_ACCESSIBILITY_ALWAYS_ON"_s, u"1"_s);
        return env;
    }
    void launch(Background& app, const QStringList& args = {}) {
        app.process.setProcessEnvironment(environment());
        app.process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        app.process.start(QStringLiteral(KEELBOX_BINARY), args);
        QVERIFY(app.process.waitForStarted()); // the instance once it listens for later launches
        QTRY_VERIFY_WITH_TIMEOUT(QFile::exists(m_home->filePath(u"runtime/keelbox.socket"_s)),
                                 10000);
    }
    Run inSession(const QString& program, const QStringList& args) const {
        return run(program, args, environment(), false);
    }
    // The visible windows whose title matches `name` (a regular expression).
    QStringList visibleWindows(const QString& name) const {
        return inSession(u"xdotool"_s, {u"search"_s, u"--onlyvisible"_s, u"--name"_s, name})
            .out.split(u'\n', Qt::SkipEmptyParts);
    }

    std::unique_ptr<QTemporaryDir> m_home;
    QString m_display;
    Background m_xvfb;
    QString m_image;
};

void TrayEndToEndTest::initTestCase() {
    REQUIRE_STACK();
    for (const QString& tool : {u"Xvfb"_s, u"trayer"_s, u"xdotool"_s, u"xwininfo"_s})
        if (QStandardPaths::findExecutable(tool).isEmpty())
            SKIP_OR_FAIL(tool + u" is not installed (scripts/install-deps.sh test)"_s);
}

void TrayEndToEndTest::init() {
    m_home = std::make_unique<QTemporaryDir>();
    m_xvfb.process.start(u"Xvfb"_s, {u"-displayfd"_s, u"1"_s, u"-nolisten"_s, u"tcp"_s,
                                     u"-screen"_s, u"0"_s, u"1024x768x24"_s});
    QVERIFY(m_xvfb.process.waitForReadyRead(10000));
    m_display = u":"_s + QString::fromLatin1(m_xvfb.process.readLine()).trimmed();
}

void TrayEndToEndTest::cleanup() {
    m_xvfb.stop();
    discardImage(std::exchange(m_image, {}));
}

void TrayEndToEndTest::dbusTrayFollowsABackupAndOffersTheLog() {
    Background watcher;
    watcher.process.start(
        python, {here + u"/sni_watcher.py"_s, qEnvironmentVariable("DBUS_SESSION_BUS_ADDRESS")});
    QTRY_VERIFY_WITH_TIMEOUT(
        busctl({u"status"_s, u"org.kde.StatusNotifierWatcher"_s}).contains(u"python3"_s), 10000);

    // A stick with enough data to take a moment.
    const QString destination = m_home->filePath(u"Backups"_s);
    m_image = configuredStick(m_home->filePath(u"content"_s), u"TRAYSTICK"_s, destination,
                              {{u"video.bin"_s, QByteArray(24 << 20, 'v')}});
    QVERIFY(!m_image.isEmpty());

    Background app;
    launch(app);
    // The item registers with the watcher; its menu offers no update check in this build.
    QString item;
    QTRY_VERIFY_WITH_TIMEOUT(
        !(item = busctl({u"get-property"_s, u"org.kde.StatusNotifierWatcher"_s,
                         u"/StatusNotifierWatcher"_s, u"org.kde.StatusNotifierWatcher"_s,
                         u"RegisteredStatusNotifierItems"_s})
                     .section(u'"', 1, 1))
             .isEmpty(),
        10000);
    const QString service = item.section(u'/', 0, 0);
    const QStringList property{u"get-property"_s, service, u"/StatusNotifierItem"_s,
                               u"org.kde.StatusNotifierItem"_s};
    const QString menu = busctl({u"call"_s, service, u"/MenuBar"_s, u"com.canonical.dbusmenu"_s,
                                 u"GetLayout"_s, u"iias"_s, u"--"_s, u"0"_s, u"-1"_s, u"0"_s});
    QVERIFY2(menu.contains(u"\"enabled\" b false \"label\" s \"Check for Updates"_s) &&
                 menu.contains(u"\"Open Keelbox\""_s) && menu.contains(u"\"Quit\""_s),
             qPrintable(menu));
    const QString idleIcon = busctl(property + QStringList{u"IconPixmap"_s});
    QVERIFY(idleIcon.size() > 100);

    SignalCounter newIcon;
    QDBusConnection bus = QDBusConnection::sessionBus();
    QVERIFY(bus.connect(service, u"/StatusNotifierItem"_s, u"org.kde.StatusNotifierItem"_s,
                        u"NewIcon"_s, &newIcon, SLOT(hit())));
    const qsizetype notesBefore = notifications().size();
    const Plugged plugged = plugIn(m_image);
    QVERIFY2(!plugged.mountPath.isEmpty(), qPrintable(plugged.error));
    QTRY_VERIFY_WITH_TIMEOUT(QFileInfo(destination + u"/TRAYSTICK/video.bin"_s).size() == 24 << 20,
                             60000);
    // Busy while the run goes, idle again once it is over (the host may be told more than once).
    QTRY_VERIFY_WITH_TIMEOUT(newIcon.count >= 2, 20000);
    QTRY_COMPARE_WITH_TIMEOUT(busctl(property + QStringList{u"IconPixmap"_s}), idleIcon, 20000);
    QVERIFY(busctl(property + QStringList{u"ToolTip"_s}).contains(u"\"Keelbox\" \"\""_s));

    // The finished notification offers the log; choosing it opens the log window.
    QJsonObject finished;
    QTRY_VERIFY_WITH_TIMEOUT(
        [&] {
            for (const QJsonObject& note : notifications().mid(notesBefore))
                if (note["body"].toString().startsWith(u"Done: "_s))
                    finished = note;
            return !finished.isEmpty();
        }(),
        10000);
    // One action: servers that draw the default one as a button show a single "Show log".
    QCOMPARE(finished["actions"].toArray(), (QJsonArray{"default", "Show log"}));
    QVERIFY(visibleWindows(u"Keelbox Log|Dziennik Keelbox"_s).isEmpty());
    busctl({u"call"_s, u"org.freedesktop.Notifications"_s, u"/org/freedesktop/Notifications"_s,
            u"org.keelbox.Test"_s, u"InvokeAction"_s, u"us"_s,
            QString::number(finished["id"].toInt()), u"default"_s});
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(u"Keelbox Log|Dziennik Keelbox"_s).size(), 1, 10000);
}

void TrayEndToEndTest::trayHostThatStartsLateGetsTheIcon() {
    Background app; // no tray host and no D-Bus tray yet: the icon has nowhere to go
    launch(app);
    const auto embedded = [this] { // the host's panel window lists the icon window as a child
        const QString text = inSession(u"xwininfo"_s, {u"-root"_s, u"-tree"_s}).out;
        const qsizetype panel = text.indexOf(u"(\"panel\" \"trayer\")"_s);
        return panel >= 0 && text.indexOf(u"(\"keelbox\" \"keelbox\")"_s, panel) >= 0;
    };
    QTest::qWait(1000);
    QVERIFY(!embedded());
    Background trayer;
    trayer.process.setProcessEnvironment(environment());
    trayer.process.start(u"trayer"_s,
                         {u"--edge"_s, u"top"_s, u"--align"_s, u"right"_s, u"--widthtype"_s,
                          u"request"_s, u"--height"_s, u"32"_s, u"--SetDockType"_s, u"true"_s});
    QTRY_VERIFY_WITH_TIMEOUT(embedded(), 15000);
}

void TrayEndToEndTest::withoutATraySecondLaunchShowsThePanel() {
    const QString launcher = u"/usr/libexec/at-spi-bus-launcher"_s;
    if (!QFileInfo(launcher).isExecutable() ||
        run(python, {u"-c"_s, u"import pyatspi"_s}).exitCode != 0)
        SKIP_OR_FAIL(u"at-spi2-core or python3-pyatspi is missing"_s);
    Background accessibility;
    accessibility.process.start(launcher, {u"--launch-immediately"_s});
    QTRY_VERIFY_WITH_TIMEOUT(busctl({u"status"_s, u"org.a11y.Bus"_s}).contains(u"PID"_s), 10000);

    // Started for a window, so the panel does not open by itself.
    Background app;
    launch(app, {u"--show"_s, u"help"_s});
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(u"Help|Pomoc"_s).size(), 1, 10000);
    QVERIFY(visibleWindows(u"^Keelbox$"_s).isEmpty());

    // A second launch shows the panel, and every control of it is there for a screen reader.
    QCOMPARE(inSession(QStringLiteral(KEELBOX_BINARY), {}).exitCode, 0);
    QTRY_COMPARE_WITH_TIMEOUT(visibleWindows(u"^Keelbox$"_s).size(), 1, 10000);
    const Run probe = inSession(python, {here + u"/atspi_probe.py"_s, u"keelbox"_s});
    const QString& tree = probe.out;
    QVERIFY2(probe.ok(), qPrintable(tree));
    for (const QString& control :
         {u"push button\tHelp"_s, u"push button\tRefresh drive list"_s,
          u"label\tNo USB drives connected."_s, u"check box\tAutomatic backup on connect"_s,
          u"push button\tSettings…"_s, u"push button\tLog…"_s, u"push button\tQuit"_s})
        QVERIFY2(tree.contains(control), qPrintable(control + u" missing in\n"_s + tree));
    // Every button and check box has a name.
    QVERIFY2(!tree.contains(QRegularExpression(u"^(push button|check box)\t\t"_s,
                                               QRegularExpression::MultilineOption)),
             qPrintable(tree));
}

QTEST_GUILESS_MAIN(TrayEndToEndTest)
#include "tst_tray_e2e.moc"
