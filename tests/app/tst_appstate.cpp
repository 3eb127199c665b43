// The application state on fake platform services and a fake engine, with drives as real folders.

#include "Fakes.h"

#include "app/Console.h"
#include "app/Session.h"

#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <csignal>
#include <sstream>

using namespace keelbox;
using namespace keelbox::app;
using namespace keelbox::app::testing;

namespace {

BackupResult resultWithIssues(int issues, AppLanguage language) {
    BackupResult result;
    result.filesCopied = 3;
    result.bytesCopied = 1200;
    for (int i = 0; i < issues; ++i)
        result.errors.push_back({"Docs/file" + std::to_string(i) + ".txt",
                                 keelbox::Localizer::text("engine.gone", language), "POSIX #2",
                                 keelbox::Localizer::text("engine.goneHint", language)});
    return result;
}

const VolumeInfo* findById(const AppState& state, const std::string& id) {
    for (const VolumeInfo& volume : state.volumes())
        if (volume.id == id)
            return &volume;
    return nullptr;
}

std::vector<std::string> names(const AppState& state) {
    std::vector<std::string> out;
    for (const VolumeInfo& volume : state.volumes())
        out.push_back(volume.name);
    return out;
}

} // namespace

class AppStateTest : public QObject {
    Q_OBJECT

private slots:
    void logKeepsTheHundredNewestEntries();

    void automaticBackups_data();
    void automaticBackups();
    void startTwiceWatchesAndScansOnce();

    void refreshBuildsSortedListAndCarriesStatus();
    void mountOfConfiguredDriveStartsBackupOnlyWithAutoBackup();
    void unmountRefreshesAndEditingVolumeGoesAway();

    void doubleStartRunsOneBackup();
    void backupsRunOneAtATimeInStartOrder();
    void progressIsShownAndLateSnapshotsDropped();
    void finishWithoutIssues();
    void finishWithIssues();
    void notifyOffPostsNothing();
    void unplugDuringBackupLogsNothingButNotifies();
    void replugDuringBackupIsListedAsConfigured();
    void languageSwitchDuringBackup();
    void renamedVolumeIsCopiedUnderItsNewName();
    void realEngineCopiesTheDrive();

    void draftOfUnconfiguredDrive();
    void saveConfigurationWritesTheDrive();
    void saveWhileRunningKeepsRunning();
    void saveFailureReportsAndKeepsEntry();
    void removeWhileRunningThenResultStillCounts();
    void removeFailureReportsWithoutLogEntry();

    void ejectRefusedWhileRunningOrQueued();
    void ejectSuccessAndFailure();
    void ejectUsesLanguageOfTheRequest();

    void preferencesAtStart_data();
    void preferencesAtStart();
    void switchesArePersisted();
    void launchAtLogin_data();
    void launchAtLogin();

    void stopLetsTheRunningBackupFinishAndDropsQueued();
    void consolePrintsDrivesAndEntries();
    void terminationSignalEndsSessionAfterCurrentBackup();
    void terminationSignalWhenIdle();
};

void AppStateTest::logKeepsTheHundredNewestEntries() {
    Harness h;
    const auto drive = h.addDrive("STICK", testConfig("STICK", false));
    AppState& state = h.make();
    state.start();
    QSignalSpy logSpy(&state, &AppState::logChanged);

    DriveConfig config = *state.volumes().front().config;
    state.saveDriveConfig(config, h.idOf(drive));
    const Uuid firstEntry = state.log().front().id;
    for (int i = 0; i < 100; ++i)
        state.saveDriveConfig(config, h.idOf(drive));

    QCOMPARE(logSpy.count(), 101);
    QCOMPARE(state.log().size(), maxLogEntries);
    for (const LogEntry& entry : state.log())
        QVERIFY(entry.id != firstEntry);
    for (std::size_t i = 1; i < state.log().size(); ++i)
        QVERIFY(state.log()[i - 1].date >= state.log()[i].date);
    QCOMPARE(state.log().front().message, std::string("Configuration saved to the drive."));
    QCOMPARE(state.log().front().kind, LogEntry::Kind::success);
    QCOMPARE(state.log().front().volume, std::string("STICK"));
}

void AppStateTest::automaticBackups_data() {
    QTest::addColumn<bool>("autoBackup");
    QTest::addColumn<bool>("configured");
    QTest::addColumn<bool>("autoRunOnMount");
    QTest::addColumn<bool>("starts");
    QTest::newRow("switch on, drive asks") << true << true << true << true;
    QTest::newRow("switch on, drive does not ask") << true << true << false << false;
    QTest::newRow("switch on, no configuration") << true << false << false << false;
    QTest::newRow("switch off, drive asks") << false << true << true << false;
    QTest::newRow("switch off, drive does not ask") << false << true << false << false;
}

void AppStateTest::automaticBackups() {
    QFETCH(bool, autoBackup);
    QFETCH(bool, configured);
    QFETCH(bool, autoRunOnMount);
    QFETCH(bool, starts);

    // Already connected at start.
    {
        Harness h;
        h.preferences->setBool(QStringLiteral("autoBackup"), autoBackup);
        std::optional<DriveConfig> config;
        if (configured)
            config = testConfig("ALPHA", autoRunOnMount);
        const auto drive = h.addDrive("ALPHA", config);
        AppState& state = h.make();
        state.start();
        QCOMPARE(state.isRunning(h.idOf(drive)), starts);
        QTRY_COMPARE(h.engine.callCount(), std::size_t(starts ? 1 : 0));
        QTRY_COMPARE(state.backupsInFlight(), 0);
        QCOMPARE(state.log().size(), std::size_t(starts ? 2 : 0));
    }
    // Connected later.
    {
        Harness h;
        h.preferences->setBool(QStringLiteral("autoBackup"), autoBackup);
        AppState& state = h.make();
        state.start();
        QSignalSpy volumesSpy(&state, &AppState::volumesChanged);
        std::optional<DriveConfig> config;
        if (configured)
            config = testConfig("BETA", autoRunOnMount);
        const auto drive = h.addDrive("BETA", config, true);
        QTRY_VERIFY(!volumesSpy.isEmpty());
        QCOMPARE(state.volumes().size(), std::size_t(1));
        QCOMPARE(state.isRunning(h.idOf(drive)), starts);
        QTRY_COMPARE(h.engine.callCount(), std::size_t(starts ? 1 : 0));
        // A later refresh never starts anything by itself.
        QTRY_COMPARE(state.backupsInFlight(), 0);
        const std::size_t runs = h.engine.callCount();
        state.refreshVolumes();
        QTest::qWait(20);
        QCOMPARE(h.engine.callCount(), runs);
    }
}

