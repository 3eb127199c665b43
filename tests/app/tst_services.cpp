// Preferences, the observable language and the autostart entry, on real files in temporary folders.

#include "app/Localizer.h"
#include "app/LoginItem.h"
#include "app/Preferences.h"
#include "tests/support/QtFiles.h"

#include <QSignalSpy>
#include <QStandardPaths>
#include <QTemporaryDir>
#include <QTest>

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::test;
using namespace Qt::StringLiterals;

namespace {

const QString executable = u"/usr/bin/keelbox"_s;

// The desktop's own checker, where it is installed.
void validate(const QString& entry) {
    if (const QString validator = QStandardPaths::findExecutable(u"desktop-file-validate"_s);
        !validator.isEmpty())
        QCOMPARE(QProcess::execute(validator, {entry}), 0);
}

} // namespace

class ServicesTest : public QObject {
    Q_OBJECT

private slots:
    void initTestCase();
    void preferencesLiveUnderXdgConfigHome();

    void languageChoiceIsRememberedButNotTheSessionOne();
    void preferredLanguagesFromEnvironment();

    void autostartEntryTextAndQuoting();
    void autostartRoundTrip();

private:
    QTemporaryDir m_home;
};

void ServicesTest::initTestCase() {
    // Before the first QSettings: Qt reads the folders once.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(u"config"_s)));
}

void ServicesTest::preferencesLiveUnderXdgConfigHome() {
    Preferences preferences;
    QCOMPARE(std::pair(preferences.fileName(), preferences.boolValue(u"autoBackup"_s)),
             std::pair(m_home.filePath(u"config/keelbox/keelbox.conf"_s), std::optional<bool>()));
    preferences.setBool(u"autoBackup"_s, false);
    preferences.setString(u"appLanguage"_s, u"pl"_s);
    Preferences other;
    QCOMPARE(std::pair(other.boolValue(u"autoBackup"_s), other.stringValue(u"appLanguage"_s)),
             std::pair(std::optional(false), std::optional(u"pl"_s)));
    // Only the words true and false are a choice: not other words, numbers, letter case or lists.
    const QString odd = m_home.filePath(u"odd.ini"_s);
    QVERIFY(writeFile(odd, "[General]\na=no\nb=0\nc=False\nd=false, false\ne=false\n"));
    for (const QString& key : {u"a"_s, u"b"_s, u"c"_s, u"d"_s, u"e"_s})
        QCOMPARE(Preferences(odd).boolValue(key),
                 key == u"e"_s ? std::optional(false) : std::nullopt);
    // A folder where the file belongs: the write fails and names the file.
    const QString blocked = m_home.filePath(u"blocked.ini"_s);
    QVERIFY(QDir().mkpath(blocked));
    QVERIFY(Preferences(blocked).setBool(u"notify"_s, false).value_or(QString()).contains(blocked));
}

void ServicesTest::languageChoiceIsRememberedButNotTheSessionOne() {
    QTemporaryDir dir;
    const QString file = dir.filePath(u"p.ini"_s);
    {
        // A stored language that is not offered is ignored, and construction writes nothing.
        auto preferences = std::make_shared<Preferences>(file);
        preferences->setString(u"appLanguage"_s, u"de"_s);
        app::Localizer localizer(preferences, {"pl_PL.UTF-8"});
        QCOMPARE(std::pair(preferences->stringValue(u"appLanguage"_s), localizer.text("menu.quit")),
                 std::pair(std::optional<QString>(u"de"_s), std::string("Zakończ")));
        QSignalSpy spy(&localizer, &app::Localizer::languageChanged);
        localizer.setLanguage(AppLanguage::english);
        QCOMPARE(localizer.text("summary.files", {std::int64_t(3)}), std::string("3 files"));
        // `keelbox watch --language` chooses for this run only.
        localizer.useLanguageForSession(AppLanguage::polish);
        QCOMPARE(std::pair(localizer.language(), int(spy.count())),
                 std::pair(AppLanguage::polish, 2));
    }
    app::Localizer relaunched(std::make_shared<Preferences>(file), {"pl_PL.UTF-8"});
    QCOMPARE(relaunched.language(), AppLanguage::english);
}

