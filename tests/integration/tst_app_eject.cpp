// The application state on the real volume backends: a stick plugged in through UDisks2 is listed,
// refusing to eject while a program holds it leaves the system's words in the log, and ejecting it
// once it is free removes it from the list and from the computer.

#include "StackSupport.h"

#include "app/AppState.h"

#include <QDBusConnection>
#include <QRegularExpression>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QTest>

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::test;

namespace {

const VolumeInfo* findVolume(const AppState& state, const std::string& id) {
    for (const VolumeInfo& volume : state.volumes()) {
        if (volume.id == id)
            return &volume;
    }
    return nullptr;
}

} // namespace

class AppEjectTest : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void cleanupTestCase();
    void ejectsARealStick();

private:
    QTemporaryDir m_home;
    QString m_image;
};

void AppEjectTest::initTestCase() {
    const QString problem = stackProblem();
    if (!problem.isEmpty())
        SKIP_OR_FAIL(problem);
    QVERIFY(m_home.isValid());
    // Nothing of the real user's: the autostart entry and preferences live in the temp folder.
    qputenv("XDG_CONFIG_HOME", QFile::encodeName(m_home.filePath(QStringLiteral("config"))));
    qputenv("HOME", QFile::encodeName(m_home.path()));
}

void AppEjectTest::cleanupTestCase() {
    if (!m_image.isEmpty())
        discardImage(m_image);
}

void AppEjectTest::ejectsARealStick() {
    auto preferences =
        std::make_shared<Preferences>(m_home.filePath(QStringLiteral("keelbox.conf")));
    preferences->setBool(QStringLiteral("autoBackup"), false);
    preferences->setBool(QStringLiteral("notify"), false);
    app::Localizer localizer(preferences, {"en"});
    AppServices services;
    services.preferences = preferences;
    services.localizer = &localizer;
    services.volumeMonitor = makeVolumeMonitor();
    services.volumeEjector = makeVolumeEjector();
    services.notifier = makeNotifier();
    services.loginItem = makeLoginItem();
    services.runBackup = engineRunner();
    AppState state(std::move(services));
    state.start();
    QSignalSpy ejected(&state, &AppState::ejectFinished);

    QString error;
    m_image = makeImage(QStringLiteral("exfat"), QStringLiteral("EJECTME"),
                        QStringLiteral("removable"), &error);
    QVERIFY2(!m_image.isEmpty(), qPrintable(error));
    const Run setup =
        run(QStringLiteral("udisksctl"), {QStringLiteral("loop-setup"), QStringLiteral("-f"),
                                          m_image, QStringLiteral("--no-user-interaction")});
    const QRegularExpressionMatch loop =
        QRegularExpression(QStringLiteral("(/dev/loop\\d+)")).match(setup.out);
    QVERIFY2(setup.ok() && loop.hasMatch(), qPrintable(setup.out));
    const QString device = loop.captured(1);
    run(QStringLiteral("udevadm"),
        {QStringLiteral("settle"), QStringLiteral("-t"), QStringLiteral("30")});
    const Run mounted =
        run(QStringLiteral("udisksctl"), {QStringLiteral("mount"), QStringLiteral("-b"), device,
                                          QStringLiteral("--no-user-interaction")});
    const QRegularExpressionMatch at =
        QRegularExpression(QStringLiteral(" at (/.*?)\\.?$")).match(mounted.out.trimmed());
    QVERIFY2(mounted.ok() && at.hasMatch(), qPrintable(mounted.out));
    const std::string id = at.captured(1).toStdString();

    QTRY_VERIFY_WITH_TIMEOUT(findVolume(state, id) != nullptr, 10000);
    QCOMPARE(findVolume(state, id)->name, std::string("EJECTME"));
    QVERIFY(findVolume(state, id)->capacityText(AppLanguage::english).has_value());

    {
        // A shell with its working folder on the stick and a file open there.
        QFile(at.captured(1) + QStringLiteral("/held.txt")).open(QIODevice::WriteOnly);
        QProcess holder;
        holder.setWorkingDirectory(at.captured(1));
        holder.start(
            QStringLiteral("sh"),
            {QStringLiteral("-c"), QStringLiteral("exec 3<held.txt; echo ready; exec sleep 120")});
        QVERIFY(holder.waitForStarted() && holder.waitForReadyRead(10000));

        state.eject(id);
        QTRY_COMPARE_WITH_TIMEOUT(ejected.count(), 1, 30000);
        QCOMPARE(ejected.at(0).at(1).toBool(), false);
        holder.kill();
        holder.waitForFinished();
    }
    const LogEntry failure = state.log().front();
    QCOMPARE(failure.kind, LogEntry::Kind::failure);
    QCOMPARE(failure.volume, std::string("EJECTME"));
    // "Failed to eject: Error unmounting /dev/loopN: target is busy"
    const QString words = QString::fromStdString(failure.message);
    QVERIFY2(words.startsWith(QStringLiteral("Failed to eject: ")), qPrintable(words));
    QVERIFY2(words.contains(device) && words.contains(QStringLiteral("busy")), qPrintable(words));
    QVERIFY(state.lastError().has_value());
    QCOMPARE(QString::fromStdString(*state.lastError()),
             QStringLiteral("Failed to eject EJECTME: ") + words.mid(17));
    QVERIFY(findVolume(state, id) != nullptr);

    state.eject(id);
    QTRY_COMPARE_WITH_TIMEOUT(ejected.count(), 2, 30000);
    QCOMPARE(ejected.at(1).at(1).toBool(), true);
    QCOMPARE(state.log().front().kind, LogEntry::Kind::success);
    QCOMPARE(state.log().front().message, std::string("Drive ejected."));
    QTRY_VERIFY_WITH_TIMEOUT(findVolume(state, id) == nullptr, 10000);
    QTRY_VERIFY_WITH_TIMEOUT(loopsOf(m_image).isEmpty(), 10000);
}

QTEST_GUILESS_MAIN(AppEjectTest)
#include "tst_app_eject.moc"
