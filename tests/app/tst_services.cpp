// Preferences, the observable language, the autostart entry and desktop notifications, each on
// real files in temporary folders or a private session bus.

#include "app/AppState.h"
#include "app/Localizer.h"
#include "app/LoginItem.h"
#include "app/Notifier.h"
#include "app/Preferences.h"

#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusContext>
#include <QProcess>
#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

#include <sys/mount.h>
#include <unistd.h>

using namespace keelbox;
using namespace keelbox::app;

namespace {

QString readAll(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return QString::fromUtf8(file.readAll());
}

void writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    QVERIFY(file.open(QIODevice::WriteOnly | QIODevice::Truncate));
    file.write(bytes);
}

} // namespace

// Records Notify calls the way a desktop's notification server receives them.
class NotificationRecorder : public QObject, protected QDBusContext {
    Q_OBJECT
    Q_CLASSINFO("D-Bus Interface", "org.freedesktop.Notifications")

public:
    struct Call {
        QString appName;
        uint replacesId;
        QString icon;
        QString summary;
        QString body;
        QStringList actions;
        QVariantMap hints;
        int timeout;
    };
    std::vector<Call> calls;

public slots:
    uint Notify(const QString& appName, uint replacesId, const QString& icon,
                const QString& summary, const QString& body, const QStringList& actions,
                const QVariantMap& hints, int timeout) {
        calls.push_back({appName, replacesId, icon, summary, body, actions, hints, timeout});
        return uint(calls.size());
    }
    QStringList GetCapabilities() { return {QStringLiteral("body"), QStringLiteral("sound")}; }
};

class ServicesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();

    void preferencesLiveUnderXdgConfigHome();
    void storedBooleans_data();
    void storedBooleans();

    void startingLanguage_data();
    void startingLanguage();
    void languageChoiceIsRemembered();
    void sessionLanguageIsNotStored();
    void preferredLanguagesFromEnvironment_data();
    void preferredLanguagesFromEnvironment();

    void autostartEntryState_data();
    void autostartEntryState();
    void execArgumentQuoting_data();
    void execArgumentQuoting();
    void autostartRoundTrip();
    void autostartEntryIsValid();
    void systemEntryIsOverriddenWhenTurnedOff();
    void autostartFolderBlocked();
    void autostartOnReadOnlyMount();

    void notificationsOverPrivateBus();

private:
    QTemporaryDir m_home;
};

void ServicesTest::initTestCase() {
    QVERIFY(m_home.isValid());
    // Before the first QSettings: Qt reads the folders once.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
}

void ServicesTest::preferencesLiveUnderXdgConfigHome() {
    Preferences preferences;
    QCOMPARE(preferences.fileName(),
             m_home.filePath(QStringLiteral("config/keelbox/keelbox.conf")));
    QCOMPARE(preferences.boolValue(QStringLiteral("autoBackup")), std::nullopt);
    preferences.setBool(QStringLiteral("autoBackup"), false);
    preferences.setString(QStringLiteral("appLanguage"), QStringLiteral("pl"));
    const QString text = readAll(preferences.fileName());
    QVERIFY2(text.contains(QStringLiteral("autoBackup=false")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("appLanguage=pl")), qPrintable(text));
    Preferences other;
    QCOMPARE(other.boolValue(QStringLiteral("autoBackup")), std::optional<bool>(false));
    QCOMPARE(other.stringValue(QStringLiteral("appLanguage")), std::optional<QString>("pl"));
}

void ServicesTest::storedBooleans_data() {
    QTest::addColumn<QVariant>("value");
    QTest::addColumn<int>("expected"); // -1: not a boolean
    QTest::newRow("bool true") << QVariant(true) << 1;
    QTest::newRow("bool false") << QVariant(false) << 0;
    QTest::newRow("ini true") << QVariant(QStringLiteral("true")) << 1;
    QTest::newRow("ini false") << QVariant(QStringLiteral("false")) << 0;
    QTest::newRow("capitalised") << QVariant(QStringLiteral("False")) << -1;
    QTest::newRow("number text") << QVariant(QStringLiteral("0")) << -1;
    QTest::newRow("integer") << QVariant(0) << -1;
    QTest::newRow("list") << QVariant(QStringList{QStringLiteral("false")}) << -1;
    QTest::newRow("missing") << QVariant() << -1;
}