void AppStateTest::startTwiceWatchesAndScansOnce() {
    Harness h;
    h.addDrive("ONE", testConfig("ONE"));
    AppState& state = h.make();
    state.start();
    state.start();
    QCOMPARE(h.monitor->starts, 1);
    QCOMPARE(h.monitor->scans, 1);
    QTRY_COMPARE(h.engine.callCount(), std::size_t(1));
    QTRY_COMPARE(state.backupsInFlight(), 0);
    QTest::qWait(20);
    QCOMPARE(h.engine.callCount(), std::size_t(1));
}

void AppStateTest::refreshBuildsSortedListAndCarriesStatus() {
    Harness h;
    h.addDrive("zeta", testConfig("zeta", false));
    const auto upper = h.addDrive("Stick", std::nullopt);
    const auto lower = h.addDrive("stick", testConfig("stick", false));
    h.addDrive("Alpha", std::nullopt);
    // A malformed configuration file means "not configured", silently.
    const auto broken = h.addDrive("Broken", std::nullopt);
    {
        QFile file(broken.mountPath + QStringLiteral("/.keelbox.json"));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("{\"mode\": \"Sync\"");
    }
    // No name from the platform: the last component of the mount path.
    MountedVolume unnamed;
    unnamed.mountPath = h.dir.filePath(QStringLiteral("media/NONAME")) + QLatin1Char('/');
    QDir().mkpath(unnamed.mountPath);
    h.monitor->volumes.push_back(unnamed);

    AppState& state = h.make();
    state.refreshVolumes();
    QCOMPARE(names(state),
             (std::vector<std::string>{"Alpha", "Broken", "NONAME", "Stick", "stick", "zeta"}));
    QCOMPARE(state.volumes()[2].id, volumeIdentity(unnamed.mountPath));
    QVERIFY(!QString::fromStdString(state.volumes()[2].id).endsWith(QLatin1Char('/')));
    QCOMPARE(findById(state, h.idOf(broken))->status, BackupStatus::idle());
    QCOMPARE(findById(state, h.idOf(upper))->status, BackupStatus::idle());
    QCOMPARE(findById(state, h.idOf(lower))->status, BackupStatus::configured());
    QCOMPARE(findById(state, h.idOf(lower))->totalCapacity, std::optional<Int64>(32'000'000'000));

    // Status and progress survive a refresh, even when the file changed meanwhile.
    state.finishBackup(h.idOf(lower), "stick", BackupResult{});
    QCOMPARE(findById(state, h.idOf(lower))->status.kind, BackupStatus::Kind::done);
    QVERIFY(removeConfig(h.idOf(lower)) == std::nullopt);
    state.refreshVolumes();
    QCOMPARE(findById(state, h.idOf(lower))->status.kind, BackupStatus::Kind::done);
    QVERIFY(!findById(state, h.idOf(lower))->config);

    // Enumeration order decides between names equal but for letter case.
    std::swap(h.monitor->volumes[1], h.monitor->volumes[2]);
    state.refreshVolumes();
    QCOMPARE(state.volumes()[3].name, std::string("stick"));
    QCOMPARE(state.volumes()[4].name, std::string("Stick"));
}

void AppStateTest::mountOfConfiguredDriveStartsBackupOnlyWithAutoBackup() {
    Harness h;
    AppState& state = h.make();
    state.start();
    state.setAutoBackup(false);
    const auto first = h.addDrive("FIRST", testConfig("FIRST"), true);
    QTRY_COMPARE(state.volumes().size(), std::size_t(1));
    QVERIFY(!state.isRunning(h.idOf(first)));

    state.setAutoBackup(true);
    const auto second = h.addDrive("SECOND", testConfig("SECOND"), true);
    QTRY_VERIFY(state.isRunning(h.idOf(second)));
    QVERIFY(!state.isRunning(h.idOf(first)));
    QCOMPARE(state.volumes().size(), std::size_t(2));
}

void AppStateTest::unmountRefreshesAndEditingVolumeGoesAway() {
    Harness h;
    const auto drive = h.addDrive("EDIT", testConfig("EDIT", false));
    AppState& state = h.make();
    state.start();
    QSignalSpy editingSpy(&state, &AppState::editingVolumeIDChanged);
    state.setEditingVolumeID(h.idOf(drive));
    QCOMPARE(editingSpy.count(), 1);
    QVERIFY(state.editingVolume());
    QCOMPARE(state.editingVolume()->name, std::string("EDIT"));

    h.monitor->unplug(drive.mountPath);
    QTRY_VERIFY(state.volumes().empty());
    QVERIFY(!state.editingVolume());
    QCOMPARE(state.editingVolumeID(), std::optional<std::string>(h.idOf(drive)));
}

void AppStateTest::doubleStartRunsOneBackup() {
    Harness h;
    h.engine.hold = true;
    const auto drive = h.addDrive("TWICE", testConfig("TWICE", false));
    AppState& state = h.make();
    state.start();
    QSignalSpy runningSpy(&state, &AppState::runningChanged);
    state.startBackup(h.idOf(drive));
    state.startBackup(h.idOf(drive));
    QCOMPARE(runningSpy.count(), 1);
    QCOMPARE(state.log().size(), std::size_t(1));
    QCOMPARE(state.log().front().message, std::string("Backup started (sync)."));
    QCOMPARE(state.log().front().kind, LogEntry::Kind::info);
    QCOMPARE(findById(state, h.idOf(drive))->status, BackupStatus::running());
    QCOMPARE(h.notifier->posted.size(), std::size_t(1));

    // Unknown and unconfigured drives are ignored without a word.
    const auto bare = h.addDrive("BARE", std::nullopt);
    state.refreshVolumes();
    state.startBackup(h.idOf(bare));
    state.startBackup("/no/such/drive");
    QCOMPARE(state.log().size(), std::size_t(1));
    QVERIFY(!state.lastError());

    h.engine.releaseAll();
    QTRY_VERIFY(!state.isRunning(h.idOf(drive)));
    QCOMPARE(h.engine.callCount(), std::size_t(1));
}

void AppStateTest::backupsRunOneAtATimeInStartOrder() {
    Harness h;
    h.engine.hold = true;
    const auto b = h.addDrive("B-DRIVE", testConfig("B-DRIVE", true, BackupMode::dated));
    const auto a = h.addDrive("A-DRIVE", testConfig("A-DRIVE"));
    const auto c = h.addDrive("C-DRIVE", testConfig("C-DRIVE", false));
    AppState& state = h.make();
    state.start();

    // Both automatic backups started right after the first scan, in list order.
    QVERIFY(state.isRunning(h.idOf(a)));
    QVERIFY(state.isRunning(h.idOf(b)));
    QVERIFY(!state.isRunning(h.idOf(c)));
    QCOMPARE(state.log()[1].volume, std::string("A-DRIVE"));
    QCOMPARE(state.log()[0].volume, std::string("B-DRIVE"));
    QCOMPARE(state.log()[0].message, std::string("Backup started (dated backup)."));
    state.startBackup(h.idOf(c));

    QVERIFY(h.engine.waitForCalls(1));
    QTest::qWait(30);
    QCOMPARE(h.engine.callCount(), std::size_t(1)); // the others wait their turn
    QCOMPARE(h.engine.call(0).config.driveName, std::string("A-DRIVE"));
    QCOMPARE(findById(state, h.idOf(b))->status, BackupStatus::running());
    QVERIFY(!findById(state, h.idOf(b))->progress);

    h.engine.releaseOne();
    QVERIFY(h.engine.waitForCalls(2));
    QCOMPARE(h.engine.call(1).config.driveName, std::string("B-DRIVE"));
    QTRY_VERIFY(!state.isRunning(h.idOf(a)));
    QVERIFY(state.isRunning(h.idOf(b)));
    QVERIFY(state.isRunning(h.idOf(c)));
    h.engine.releaseOne();
    QVERIFY(h.engine.waitForCalls(3));
    QCOMPARE(h.engine.call(2).config.driveName, std::string("C-DRIVE"));
    QCOMPARE(h.engine.call(2).root, std::filesystem::path(h.idOf(c)));
    QVERIFY(h.engine.call(2).stopFlagGiven);
    // Off the main thread, at background priority.
    QVERIFY(!h.engine.call(2).onMainThread);
    QCOMPARE(h.engine.call(2).niceness, 10);
    h.engine.releaseOne();
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));
    QVERIFY(state.running().empty());
}