void ServicesTest::preferredLanguagesFromEnvironment() {
    // LANGUAGE's list first, then LC_ALL, LC_MESSAGES, LANG; C and POSIX name no language.
    for (const auto& [variables, expected] : std::initializer_list<std::pair<QStringList, QString>>{
             {{u"LANGUAGE=de:pl"_s, u"LANG=en_US.UTF-8"_s}, u"de pl en_US.UTF-8 "_s},
             {{u"LANG=en_US"_s, u"LC_MESSAGES=pl_PL"_s, u"LC_ALL=de_DE"_s},
              u"de_DE pl_PL en_US "_s},
             {{u"LC_ALL=C"_s, u"LC_MESSAGES=POSIX"_s, u"LANG=C.UTF-8"_s, u"LANGUAGE=::"_s}, {}}}) {
        QProcessEnvironment environment;
        for (const QString& variable : variables)
            environment.insert(variable.section(u'=', 0, 0), variable.section(u'=', 1));
        std::string got;
        for (const std::string& language : preferredLanguages(environment))
            got += language + ' ';
        QCOMPARE(QString::fromStdString(got), expected);
    }
}

void ServicesTest::autostartEntryTextAndQuoting() {
    for (const auto& [text, enabled] : std::initializer_list<std::pair<QString, bool>>{
             {u"X-GNOME-Autostart-enabled=false\n"_s, false},
             {u"Hidden = true\n"_s, false},
             {u"Exec=k\n[Desktop Action x]\nHidden=true\n"_s, true}, // another group's key
             {u"# Hidden=true\n"_s, true}})
        QVERIFY2(autostartEntryEnabled(u"[Desktop Entry]\n"_s + text) == enabled, qPrintable(text));
    for (const auto& [argument, quoted] : std::initializer_list<std::pair<QString, QString>>{
             {executable, executable},
             {u"/a$b\"c"_s, u"\"/a\\$b\\\"c\""_s},
             {u"/100%/keelbox"_s, u"/100%%/keelbox"_s}})
        QCOMPARE(quoteExecArgument(argument), quoted);
}

void ServicesTest::autostartRoundTrip() {
    QTemporaryDir dir;
    const QString system = dir.filePath(u"xdg"_s);
    XdgAutostartLoginItem item(dir.filePath(u"cfg"_s), {dir.filePath(u"empty"_s), system},
                               executable);
    QVERIFY(!item.isEnabled() && !item.enable());
    QCOMPARE(item.entryPath(), dir.filePath(u"cfg/autostart/keelbox.desktop"_s));
    const QByteArray text = readFile(item.entryPath());
    QVERIFY2(text.contains("\nExec=/usr/bin/keelbox\n") && text.contains("\nIcon=keelbox\n"),
             text.constData());
    // The shared atomic write leaves no temporary file (ConfigFile.WriteReplaces… checks it).
    // A user who turned it off in the session settings.
    QVERIFY(writeFile(item.entryPath(), text + "Hidden=true\n"));
    QVERIFY(!item.isEnabled() && !item.enable() && item.isEnabled());
    QVERIFY(!item.disable() && !QFile::exists(item.entryPath()) && !item.disable() &&
            !item.isEnabled());

    // An entry installed for everyone is overridden, not removed, when turned off.
    QVERIFY(writeFile(system + u"/autostart/keelbox.desktop"_s,
                      "[Desktop Entry]\nType=Application\nName=Keelbox\nExec=keelbox\n"));
    QVERIFY(item.isEnabled() && !item.disable() && !item.isEnabled() &&
            readFile(item.entryPath()).contains("Hidden=true"));
    validate(item.entryPath());
    QVERIFY(!item.enable() && item.isEnabled());
    // An executable path that needs quoting still makes a valid entry.
    XdgAutostartLoginItem quoted(dir.filePath(u"quoted"_s), {}, u"/opt/My Apps/kee$lbox \"x\""_s);
    QVERIFY(!quoted.enable());
    validate(quoted.entryPath());

    // A file where the autostart folder belongs: the message names the cause and the path.
    const QString configHome = dir.filePath(u"blocked"_s);
    QVERIFY(writeFile(configHome + u"/autostart"_s, "not a folder"));
    XdgAutostartLoginItem blocked(configHome, {}, executable);
    const QString error = blocked.enable().value_or(QString());
    QVERIFY2(error.contains(u"Not a directory"_s) && error.contains(configHome + u"/autostart"_s) &&
                 !blocked.isEnabled(),
             qPrintable(error));
}

QTEST_GUILESS_MAIN(ServicesTest)
#include "tst_services.moc"