void ServicesTest::storedBooleans() {
    QFETCH(QVariant, value);
    QFETCH(int, expected);
    const std::optional<bool> result = storedBoolean(value);
    if (expected < 0)
        QVERIFY(!result);
    else
        QCOMPARE(result, std::optional<bool>(expected == 1));
}

void ServicesTest::startingLanguage_data() {
    QTest::addColumn<QString>("stored");
    QTest::addColumn<QStringList>("preferred");
    QTest::addColumn<QString>("expected");
    QTest::newRow("stored pl beats system") << "pl" << QStringList{"en_US.UTF-8"} << "pl";
    QTest::newRow("stored en beats system") << "en" << QStringList{"pl_PL.UTF-8"} << "en";
    QTest::newRow("stored de ignored") << "de" << QStringList{"pl_PL.UTF-8"} << "pl";
    QTest::newRow("nothing at all") << QString() << QStringList{} << "en";
    QTest::newRow("first system entry wins") << QString() << QStringList{"de_DE", "pl_PL"} << "en";
    QTest::newRow("bare pl") << QString() << QStringList{"pl"} << "pl";
    QTest::newRow("upper-case PL is not Polish") << QString() << QStringList{"PL"} << "en";
}

void ServicesTest::startingLanguage() {
    QFETCH(QString, stored);
    QFETCH(QStringList, preferred);
    QFETCH(QString, expected);
    QTemporaryDir dir;
    auto preferences = std::make_shared<Preferences>(dir.filePath(QStringLiteral("p.ini")));
    if (!stored.isNull())
        preferences->setString(QStringLiteral("appLanguage"), stored);
    std::vector<std::string> list;
    for (const QString& entry : preferred)
        list.push_back(entry.toStdString());
    app::Localizer localizer(preferences, list);
    QCOMPARE(localizer.languageCode(), expected);
    // Construction writes nothing: an unknown stored value stays as it was.
    QCOMPARE(preferences->stringValue(QStringLiteral("appLanguage")),
             stored.isNull() ? std::nullopt : std::optional<QString>(stored));
}

void ServicesTest::languageChoiceIsRemembered() {
    QTemporaryDir dir;
    const QString file = dir.filePath(QStringLiteral("p.ini"));
    {
        app::Localizer localizer(std::make_shared<Preferences>(file), {"pl_PL.UTF-8"});
        QCOMPARE(localizer.language(), AppLanguage::polish);
        QCOMPARE(localizer.text("menu.quit"), std::string("Zakończ"));
        QSignalSpy spy(&localizer, &app::Localizer::languageChanged);
        localizer.setLanguage(AppLanguage::english);
        QCOMPARE(spy.count(), 1);
        QCOMPARE(localizer.text("summary.files", {std::int64_t(3)}), std::string("3 files"));
        localizer.setLanguageCode(QStringLiteral("xx"));
        QCOMPARE(localizer.language(), AppLanguage::english);
        QCOMPARE(spy.count(), 1);
    }
    app::Localizer relaunched(std::make_shared<Preferences>(file), {"pl_PL.UTF-8"});
    QCOMPARE(relaunched.language(), AppLanguage::english);
}

void ServicesTest::sessionLanguageIsNotStored() {
    QTemporaryDir dir;
    auto preferences = std::make_shared<Preferences>(dir.filePath(QStringLiteral("p.ini")));
    app::Localizer localizer(preferences, {"en_GB"});
    QSignalSpy spy(&localizer, &app::Localizer::languageChanged);
    localizer.useLanguageForSession(AppLanguage::polish);
    QCOMPARE(spy.count(), 1);
    QCOMPARE(localizer.language(), AppLanguage::polish);
    QCOMPARE(preferences->stringValue(QStringLiteral("appLanguage")), std::nullopt);
}