void AppStateTest::progressIsShownAndLateSnapshotsDropped() {
    Harness h;
    h.engine.progress = {{1, 4, 100, 400, "a.txt"}, {4, 4, 400, 400, ""}};
    const auto drive = h.addDrive("PROG", testConfig("PROG", false));
    AppState& state = h.make();
    state.start();
    const std::string id = h.idOf(drive);

    // Snapshots reach the entry while the drive runs (delivered in order on the main thread).
    std::vector<BackupProgress> seen;
    connect(&state, &AppState::volumesChanged, this, [&] {
        const VolumeInfo* volume = findById(state, id);
        if (volume && volume->progress)
            seen.push_back(*volume->progress);
    });
    state.startBackup(id);
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));
    QCOMPARE(seen, h.engine.progress);
    QVERIFY(!findById(state, id)->progress);

    // A snapshot that arrives after the finish is dropped, as is one for an unknown drive.
    state.applyProgress(id, {2, 4, 200, 400, "late.txt"});
    state.applyProgress("/unknown", {2, 4, 200, 400, "late.txt"});
    QVERIFY(!findById(state, id)->progress);
    QCOMPARE(findById(state, id)->status.kind, BackupStatus::Kind::done);
}

void AppStateTest::finishWithoutIssues() {
    Harness h;
    h.engine.makeResult = [](const DriveConfig&, AppLanguage language) {
        return resultWithIssues(0, language);
    };
    const auto drive = h.addDrive("CLEAN", testConfig("CLEAN", false));
    AppState& state = h.make();
    state.start();
    state.startBackup(h.idOf(drive));
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));

    const std::string summary =
        resultWithIssues(0, AppLanguage::english).summary(AppLanguage::english);
    QCOMPARE(findById(state, h.idOf(drive))->status, BackupStatus::done(summary));
    QCOMPARE(state.log().front().kind, LogEntry::Kind::success);
    QCOMPARE(state.log().front().message, "Done: " + summary + ".");
    QVERIFY(state.log().front().details.empty());

    QCOMPARE(h.notifier->posted.size(), std::size_t(2));
    const UserNotification& started = h.notifier->posted[0];
    QCOMPARE(started.title, QStringLiteral("Keelbox — CLEAN"));
    QCOMPARE(started.body, QStringLiteral("Backup started (sync)…"));
    QVERIFY(started.soundName.isEmpty());
    const UserNotification& finished = h.notifier->posted[1];
    QCOMPARE(finished.title, QStringLiteral("Keelbox — CLEAN"));
    QCOMPARE(finished.body, QString::fromStdString("Done: " + summary + "."));
    QCOMPARE(finished.soundName, QStringLiteral("complete"));
}

void AppStateTest::finishWithIssues() {
    Harness h;
    h.engine.makeResult = [](const DriveConfig&, AppLanguage language) {
        return resultWithIssues(3, language);
    };
    const auto drive = h.addDrive("FAULTY", testConfig("FAULTY", false));
    AppState& state = h.make();
    state.start();
    state.startBackup(h.idOf(drive));
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));

    const BackupResult expected = resultWithIssues(3, AppLanguage::english);
    const std::string summary = expected.summary(AppLanguage::english);
    QCOMPARE(findById(state, h.idOf(drive))->status, BackupStatus::failed("3 errors"));
    const LogEntry& entry = state.log().front();
    QCOMPARE(entry.kind, LogEntry::Kind::failure);
    QCOMPARE(entry.volume, std::string("FAULTY"));
    QCOMPARE(entry.message, "Finished with errors: " + summary + ". Errors: 3.");
    QCOMPARE(entry.details, expected.errors);

    const UserNotification& finished = h.notifier->posted.back();
    QCOMPARE(finished.title, QStringLiteral("Keelbox — FAULTY (with errors)"));
    QCOMPARE(finished.body, QString::fromStdString(summary + ". Errors: 3.\nDocs/file0.txt — " +
                                                   expected.errors[0].reason));
    QCOMPARE(finished.soundName, QStringLiteral("dialog-warning"));
}

void AppStateTest::notifyOffPostsNothing() {
    Harness h;
    const auto drive = h.addDrive("QUIET", testConfig("QUIET", false));
    AppState& state = h.make();
    state.setNotify(false);
    state.start();
    state.startBackup(h.idOf(drive));
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));
    QCOMPARE(state.log().size(), std::size_t(2));
    QVERIFY(h.notifier->posted.empty());
}

void AppStateTest::unplugDuringBackupLogsNothingButNotifies() {
    Harness h;
    h.engine.hold = true;
    const auto drive = h.addDrive("GONE", testConfig("GONE", false));
    AppState& state = h.make();
    state.start();
    state.startBackup(h.idOf(drive));
    QVERIFY(h.engine.waitForCalls(1));
    h.monitor->unplug(drive.mountPath);
    QTRY_VERIFY(state.volumes().empty());
    QVERIFY(state.isRunning(h.idOf(drive)));

    h.engine.releaseAll();
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));
    QVERIFY(!state.isRunning(h.idOf(drive)));
    QCOMPARE(state.log().size(), std::size_t(1)); // only the start
    QCOMPARE(h.notifier->posted.size(), std::size_t(2));
    QCOMPARE(h.notifier->posted.back().title, QStringLiteral("Keelbox — GONE"));
}

void AppStateTest::replugDuringBackupIsListedAsConfigured() {
    Harness h;
    h.engine.hold = true;
    const auto drive = h.addDrive("BACK", testConfig("BACK", false));
    AppState& state = h.make();
    state.start();
    state.setAutoBackup(false);
    state.startBackup(h.idOf(drive));
    QVERIFY(h.engine.waitForCalls(1));
    h.monitor->unplug(drive.mountPath);
    QTRY_VERIFY(state.volumes().empty());
    h.monitor->plug(drive);
    QTRY_COMPARE(state.volumes().size(), std::size_t(1));
    QCOMPARE(state.volumes().front().status, BackupStatus::configured());
    // Still in flight: no second backup of the same drive.
    state.startBackup(h.idOf(drive));
    QCOMPARE(state.log().size(), std::size_t(1));

    h.engine.releaseAll();
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));
    QCOMPARE(state.volumes().front().status.kind, BackupStatus::Kind::done);
}

void AppStateTest::languageSwitchDuringBackup() {
    Harness h({"pl-PL"});
    h.engine.hold = true;
    h.engine.makeResult = [](const DriveConfig&, AppLanguage language) {
        return resultWithIssues(1, language);
    };
    const auto drive = h.addDrive("LANG", testConfig("LANG", false));
    AppState& state = h.make();
    state.start();
    QCOMPARE(h.localizer->language(), AppLanguage::polish);
    state.startBackup(h.idOf(drive));
    QVERIFY(h.engine.waitForCalls(1));
    QCOMPARE(h.engine.call(0).language, AppLanguage::polish);
    QCOMPARE(state.log().front().message, std::string("Backup rozpoczęty (synchronizacja)."));
    QCOMPARE(h.notifier->posted.front().body,
             QStringLiteral("Rozpoczęto backup (synchronizacja)…"));

    h.localizer->setLanguage(AppLanguage::english);
    h.engine.releaseAll();
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));

    const BackupResult polishResult = resultWithIssues(1, AppLanguage::polish);
    QCOMPARE(findById(state, h.idOf(drive))->status, BackupStatus::failed("1 errors"));
    const LogEntry& entry = state.log().front();
    QCOMPARE(entry.message, "Finished with errors: " + polishResult.summary(AppLanguage::english) +
                                ". Errors: 1.");
    QCOMPARE(entry.details.front().reason, std::string("Plik zniknął podczas kopiowania."));
    // The start entry keeps the language it was made in.
    QCOMPARE(state.log()[1].message, std::string("Backup rozpoczęty (synchronizacja)."));
    QCOMPARE(h.notifier->posted.back().title, QStringLiteral("Keelbox — LANG (with errors)"));
    QVERIFY(h.notifier->posted.back().body.endsWith(
        QStringLiteral("\nDocs/file0.txt — Plik zniknął podczas kopiowania.")));
}

void AppStateTest::renamedVolumeIsCopiedUnderItsNewName() {
    Harness h;
    auto drive = h.addDrive("OLDNAME", testConfig("OLDNAME", false));
    AppState& state = h.make();
    state.start();
    h.monitor->volumes.front().name = QStringLiteral("NEWNAME");
    state.refreshVolumes();
    QCOMPARE(state.volumes().front().config->driveName, std::string("OLDNAME"));
    state.startBackup(h.idOf(drive));
    QVERIFY(h.engine.waitForCalls(1));
    QCOMPARE(h.engine.call(0).config.driveName, std::string("NEWNAME"));
    QCOMPARE(state.log().front().volume, std::string("NEWNAME"));
}