void ServicesTest::preferredLanguagesFromEnvironment_data() {
    QTest::addColumn<QStringList>("variables"); // NAME=value
    QTest::addColumn<QStringList>("expected");
    QTest::newRow("LANG only") << QStringList{"LANG=pl_PL.UTF-8"} << QStringList{"pl_PL.UTF-8"};
    QTest::newRow("LANGUAGE list first") << QStringList{"LANGUAGE=de:pl", "LANG=en_US.UTF-8"}
                                         << QStringList{"de", "pl", "en_US.UTF-8"};
    QTest::newRow("order of the locale variables")
        << QStringList{"LANG=en_US", "LC_MESSAGES=pl_PL", "LC_ALL=de_DE"}
        << QStringList{"de_DE", "pl_PL", "en_US"};
    QTest::newRow("C and POSIX name no language")
        << QStringList{"LC_ALL=C", "LC_MESSAGES=POSIX", "LANG=C.UTF-8"} << QStringList{};
    QTest::newRow("empty LANGUAGE entries") << QStringList{"LANGUAGE=::pl::"} << QStringList{"pl"};
    QTest::newRow("nothing set") << QStringList{} << QStringList{};
}

void ServicesTest::preferredLanguagesFromEnvironment() {
    QFETCH(QStringList, variables);
    QFETCH(QStringList, expected);
    QProcessEnvironment environment;
    for (const QString& variable : variables)
        environment.insert(variable.section(QLatin1Char('='), 0, 0),
                           variable.section(QLatin1Char('='), 1));
    QStringList got;
    for (const std::string& entry : preferredLanguages(environment))
        got << QString::fromStdString(entry);
    QCOMPARE(got, expected);
}

void ServicesTest::autostartEntryState_data() {
    QTest::addColumn<QString>("text");
    QTest::addColumn<bool>("enabled");
    QTest::newRow("plain") << "[Desktop Entry]\nType=Application\nExec=keelbox\n" << true;
    QTest::newRow("hidden") << "[Desktop Entry]\nExec=keelbox\nHidden=true\n" << false;
    QTest::newRow("gnome off") << "[Desktop Entry]\nX-GNOME-Autostart-enabled=false\n" << false;
    QTest::newRow("gnome on") << "[Desktop Entry]\nX-GNOME-Autostart-enabled=true\n" << true;
    QTest::newRow("spaces around =") << "[Desktop Entry]\nHidden = true\n" << false;
    QTest::newRow("hidden false") << "[Desktop Entry]\nHidden=false\n" << true;
    QTest::newRow("other group") << "[Desktop Entry]\nExec=k\n[Desktop Action x]\nHidden=true\n"
                                 << true;
    QTest::newRow("comment") << "[Desktop Entry]\n# Hidden=true\n" << true;
}

void ServicesTest::autostartEntryState() {
    QFETCH(QString, text);
    QFETCH(bool, enabled);
    QCOMPARE(autostartEntryEnabled(text), enabled);
}

void ServicesTest::execArgumentQuoting_data() {
    QTest::addColumn<QString>("argument");
    QTest::addColumn<QString>("expected");
    QTest::newRow("plain path") << "/usr/bin/keelbox"
                                << "/usr/bin/keelbox";
    QTest::newRow("space") << "/opt/My Apps/keelbox"
                           << "\"/opt/My Apps/keelbox\"";
    QTest::newRow("dollar and quote") << "/a$b\"c"
                                      << "\"/a\\$b\\\"c\"";
    QTest::newRow("backslash") << "/a\\b"
                               << "\"/a\\\\b\"";
    QTest::newRow("percent") << "/100%/keelbox"
                             << "/100%%/keelbox";
}

void ServicesTest::execArgumentQuoting() {
    QFETCH(QString, argument);
    QFETCH(QString, expected);
    QCOMPARE(quoteExecArgument(argument), expected);
}

void ServicesTest::autostartRoundTrip() {
    QTemporaryDir dir;
    XdgAutostartLoginItem item(dir.filePath(QStringLiteral("cfg")), {},
                               QStringLiteral("/usr/bin/keelbox"));
    QVERIFY(!item.isEnabled());
    QCOMPARE(item.enable(), std::nullopt);
    QVERIFY(item.isEnabled());
    QCOMPARE(item.entryPath(), dir.filePath(QStringLiteral("cfg/autostart/keelbox.desktop")));
    const QString text = readAll(item.entryPath());
    QVERIFY2(text.contains(QStringLiteral("\nExec=/usr/bin/keelbox\n")), qPrintable(text));
    QCOMPARE(
        QDir(dir.filePath(QStringLiteral("cfg/autostart"))).entryList(QDir::Files | QDir::Hidden),
        QStringList{QStringLiteral("keelbox.desktop")}); // no temporary file left behind
    // A user who turned it off in the session settings.
    writeFile(item.entryPath(), text.toUtf8() + "Hidden=true\n");
    QVERIFY(!item.isEnabled());
    QCOMPARE(item.enable(), std::nullopt);
    QVERIFY(item.isEnabled());
    QCOMPARE(item.disable(), std::nullopt);
    QVERIFY(!QFile::exists(item.entryPath()));
    QVERIFY(!item.isEnabled());
    QCOMPARE(item.disable(), std::nullopt);
}