void AppStateTest::realEngineCopiesTheDrive() {
    Harness h;
    h.realRunner = engineRunner();
    const QString destination = h.dir.filePath(QStringLiteral("backups"));
    DriveConfig config = testConfig("REAL", false);
    config.destinationPath = destination.toStdString();
    config.sources = {{Uuid::random(), "Docs"}, {Uuid::random(), "Missing"}};
    const auto drive = h.addDrive("REAL", config);
    for (const char* name : {"Docs/a.txt", "Docs/sub/b.txt", "Other/c.txt"}) {
        const QString path = drive.mountPath + QLatin1Char('/') + QString::fromLatin1(name);
        QDir().mkpath(QFileInfo(path).absolutePath());
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write("content of ");
        file.write(name);
    }
    AppState& state = h.make();
    state.start();
    QSignalSpy settled(&state, &AppState::backupsSettled);

    state.startBackup(h.idOf(drive));
    QVERIFY(settled.wait(10000));
    const QString copy = destination + QStringLiteral("/REAL");
    QVERIFY(QFile::exists(copy + QStringLiteral("/Docs/a.txt")));
    QVERIFY(QFile::exists(copy + QStringLiteral("/Docs/sub/b.txt")));
    QVERIFY(!QFile::exists(copy + QStringLiteral("/Other/c.txt")));
    QVERIFY(!QFile::exists(copy + QStringLiteral("/.keelbox.json")));
    // The missing source is the one issue, in the log's details and the status.
    QCOMPARE(state.volumes().front().status, BackupStatus::failed("1 errors"));
    const LogEntry& first = state.log().front();
    QCOMPARE(first.kind, LogEntry::Kind::failure);
    QCOMPARE(first.details.size(), std::size_t(1));
    QCOMPARE(first.details.front().path, std::string("Missing"));
    QVERIFY2(first.message.starts_with("Finished with errors: 2 files • "), first.message.c_str());

    // A second run finds everything unchanged.
    config.sources.pop_back();
    state.saveDriveConfig(config, h.idOf(drive));
    state.startBackup(h.idOf(drive));
    QVERIFY(settled.wait(10000));
    const LogEntry& second = state.log().front();
    QCOMPARE(second.kind, LogEntry::Kind::success);
    QVERIFY2(second.message.starts_with("Done: 0 files • "), second.message.c_str());
    QVERIFY2(second.message.find("2 unchanged") != std::string::npos, second.message.c_str());
    QCOMPARE(state.volumes().front().status.kind, BackupStatus::Kind::done);
}

void AppStateTest::draftOfUnconfiguredDrive() {
    Harness h;
    const auto bare = h.addDrive("BARE", std::nullopt);
    const DriveConfig stored = testConfig("DONE", false, BackupMode::dated);
    const auto configured = h.addDrive("DONE", stored);
    AppState& state = h.make();
    state.refreshVolumes();

    const Date before = now();
    const DriveConfig draft = state.draftConfig(*findById(state, h.idOf(bare)));
    QCOMPARE(draft.driveName, std::string("BARE"));
    QCOMPARE(draft.schemaVersion, Int(1));
    QVERIFY(Uuid::parse(draft.driveID).has_value());
    QCOMPARE(draft.driveID.size(), std::size_t(36));
    QVERIFY(draft.createdAt >= before);
    QCOMPARE(draft.createdAt, draft.updatedAt);
    QCOMPARE(draft.destinationPath, std::string("~/Backups/Keelbox"));
    QCOMPARE(draft.mode, BackupMode::sync);
    QVERIFY(!draft.deleteRemovedFiles);
    QVERIFY(draft.autoRunOnMount);
    QVERIFY(draft.sources.empty());
    QVERIFY(!readConfig(h.idOf(bare))); // nothing written yet
    QVERIFY(state.draftConfig(*findById(state, h.idOf(bare))).driveID != draft.driveID);

    QCOMPARE(state.draftConfig(*findById(state, h.idOf(configured))),
             *readConfig(h.idOf(configured)));
}

void AppStateTest::saveConfigurationWritesTheDrive() {
    Harness h;
    const auto drive = h.addDrive("SAVE", std::nullopt);
    AppState& state = h.make();
    state.start();
    state.finishBackup(h.idOf(drive), "SAVE", resultWithIssues(2, AppLanguage::english));
    QCOMPARE(state.volumes().front().status.kind, BackupStatus::Kind::failed);

    DriveConfig draft = state.draftConfig(state.volumes().front());
    draft.driveName = "stale name";
    draft.sources.push_back({Uuid::random(), "Docs"});
    const Date created = draft.createdAt;
    QSignalSpy volumesSpy(&state, &AppState::volumesChanged);
    state.saveDriveConfig(draft, h.idOf(drive));

    const auto written = readConfig(h.idOf(drive));
    QVERIFY(written);
    QCOMPARE(written->driveName, std::string("SAVE"));
    QCOMPARE(written->driveID, draft.driveID);
    QCOMPARE(formatIsoDate(written->createdAt), formatIsoDate(created));
    QCOMPARE(written->sources, draft.sources);
    QCOMPARE(state.volumes().front().status, BackupStatus::configured());
    QCOMPARE(state.volumes().front().config->sources, draft.sources);
    QVERIFY(volumesSpy.count() >= 1);
    QCOMPARE(state.log().front().message, std::string("Configuration saved to the drive."));

    // Saving for a drive that is not listed changes nothing.
    const std::size_t logSize = state.log().size();
    state.saveDriveConfig(draft, "/no/such/drive");
    QCOMPARE(state.log().size(), logSize);
}