void ServicesTest::autostartEntryIsValid() {
    const QString validator =
        QStandardPaths::findExecutable(QStringLiteral("desktop-file-validate"));
    if (validator.isEmpty())
        QSKIP("desktop-file-validate is not installed");
    QTemporaryDir dir;
    for (const QString& executable :
         {QStringLiteral("/usr/bin/keelbox"), QStringLiteral("/opt/My Apps/kee$lbox \"x\"")}) {
        XdgAutostartLoginItem item(dir.filePath(QStringLiteral("cfg")), {}, executable);
        QCOMPARE(item.enable(), std::nullopt);
        QProcess process;
        process.start(validator, {item.entryPath()});
        QVERIFY(process.waitForFinished(10000));
        QVERIFY2(process.exitCode() == 0, process.readAllStandardOutput().constData());
    }
    QTemporaryDir hidden;
    writeFile(hidden.filePath(QStringLiteral("k.desktop")),
              autostartEntryText(QStringLiteral("/usr/bin/keelbox"), true).toUtf8());
    QProcess process;
    process.start(validator, {hidden.filePath(QStringLiteral("k.desktop"))});
    QVERIFY(process.waitForFinished(10000));
    QVERIFY2(process.exitCode() == 0, process.readAllStandardOutput().constData());
}

void ServicesTest::systemEntryIsOverriddenWhenTurnedOff() {
    QTemporaryDir dir;
    const QString system = dir.filePath(QStringLiteral("xdg"));
    writeFile(system + QStringLiteral("/autostart/keelbox.desktop"),
              "[Desktop Entry]\nType=Application\nName=Keelbox\nExec=keelbox\n");
    XdgAutostartLoginItem item(dir.filePath(QStringLiteral("cfg")),
                               {dir.filePath(QStringLiteral("empty")), system},
                               QStringLiteral("/usr/bin/keelbox"));
    QVERIFY(item.isEnabled());
    QCOMPARE(item.disable(), std::nullopt);
    QVERIFY(!item.isEnabled());
    QVERIFY(readAll(item.entryPath()).contains(QStringLiteral("Hidden=true")));
    QCOMPARE(item.enable(), std::nullopt);
    QVERIFY(item.isEnabled());
}

void ServicesTest::autostartFolderBlocked() {
    QTemporaryDir dir;
    const QString configHome = dir.filePath(QStringLiteral("cfg"));
    // A file where the autostart folder belongs.
    writeFile(configHome + QStringLiteral("/autostart"), "not a folder");

    QTemporaryDir prefs;
    auto preferences = std::make_shared<Preferences>(prefs.filePath(QStringLiteral("p.ini")));
    app::Localizer localizer(preferences, {"en"});
    AppServices services;
    services.preferences = preferences;
    services.localizer = &localizer;
    services.loginItem = std::make_unique<XdgAutostartLoginItem>(
        configHome, QStringList{}, QStringLiteral("/usr/bin/keelbox"));
    AppState state(std::move(services));
    QSignalSpy errorSpy(&state, &AppState::lastErrorChanged);
    state.setLaunchAtLogin(true);
    QCOMPARE(errorSpy.count(), 1);
    QVERIFY(!state.launchAtLogin());
    const QString message = QString::fromStdString(state.lastError().value_or(""));
    QVERIFY2(message.startsWith(QStringLiteral("Failed to change launch-at-login: ")),
             qPrintable(message));
    QVERIFY2(message.contains(configHome + QStringLiteral("/autostart")), qPrintable(message));
    QVERIFY2(message.contains(QStringLiteral("Not a directory")), qPrintable(message));
}

void ServicesTest::autostartOnReadOnlyMount() {
    if (::geteuid() != 0)
        QSKIP("mounting a read-only file system needs root");
    QTemporaryDir dir;
    const QString autostart = dir.filePath(QStringLiteral("cfg/autostart"));
    QVERIFY(QDir().mkpath(autostart));
    if (::mount("keelbox-test", QFile::encodeName(autostart).constData(), "tmpfs", MS_RDONLY,
                "size=64k") != 0)
        QSKIP("cannot mount a tmpfs here");
    XdgAutostartLoginItem item(dir.filePath(QStringLiteral("cfg")), {},
                               QStringLiteral("/usr/bin/keelbox"));
    const auto error = item.enable();
    ::umount(QFile::encodeName(autostart).constData());
    QVERIFY(error);
    QVERIFY2(error->contains(QStringLiteral("Read-only file system")), qPrintable(*error));
    QVERIFY(error->contains(QStringLiteral("keelbox.desktop")));
    QVERIFY(!item.isEnabled());
}

void ServicesTest::notificationsOverPrivateBus() {
    const QString daemon = QStandardPaths::findExecutable(QStringLiteral("dbus-daemon"));
    if (daemon.isEmpty())
        QSKIP("dbus-daemon is not installed");
    QProcess bus;
    bus.start(daemon, {QStringLiteral("--session"), QStringLiteral("--nofork"),
                       QStringLiteral("--nopidfile"), QStringLiteral("--print-address=1")});
    QVERIFY(bus.waitForStarted(5000));
    QTRY_VERIFY_WITH_TIMEOUT(bus.canReadLine(), 5000);
    const QString address = QString::fromUtf8(bus.readLine()).trimmed();
    auto stopBus = qScopeGuard([&] {
        QDBusConnection::disconnectFromBus(QStringLiteral("recorder"));
        QDBusConnection::disconnectFromBus(QStringLiteral("poster"));
        bus.terminate();
        bus.waitForFinished(5000);
    });

    QDBusConnection serverSide = QDBusConnection::connectToBus(address, QStringLiteral("recorder"));
    QVERIFY(serverSide.isConnected());
    NotificationRecorder recorder;
    QVERIFY(serverSide.registerObject(QStringLiteral("/org/freedesktop/Notifications"), &recorder,
                                      QDBusConnection::ExportAllSlots));
    QVERIFY(serverSide.registerService(QStringLiteral("org.freedesktop.Notifications")));

    DesktopNotifier notifier(QDBusConnection::connectToBus(address, QStringLiteral("poster")));
    notifier.post(
        {QStringLiteral("Keelbox — STICK"), QStringLiteral("Backup started (sync)…"), QString()});
    notifier.post({QStringLiteral("Keelbox — STICK (with errors)"),
                   QStringLiteral("3 files. Errors: 1.\nDocs/a.txt — gone"),
                   QStringLiteral("dialog-warning")});
    QTRY_COMPARE(recorder.calls.size(), std::size_t(2));

    const auto& started = recorder.calls[0];
    QCOMPARE(started.appName, QStringLiteral("Keelbox"));
    QCOMPARE(started.replacesId, 0u);
    QCOMPARE(started.summary, QStringLiteral("Keelbox — STICK"));
    QCOMPARE(started.body, QStringLiteral("Backup started (sync)…"));
    QVERIFY(started.actions.isEmpty());
    QVERIFY(!started.hints.contains(QStringLiteral("sound-name")));
    QCOMPARE(started.hints.value(QStringLiteral("desktop-entry")).toString(),
             QStringLiteral("keelbox"));
    QCOMPARE(started.timeout, -1);

    const auto& finished = recorder.calls[1];
    QCOMPARE(finished.summary, QStringLiteral("Keelbox — STICK (with errors)"));
    QCOMPARE(finished.body, QStringLiteral("3 files. Errors: 1.\nDocs/a.txt — gone"));
    QCOMPARE(finished.hints.value(QStringLiteral("sound-name")).toString(),
             QStringLiteral("dialog-warning"));

    // Without a connected bus nothing is sent and nothing fails.
    DesktopNotifier offline(QDBusConnection(QStringLiteral("never-connected")));
    offline.post({QStringLiteral("t"), QStringLiteral("b"), QString()});
    QTest::qWait(50);
    QCOMPARE(recorder.calls.size(), std::size_t(2));
}

QTEST_GUILESS_MAIN(ServicesTest)
#include "tst_services.moc"