void AppStateTest::saveWhileRunningKeepsRunning() {
    Harness h;
    h.engine.hold = true;
    const auto drive = h.addDrive("BUSY", testConfig("BUSY", false));
    AppState& state = h.make();
    state.start();
    state.startBackup(h.idOf(drive));
    DriveConfig changed = *state.volumes().front().config;
    changed.mode = BackupMode::dated;
    state.saveDriveConfig(changed, h.idOf(drive));
    QCOMPARE(state.volumes().front().status, BackupStatus::running());
    QCOMPARE(readConfig(h.idOf(drive))->mode, BackupMode::dated);
    // The running backup keeps the configuration it started with.
    h.engine.releaseAll();
    QVERIFY(h.engine.waitForCalls(1));
    QCOMPARE(h.engine.call(0).config.mode, BackupMode::sync);
}

void AppStateTest::saveFailureReportsAndKeepsEntry() {
    Harness h;
    const auto drive = h.addDrive("BROKEN", testConfig("BROKEN", false));
    AppState& state = h.make();
    state.start();
    const DriveConfig before = *state.volumes().front().config;
    // A folder where the file belongs: the write cannot replace it.
    QVERIFY(QFile::remove(drive.mountPath + QStringLiteral("/.keelbox.json")));
    QVERIFY(QDir().mkpath(drive.mountPath + QStringLiteral("/.keelbox.json/inside")));

    DriveConfig changed = before;
    changed.mode = BackupMode::dated;
    QSignalSpy errorSpy(&state, &AppState::lastErrorChanged);
    state.saveDriveConfig(changed, h.idOf(drive));
    QCOMPARE(errorSpy.count(), 1);
    QVERIFY(state.lastError());
    QVERIFY(!state.lastError()->empty());
    const LogEntry& entry = state.log().front();
    QCOMPARE(entry.kind, LogEntry::Kind::failure);
    QCOMPARE(entry.message, "Failed to save configuration: " + *state.lastError());
    QCOMPARE(*state.volumes().front().config, before);
    QCOMPARE(state.volumes().front().status, BackupStatus::configured());
}

void AppStateTest::removeWhileRunningThenResultStillCounts() {
    Harness h;
    h.engine.hold = true;
    const auto drive = h.addDrive("REMOVE", testConfig("REMOVE", false));
    AppState& state = h.make();
    state.start();
    state.startBackup(h.idOf(drive));
    state.removeDriveConfig(h.idOf(drive));
    QVERIFY(!QFile::exists(drive.mountPath + QStringLiteral("/.keelbox.json")));
    QCOMPARE(state.volumes().front().status, BackupStatus::idle());
    QVERIFY(!state.volumes().front().config);
    QCOMPARE(state.log().front().message, std::string("Configuration removed from the drive."));
    QCOMPARE(state.log().front().kind, LogEntry::Kind::info);
    QVERIFY(state.isRunning(h.idOf(drive)));

    h.engine.releaseAll();
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));
    QCOMPARE(state.volumes().front().status.kind, BackupStatus::Kind::done);

    // Removing again (no file) succeeds.
    state.removeDriveConfig(h.idOf(drive));
    QCOMPARE(state.volumes().front().status, BackupStatus::idle());
    QVERIFY(!state.lastError());
}

void AppStateTest::removeFailureReportsWithoutLogEntry() {
    Harness h;
    const auto drive = h.addDrive("STUCK", testConfig("STUCK", false));
    AppState& state = h.make();
    state.start();
    QVERIFY(QFile::remove(drive.mountPath + QStringLiteral("/.keelbox.json")));
    QVERIFY(QDir().mkpath(drive.mountPath + QStringLiteral("/.keelbox.json/inside")));
    const std::size_t logSize = state.log().size();
    state.removeDriveConfig(h.idOf(drive));
    QVERIFY(state.lastError());
    QCOMPARE(state.log().size(), logSize);
    QCOMPARE(state.volumes().front().status, BackupStatus::configured());
    QVERIFY(state.volumes().front().config);
}

void AppStateTest::ejectRefusedWhileRunningOrQueued() {
    Harness h;
    h.engine.hold = true;
    const auto first = h.addDrive("FIRST", testConfig("FIRST"));
    const auto queued = h.addDrive("QUEUED", testConfig("QUEUED"));
    AppState& state = h.make();
    state.start();
    QVERIFY(h.engine.waitForCalls(1));
    for (const auto& drive : {first, queued}) {
        const std::size_t logSize = state.log().size();
        state.eject(h.idOf(drive));
        QCOMPARE(state.lastError(),
                 std::optional<std::string>(
                     "A backup is running — wait for it to finish before ejecting."));
        QCOMPARE(state.log().size(), logSize);
    }
    QTest::qWait(20);
    QCOMPARE(h.ejector->callCount(), std::size_t(0));
    QCOMPARE(state.volumes().size(), std::size_t(2));
}

void AppStateTest::ejectSuccessAndFailure() {
    Harness h;
    const auto good = h.addDrive("GOOD", testConfig("GOOD", false));
    const auto bad = h.addDrive("BAD", std::nullopt);
    AppState& state = h.make();
    state.start();
    FakeVolumeMonitor* monitor = h.monitor;
    h.ejector->onSuccess = [monitor](const QString& path) {
        // The device is gone once the ejection returns.
        std::erase_if(monitor->volumes,
                      [&](const MountedVolume& v) { return v.mountPath == path; });
    };

    QSignalSpy ejected(&state, &AppState::ejectFinished);
    state.eject(h.idOf(good));
    QVERIFY(ejected.wait(5000));
    QCOMPARE(ejected.front().at(1).toBool(), true);
    QCOMPARE(state.log().front().kind, LogEntry::Kind::success);
    QCOMPARE(state.log().front().message, std::string("Drive ejected."));
    QCOMPARE(state.log().front().volume, std::string("GOOD"));
    QVERIFY(!state.lastError());
    QCOMPARE(names(state), std::vector<std::string>{"BAD"});

    h.ejector->outcome = {false, QStringLiteral("target is busy")};
    state.eject(h.idOf(bad));
    QVERIFY(ejected.wait(5000));
    QCOMPARE(state.lastError(), std::optional<std::string>("Failed to eject BAD: target is busy"));
    QCOMPARE(state.log().front().kind, LogEntry::Kind::failure);
    QCOMPARE(state.log().front().message, std::string("Failed to eject: target is busy"));
    QCOMPARE(state.log().front().volume, std::string("BAD"));
    QCOMPARE(names(state), std::vector<std::string>{"BAD"});
    QCOMPARE(state.volumes().front().status, BackupStatus::idle());

    // An unknown drive is ignored.
    state.eject("/no/such/drive");
    QTest::qWait(20);
    QCOMPARE(h.ejector->callCount(), std::size_t(2));
}

void AppStateTest::ejectUsesLanguageOfTheRequest() {
    Harness h({"pl"});
    h.ejector->hold = true;
    h.ejector->outcome = {false, QStringLiteral("busy")};
    const auto drive = h.addDrive("PENDRIVE", std::nullopt);
    AppState& state = h.make();
    state.start();
    QSignalSpy ejected(&state, &AppState::ejectFinished);
    state.eject(h.idOf(drive));
    QVERIFY(h.ejector->waitForCalls(1));
    h.localizer->setLanguage(AppLanguage::english);
    h.ejector->release();
    QVERIFY(ejected.wait(5000));
    QCOMPARE(state.lastError(), std::optional<std::string>("Nie udało się wysunąć PENDRIVE: busy"));
    QCOMPARE(state.log().front().message, std::string("Nie udało się wysunąć: busy"));
}

void AppStateTest::preferencesAtStart_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("autoBackup");
    QTest::addColumn<bool>("notify");
    QTest::newRow("empty store") << QByteArray() << true << true;
    QTest::newRow("both off") << QByteArray("[General]\nautoBackup=false\nnotify=false\n") << false
                              << false;
    QTest::newRow("both on") << QByteArray("[General]\nautoBackup=true\nnotify=true\n") << true
                             << true;
    QTest::newRow("words") << QByteArray("[General]\nautoBackup=no\nnotify=off\n") << true << true;
    QTest::newRow("numbers") << QByteArray("[General]\nautoBackup=0\nnotify=1\n") << true << true;
    QTest::newRow("letter case") << QByteArray("[General]\nautoBackup=False\nnotify=FALSE\n")
                                 << true << true;
    QTest::newRow("empty and list")
        << QByteArray("[General]\nautoBackup=\nnotify=false, false\n") << true << true;
    QTest::newRow("one off") << QByteArray("[General]\nnotify=false\n") << true << false;
}

void AppStateTest::preferencesAtStart() {
    QFETCH(QByteArray, ini);
    QFETCH(bool, autoBackup);
    QFETCH(bool, notify);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("prefs.ini"));
    if (!ini.isEmpty()) {
        QFile file(path);
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(ini);
    }
    Harness h;
    h.preferences = std::make_shared<Preferences>(path);
    AppState& state = h.make();
    QCOMPARE(state.autoBackup(), autoBackup);
    QCOMPARE(state.notify(), notify);
    QVERIFY(!state.launchAtLogin());
}

void AppStateTest::switchesArePersisted() {
    Harness h;
    {
        AppState& state = h.make();
        QSignalSpy autoSpy(&state, &AppState::autoBackupChanged);
        QSignalSpy notifySpy(&state, &AppState::notifyChanged);
        state.setAutoBackup(false);
        state.setNotify(false);
        state.setNotify(false);
        QCOMPARE(autoSpy.count(), 1);
        QCOMPARE(notifySpy.count(), 1);
    }
    // A new process reads what the file says.
    Preferences reread(h.preferences->fileName());
    QCOMPARE(reread.boolValue(QStringLiteral("autoBackup")), std::optional<bool>(false));
    QCOMPARE(reread.boolValue(QStringLiteral("notify")), std::optional<bool>(false));
    h.preferences = std::make_shared<Preferences>(h.preferences->fileName());
    AppState& again = h.make();
    QVERIFY(!again.autoBackup());
    QVERIFY(!again.notify());
}

void AppStateTest::launchAtLogin_data() {
    QTest::addColumn<bool>("initially");
    QTest::addColumn<bool>("wanted");
    QTest::addColumn<bool>("pending");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<int>("enableCalls");
    QTest::addColumn<int>("disableCalls");
    QTest::addColumn<bool>("after");
    QTest::addColumn<QString>("lastError");
    QTest::newRow("turn on") << false << true << false << QString() << 1 << 0 << true << QString();
    QTest::newRow("already on") << true << true << false << QString() << 0 << 0 << true
                                << QString();
    QTest::newRow("turn off") << true << false << false << QString() << 0 << 1 << false
                              << QString();
    QTest::newRow("already off") << false << false << false << QString() << 0 << 0 << false
                                 << QString();
    QTest::newRow("register fails")
        << false << true << false << QStringLiteral("Read-only file system") << 1 << 0 << false
        << QStringLiteral("Failed to change launch-at-login: Read-only file system");
    QTest::newRow("unregister fails")
        << true << false << false << QStringLiteral("Permission denied") << 0 << 1 << true
        << QStringLiteral("Failed to change launch-at-login: Permission denied");
    QTest::newRow("accepted but pending")
        << false << true << true << QString() << 1 << 0 << false << QString();
}

void AppStateTest::launchAtLogin() {
    QFETCH(bool, initially);
    QFETCH(bool, wanted);
    QFETCH(bool, pending);
    QFETCH(QString, failure);
    QFETCH(int, enableCalls);
    QFETCH(int, disableCalls);
    QFETCH(bool, after);
    QFETCH(QString, lastError);

    Harness h;
    h.loginInitiallyEnabled = initially;
    AppState& state = h.make();
    QCOMPARE(state.launchAtLogin(), initially);
    h.login->pendingApproval = pending;
    if (!failure.isEmpty())
        h.login->failure = failure;
    QSignalSpy changed(&state, &AppState::launchAtLoginChanged);
    state.setLaunchAtLogin(wanted);
    QCOMPARE(h.login->enableCalls, enableCalls);
    QCOMPARE(h.login->disableCalls, disableCalls);
    QCOMPARE(state.launchAtLogin(), after);
    QCOMPARE(changed.count(), after != initially ? 1 : 0);
    if (lastError.isEmpty())
        QVERIFY(!state.lastError());
    else
        QCOMPARE(QString::fromStdString(state.lastError().value_or("")), lastError);
}

void AppStateTest::stopLetsTheRunningBackupFinishAndDropsQueued() {
    Harness h;
    h.engine.hold = true;
    const auto a = h.addDrive("A", testConfig("A"));
    const auto b = h.addDrive("B", testConfig("B"));
    AppState& state = h.make();
    state.start();
    QVERIFY(h.engine.waitForCalls(1));
    QCOMPARE(state.backupsInFlight(), 2);

    QSignalSpy settled(&state, &AppState::backupsSettled);
    state.stopBackups();
    QVERIFY(settled.wait(5000));
    QCOMPARE(h.engine.stoppedRuns, 1);
    QCOMPARE(h.engine.callCount(), std::size_t(1)); // the queued one never ran
    QVERIFY(state.running().empty());
    QCOMPARE(findById(state, h.idOf(a))->status.kind, BackupStatus::Kind::done);
    QCOMPARE(findById(state, h.idOf(b))->status, BackupStatus::configured());
    // Start entries for both, a finish entry for the one that ran.
    QCOMPARE(state.log().size(), std::size_t(3));
    QCOMPARE(state.log().front().volume, std::string("A"));
    QCOMPARE(state.log().front().kind, LogEntry::Kind::success);
}

void AppStateTest::consolePrintsDrivesAndEntries() {
    Harness h;
    h.engine.makeResult = [](const DriveConfig&, AppLanguage language) {
        return resultWithIssues(1, language);
    };
    h.addDrive("ZULU", testConfig("ZULU", false, BackupMode::dated));
    const auto run = h.addDrive("ALPHA", testConfig("ALPHA"));
    AppState& state = h.make();
    std::ostringstream out;
    Console console(state, out);
    state.start();
    QSignalSpy settled(&state, &AppState::backupsSettled);
    QVERIFY(settled.wait(5000));
    h.addDrive("LATE", std::nullopt, true);
    QTRY_COMPARE(state.volumes().size(), std::size_t(3));
    h.monitor->unplug(run.mountPath);
    QTRY_COMPARE(state.volumes().size(), std::size_t(2));

    const QString text = QString::fromStdString(out.str());
    const QStringList lines = text.split(QLatin1Char('\n'));
    // The drive list comes first, before the automatic run's entries.
    const qsizetype alphaLine = lines.indexOf(QRegularExpression(QStringLiteral("^  ALPHA \\(.*")));
    const qsizetype zuluLine = lines.indexOf(QRegularExpression(QStringLiteral("^  ZULU \\(.*")));
    const qsizetype started =
        lines.indexOf(QRegularExpression(QStringLiteral(".*ALPHA: Backup started \\(sync\\)\\.$")));
    QVERIFY2(alphaLine >= 0 && zuluLine > alphaLine && started > zuluLine, qPrintable(text));
    QVERIFY2(lines[zuluLine].contains(QStringLiteral("Ready • dated backup")), qPrintable(text));
    QVERIFY2(lines[zuluLine].contains(QStringLiteral(" free")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("ALPHA: Finished with errors: ")), qPrintable(text));
    QVERIFY2(text.contains(
                 QStringLiteral("\n    Docs/file0.txt — The file disappeared during copying.\n")),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("POSIX #2")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Usually harmless")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("LATE (")), qPrintable(text));
    QCOMPARE(text.count(QStringLiteral("Backup started")), 1);
    QVERIFY2(text.contains(QString::fromStdString("Disconnected: ALPHA (" + h.idOf(run) + ")\n")),
             qPrintable(text));
}

void AppStateTest::terminationSignalEndsSessionAfterCurrentBackup() {
    Harness h;
    h.engine.hold = true;
    h.addDrive("FIRST", testConfig("FIRST"));
    h.addDrive("SECOND", testConfig("SECOND"));
    AppState& state = h.make();
    std::ostringstream out;
    Console console(state, out);
    // Once the first backup is under way, the service manager asks us to stop.
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (h.engine.callCount() == 1) {
            poll.stop();
            ::raise(SIGTERM);
        }
    });
    poll.start(5);
    QCOMPARE(runSession(state, console), 0);

    QCOMPARE(h.engine.stoppedRuns, 1);
    QCOMPARE(h.engine.callCount(), std::size_t(1));
    QCOMPARE(state.backupsInFlight(), 0);
    QVERIFY(state.running().empty());
    const QString text = QString::fromStdString(out.str());
    QVERIFY2(text.startsWith(QStringLiteral("Watching for drives. Press Ctrl+C to stop.\n")),
             qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("Stopping after the current file…")), qPrintable(text));
    QVERIFY2(text.contains(QStringLiteral("FIRST: Done: ")), qPrintable(text));
    QVERIFY2(!text.contains(QStringLiteral("SECOND: Done")), qPrintable(text));
}

void AppStateTest::terminationSignalWhenIdle() {
    Harness h;
    AppState& state = h.make();
    std::ostringstream out;
    Console console(state, out);
    struct sigaction before {};
    ::sigaction(SIGINT, nullptr, &before);
    QTimer::singleShot(10, [] { ::raise(SIGINT); });
    QCOMPARE(runSession(state, console), 0);
    QVERIFY2(out.str().find("No USB drives connected.") != std::string::npos, out.str().c_str());
    QVERIFY(out.str().find("Stopping") == std::string::npos);
    // The session's handler is gone with it: whatever was there before is back.
    struct sigaction after {};
    ::sigaction(SIGINT, nullptr, &after);
    QVERIFY(after.sa_handler == before.sa_handler);
}

QTEST_GUILESS_MAIN(AppStateTest)
#include "tst_appstate.moc"
