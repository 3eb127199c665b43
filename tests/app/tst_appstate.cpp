// The application state on fake platform services and a fake engine, with drives as real folders.

#include "Fakes.h"

#include "app/Console.h"
#include "app/Session.h"

#include <QRegularExpression>
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
                                 keelbox::localizedText("engine.gone", language), "POSIX #2",
                                 keelbox::localizedText("engine.goneHint", language)});
    return result;
}

auto reportingIssues(int count) {
    return [count](const DriveConfig&, AppLanguage language) {
        return resultWithIssues(count, language);
    };
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

// A folder where the drive's configuration file belongs: it can be neither replaced nor removed.
bool blockConfigFile(const MountedVolume& drive) {
    const QString file = drive.mountPath + u"/.keelbox.json"_s;
    QFile::remove(file);
    return QDir().mkpath(file + u"/inside"_s);
}

} // namespace

class AppStateTest : public QObject {
    Q_OBJECT

private slots:
    void automaticBackups_data();
    void automaticBackups();
    void refreshBuildsSortedListAndCarriesStatus();

    void backupsRunOneAtATimeAndRefuseEjection();
    void progressIsShownAndLateSnapshotsDropped();
    void finishReportsTheResult_data();
    void finishReportsTheResult();
    void unplugAndReplugDuringBackup();
    void languageSwitchDuringBackup();

    void draftThenSaveWritesTheDriveAndLogKeepsTheNewest();
    void saveAndRemoveWhileRunning();
    void saveOrRemoveFailure_data();
    void saveOrRemoveFailure();

    void eject_data();
    void eject();

    void preferencesAtStart_data();
    void preferencesAtStart();
    void launchAtLogin_data();
    void launchAtLogin();

    void consolePrintsDrivesAndEntries();
    void terminationSignalEndsSessionAfterCurrentBackup_data();
    void terminationSignalEndsSessionAfterCurrentBackup();
    void terminationSignalWhenIdle();
};

void AppStateTest::automaticBackups_data() {
    QTest::addColumn<bool>("autoBackup");
    QTest::addColumn<bool>("configured");
    QTest::addColumn<bool>("autoRunOnMount");
    QTest::addColumn<bool>("here"); // this process runs the session's automatic backups
    QTest::addColumn<bool>("starts");
    QTest::newRow("switch on, drive asks") << true << true << true << true << true;
    QTest::newRow("switch on, drive does not ask") << true << true << false << true << false;
    QTest::newRow("switch on, no configuration") << true << false << false << true << false;
    QTest::newRow("switch off, drive asks") << false << true << true << true << false;
    QTest::newRow("another process runs them") << true << true << true << false << false;
}

void AppStateTest::automaticBackups() {
    QFETCH(bool, autoBackup);
    QFETCH(bool, configured);
    QFETCH(bool, autoRunOnMount);
    QFETCH(bool, here);
    QFETCH(bool, starts);
    const auto config = [&](const char* name) {
        return configured ? std::optional(testConfig(name, autoRunOnMount)) : std::nullopt;
    };
    // Already connected at start; starting twice watches and scans once.
    {
        Harness h;
        h.preferences->setBool(u"autoBackup"_s, autoBackup);
        const auto drive = h.addDrive(u"ALPHA"_s, config("ALPHA"));
        AppState& state = h.make();
        state.setAutomaticBackupsHere(here);
        state.start();
        state.start();
        QCOMPARE(h.monitor->starts, 1);
        QCOMPARE(h.monitor->scans, 1);
        QCOMPARE(state.isRunning(h.idOf(drive)), starts);
        QTRY_COMPARE(state.backupsInFlight(), 0);
        QCOMPARE(h.engine.callCount(), std::size_t(starts ? 1 : 0));
        QCOMPARE(state.log().size(), std::size_t(starts ? 2 : 0));
        // Taking over from the process that ran them makes the pass over connected drives.
        if (!here) {
            state.setAutomaticBackupsHere(true);
            QVERIFY(state.isRunning(h.idOf(drive)));
        }
    }
    // Connected later; a later refresh never starts anything by itself.
    {
        Harness h;
        h.preferences->setBool(u"autoBackup"_s, autoBackup);
        AppState& state = h.make();
        state.setAutomaticBackupsHere(here);
        state.start();
        const auto drive = h.addDrive(u"BETA"_s, config("BETA"), true);
        QTRY_COMPARE(state.volumes().size(), std::size_t(1));
        QCOMPARE(state.isRunning(h.idOf(drive)), starts);
        QTRY_COMPARE(state.backupsInFlight(), 0);
        state.refreshVolumes();
        QTest::qWait(20);
        QCOMPARE(h.engine.callCount(), std::size_t(starts ? 1 : 0));
    }
}

void AppStateTest::refreshBuildsSortedListAndCarriesStatus() {
    Harness h;
    h.addDrive(u"zeta"_s, testConfig("zeta", false));
    const auto upper = h.addDrive(u"Stick"_s);
    const auto lower = h.addDrive(u"stick"_s, testConfig("stick", false));
    h.addDrive(u"Alpha"_s);
    // A malformed configuration file means "not configured", silently.
    const auto broken = h.addDrive(u"Broken"_s);
    QFile file(broken.mountPath + u"/.keelbox.json"_s);
    QVERIFY(file.open(QIODevice::WriteOnly) && file.write("{\"mode\": \"Sync\"") > 0);
    file.close();
    // No name from the platform: the last component of the mount path.
    MountedVolume unnamed;
    unnamed.mountPath = h.dir.filePath(u"media/NONAME/"_s);
    QDir().mkpath(unnamed.mountPath);
    h.monitor->volumes.push_back(unnamed);

    AppState& state = h.make();
    state.refreshVolumes();
    QCOMPARE(names(state),
             (std::vector<std::string>{"Alpha", "Broken", "NONAME", "Stick", "stick", "zeta"}));
    QCOMPARE(state.volumes()[2].id, h.dir.filePath(u"media/NONAME"_s).toStdString());
    QCOMPARE(findById(state, h.idOf(broken))->status, BackupStatus::idle());
    QCOMPARE(findById(state, h.idOf(upper))->status, BackupStatus::idle());
    QCOMPARE(findById(state, h.idOf(lower))->status, BackupStatus::configured());
    QCOMPARE(findById(state, h.idOf(lower))->totalCapacity, std::optional<Int64>(32'000'000'000));

    // Status and progress survive a refresh, even when the file changed meanwhile.
    state.finishBackup(h.idOf(lower), "stick", BackupResult{});
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

void AppStateTest::backupsRunOneAtATimeAndRefuseEjection() {
    Harness h;
    h.engine.hold = true;
    const auto b = h.addDrive(u"B-DRIVE"_s, testConfig("B-DRIVE", true, BackupMode::dated));
    const auto a = h.addDrive(u"A-DRIVE"_s, testConfig("A-DRIVE"));
    const auto c = h.addDrive(u"C-DRIVE"_s, testConfig("C-DRIVE", false));
    AppState& state = h.started();

    // Both automatic backups started right after the first scan, in list order.
    QVERIFY(state.isRunning(h.idOf(a)) && state.isRunning(h.idOf(b)));
    QVERIFY(!state.isRunning(h.idOf(c)));
    QCOMPARE(state.log()[1].volume, std::string("A-DRIVE"));
    QCOMPARE(state.log()[0].volume, std::string("B-DRIVE"));
    QCOMPARE(state.log()[0].message, std::string("Backup started (dated backup)."));
    state.startBackup(h.idOf(c));
    // A second press, an unconfigured drive and an unknown one change nothing and say nothing.
    const std::size_t logSize = state.log().size();
    const auto bare = h.addDrive(u"BARE"_s);
    state.refreshVolumes();
    for (const std::string& id : {h.idOf(c), h.idOf(bare), std::string("/no/such/drive")})
        state.startBackup(id);
    QCOMPARE(state.log().size(), logSize);
    QCOMPARE(h.notifier->posted.size(), logSize);
    QVERIFY(!state.lastError());

    QVERIFY(h.engine.waitForCalls(1));
    // Neither the running drive nor a queued one may be ejected.
    for (const auto& drive : {a, b}) {
        state.eject(h.idOf(drive));
        QCOMPARE(state.lastError().value_or(""),
                 std::string("A backup is running — wait for it to finish before ejecting."));
        QCOMPARE(state.log().size(), logSize);
    }
    QTest::qWait(30);
    QCOMPARE(h.ejector->callCount(), std::size_t(0));
    QCOMPARE(h.engine.callCount(), std::size_t(1)); // the others wait their turn
    QCOMPARE(findById(state, h.idOf(b))->status, BackupStatus::running());
    QVERIFY(!findById(state, h.idOf(b))->progress);
    h.engine.releaseOne();
    QVERIFY(h.engine.waitForCalls(2));
    QTRY_VERIFY(!state.isRunning(h.idOf(a)));
    QVERIFY(state.isRunning(h.idOf(b)) && state.isRunning(h.idOf(c)));
    h.engine.releaseOne();
    QVERIFY(h.engine.waitForCalls(3));
    h.engine.releaseOne();
    QVERIFY(settles(state));
    QVERIFY(state.running().empty());
    for (std::size_t i = 0; i < 3; ++i)
        QCOMPARE(h.engine.call(i).config.driveName, std::string(1, char('A' + i)) + "-DRIVE");
    const EngineCall last = h.engine.call(2);
    QCOMPARE(last.root, std::filesystem::path(h.idOf(c)));
    QVERIFY(last.stopFlagGiven);
    // Started by themselves, the first two never mass-delete; the user's own run does as asked.
    QVERIFY(h.engine.call(0).automatic && h.engine.call(1).automatic && !last.automatic);
    // Off the main thread, at background priority.
    QVERIFY(!last.onMainThread);
    QCOMPARE(last.niceness, 10);
}

void AppStateTest::progressIsShownAndLateSnapshotsDropped() {
    Harness h;
    h.engine.progress = {{1, 4, 100, 400, "a.txt"}, {4, 4, 400, 400, ""}};
    const auto drive = h.addDrive(u"PROG"_s, testConfig("PROG", false));
    AppState& state = h.started();
    const std::string id = h.idOf(drive);
    // Renamed since the configuration was written: copied under the name it has now.
    h.monitor->volumes.front().name = u"RENAMED"_s;
    state.refreshVolumes();
    QCOMPARE(findById(state, id)->config->driveName, std::string("PROG"));

    // Snapshots reach the entry while the drive runs (delivered in order on the main thread).
    std::vector<BackupProgress> seen;
    connect(&state, &AppState::volumesChanged, this, [&] {
        const VolumeInfo* volume = findById(state, id);
        if (volume && volume->progress)
            seen.push_back(*volume->progress);
    });
    state.startBackup(id);
    QVERIFY(settles(state));
    QCOMPARE(seen, h.engine.progress);
    QVERIFY(!findById(state, id)->progress);
    QCOMPARE(h.engine.call(0).config.driveName, std::string("RENAMED"));
    QCOMPARE(state.log().front().volume, std::string("RENAMED"));

    // A snapshot that arrives after the finish is dropped, as is one for an unknown drive.
    state.applyProgress(id, {2, 4, 200, 400, "late.txt"});
    state.applyProgress("/unknown", {2, 4, 200, 400, "late.txt"});
    QVERIFY(!findById(state, id)->progress);
    QCOMPARE(findById(state, id)->status.kind, BackupStatus::Kind::done);
}

void AppStateTest::finishReportsTheResult_data() {
    QTest::addColumn<int>("issues");
    QTest::addColumn<bool>("notify");
    QTest::newRow("clean") << 0 << true;
    QTest::newRow("notifications off") << 3 << false;
}

void AppStateTest::finishReportsTheResult() {
    QFETCH(int, issues);
    QFETCH(bool, notify);
    Harness h;
    h.engine.makeResult = reportingIssues(issues);
    const auto drive = h.addDrive(u"DRIVE"_s, testConfig("DRIVE", false));
    AppState& state = h.make();
    state.setNotify(notify);
    state.start();
    state.startBackup(h.idOf(drive));
    QVERIFY(settles(state));

    const BackupResult expected = resultWithIssues(issues, AppLanguage::english);
    const std::string summary = expected.summary(AppLanguage::english);
    const LogEntry& entry = state.log().front();
    QCOMPARE(state.log().size(), std::size_t(2));
    QCOMPARE(entry.volume, std::string("DRIVE"));
    QCOMPARE(entry.details, expected.errors);
    if (issues == 0) {
        QCOMPARE(findById(state, h.idOf(drive))->status, BackupStatus::done(summary));
        QCOMPARE(entry.kind, LogEntry::Kind::success);
        QCOMPARE(entry.message, "Done: " + summary + ".");
    } else {
        QCOMPARE(findById(state, h.idOf(drive))->status, BackupStatus::failed("3 errors"));
        QCOMPARE(entry.kind, LogEntry::Kind::failure);
        QCOMPARE(entry.message, "Finished with errors: " + summary + ". Errors: 3.");
    }

    // (The start and a clean finish are announced as checked end to end, `keelbox watch`.)
    QCOMPARE(h.notifier->posted.size(), std::size_t(notify ? 2 : 0));
}

void AppStateTest::unplugAndReplugDuringBackup() {
    Harness h;
    h.engine.hold = true;
    h.engine.makeResult = reportingIssues(1);
    // Both run by themselves, BACK first (list order); GONE waits its turn.
    const auto back = h.addDrive(u"BACK"_s, testConfig("BACK"));
    const auto gone = h.addDrive(u"GONE"_s, testConfig("GONE"));
    AppState& state = h.make();
    QList<LogEntry> unlogged;
    connect(&state, &AppState::outcomeNotLogged, this,
            [&](const LogEntry& entry) { unlogged.append(entry); });
    state.start();
    QVERIFY(h.engine.waitForCalls(1));
    QSignalSpy editingSpy(&state, &AppState::editingVolumeIDChanged);
    state.setEditingVolumeID(h.idOf(gone));
    QCOMPARE(editingSpy.count(), 1);
    QCOMPARE(state.editingVolume()->name, std::string("GONE"));
    h.monitor->unplug(gone.mountPath);
    {
        std::lock_guard lock(h.drives.mutex);
        h.drives.unmounted.insert(h.idOf(gone));
    }
    h.monitor->unplug(back.mountPath);
    QTRY_VERIFY(state.volumes().empty());
    // The drive being edited is gone from the list; its identity stays chosen.
    QVERIFY(!state.editingVolume());
    QCOMPARE(state.editingVolumeID(), std::optional<std::string>(h.idOf(gone)));
    QVERIFY(state.isRunning(h.idOf(gone)) && state.isRunning(h.idOf(back)));
    // BACK returns while its failing run is still ending: listed as configured, and backed up
    // again once that run is over, whatever its outcome.
    h.monitor->plug(back);
    QTRY_COMPARE(names(state), std::vector<std::string>{"BACK"});
    QCOMPARE(state.volumes().front().status, BackupStatus::configured());
    state.startBackup(h.idOf(back));
    QCOMPARE(state.log().size(), std::size_t(2));

    h.engine.release();
    QTRY_COMPARE(h.engine.callCount(), std::size_t(2));
    QTRY_COMPARE(state.backupsInFlight(), 0);
    QVERIFY(state.running().empty());
    QCOMPARE(h.engine.call(1).root, std::filesystem::path(h.idOf(back)));
    // GONE's turn found nothing mounted: not run, not logged, but reported and notified.
    QCOMPARE(unlogged.size(), 1);
    QCOMPARE(unlogged[0].volume, std::string("GONE"));
    QCOMPARE(unlogged[0].message, "Not backed up: the drive is no longer mounted at " +
                                      h.idOf(gone) + ". Nothing was copied or deleted.");
    // Two starts and two finishes of BACK, GONE's start.
    QCOMPARE(state.log().size(), std::size_t(5));
    QCOMPARE(state.log()[1].message, std::string("Backup started (sync)."));
    QCOMPARE(h.notifier->posted.size(), std::size_t(6));
    QCOMPARE(h.notifier->posted[4].title, u"Keelbox — GONE (with errors)"_s);
}

void AppStateTest::languageSwitchDuringBackup() {
    Harness h({"pl-PL"});
    h.engine.hold = true;
    h.engine.makeResult = reportingIssues(1);
    const auto drive = h.addDrive(u"LANG"_s, testConfig("LANG", false));
    AppState& state = h.started();
    state.startBackup(h.idOf(drive));
    QVERIFY(h.engine.waitForCalls(1));
    QCOMPARE(h.engine.call(0).language, AppLanguage::polish);
    QCOMPARE(h.notifier->posted.front().body, u"Rozpoczęto backup (synchronizacja)…"_s);

    h.localizer->setLanguage(AppLanguage::english);
    h.engine.release();
    QVERIFY(settles(state));
    const BackupResult polishResult = resultWithIssues(1, AppLanguage::polish);
    QCOMPARE(findById(state, h.idOf(drive))->status, BackupStatus::failed("1 errors"));
    const LogEntry& entry = state.log().front();
    QCOMPARE(entry.message, "Finished with errors: " + polishResult.summary(AppLanguage::english) +
                                ". Errors: 1.");
    // The engine's words and the start entry keep the language they were made in.
    QCOMPARE(entry.details.front().reason, std::string("Plik zniknął podczas kopiowania."));
    QCOMPARE(state.log()[1].message, std::string("Backup rozpoczęty (synchronizacja)."));
    const UserNotification& finished = h.notifier->posted.back();
    QCOMPARE(finished.title, u"Keelbox — LANG (with errors)"_s);
    QCOMPARE(finished.body, QString::fromStdString(
                                polishResult.summary(AppLanguage::english) +
                                ". Errors: 1.\nDocs/file0.txt — Plik zniknął podczas kopiowania."));
    QCOMPARE(finished.soundName, u"dialog-warning"_s);
}

void AppStateTest::draftThenSaveWritesTheDriveAndLogKeepsTheNewest() {
    Harness h;
    const auto drive = h.addDrive(u"SAVE"_s);
    AppState& state = h.started();
    state.finishBackup(h.idOf(drive), "SAVE", resultWithIssues(2, AppLanguage::english));
    QCOMPARE(state.volumes().front().status.kind, BackupStatus::Kind::failed);

    // An unconfigured drive's draft is fresh each time, and nothing is written yet.
    const Date before = now();
    DriveConfig draft = state.draftConfig(state.volumes().front());
    QCOMPARE(draft.driveName, std::string("SAVE"));
    QVERIFY(Uuid::parse(draft.driveID) && draft.createdAt >= before);
    QCOMPARE(draft.createdAt, draft.updatedAt);
    QVERIFY(draft.sources.empty() && !readConfig(h.idOf(drive)));
    QVERIFY(state.draftConfig(state.volumes().front()).driveID != draft.driveID);
    draft.driveName = "stale name";
    draft.sources.push_back({Uuid::random(), "Docs"});
    state.saveDriveConfig(draft, h.idOf(drive));
    const auto written = readConfig(h.idOf(drive));
    QVERIFY(written);
    QCOMPARE(written->driveName, std::string("SAVE")); // the name the drive has now
    QCOMPARE(written->driveID, draft.driveID);
    QCOMPARE(formatIsoDate(written->createdAt), formatIsoDate(draft.createdAt));
    QCOMPARE(written->sources, draft.sources);
    QCOMPARE(state.volumes().front().status, BackupStatus::configured());
    QCOMPARE(state.volumes().front().config->sources, draft.sources);
    // A configured drive's draft is what the drive holds.
    state.refreshVolumes();
    QCOMPARE(state.draftConfig(state.volumes().front()), *readConfig(h.idOf(drive)));
    // Saving for a drive that is not listed changes nothing.
    const std::size_t logSize = state.log().size();
    state.saveDriveConfig(draft, "/no/such/drive");
    QCOMPARE(state.log().size(), logSize);

    // The log keeps the hundred newest entries, newest first.
    QSignalSpy logSpy(&state, &AppState::logChanged);
    const Uuid firstEntry = state.log().front().id;
    for (int i = 0; i < 100; ++i)
        state.saveDriveConfig(draft, h.idOf(drive));
    QCOMPARE(logSpy.count(), 100);
    QCOMPARE(state.log().size(), maxLogEntries);
    for (std::size_t i = 0; i < state.log().size(); ++i) {
        QVERIFY(state.log()[i].id != firstEntry);
        QVERIFY(i == 0 || state.log()[i - 1].date >= state.log()[i].date);
    }
    QCOMPARE(state.log().front().message, std::string("Configuration saved to the drive."));
}

void AppStateTest::saveAndRemoveWhileRunning() {
    Harness h;
    h.engine.hold = true;
    const auto drive = h.addDrive(u"BUSY"_s, testConfig("BUSY", false));
    AppState& state = h.started();
    state.startBackup(h.idOf(drive));
    DriveConfig changed = *state.volumes().front().config;
    changed.mode = BackupMode::dated;
    state.saveDriveConfig(changed, h.idOf(drive));
    QCOMPARE(state.volumes().front().status, BackupStatus::running());
    QCOMPARE(readConfig(h.idOf(drive))->mode, BackupMode::dated);

    state.removeDriveConfig(h.idOf(drive));
    QVERIFY(!QFile::exists(drive.mountPath + u"/.keelbox.json"_s));
    QCOMPARE(state.volumes().front().status, BackupStatus::idle());
    QVERIFY(!state.volumes().front().config);
    QCOMPARE(state.log().front().message, std::string("Configuration removed from the drive."));
    QCOMPARE(state.log().front().kind, LogEntry::Kind::info);
    QVERIFY(state.isRunning(h.idOf(drive)));

    // The running backup keeps the configuration it started with, and its result still counts.
    h.engine.release();
    QVERIFY(settles(state));
    QCOMPARE(h.engine.call(0).config.mode, BackupMode::sync);
    QCOMPARE(state.volumes().front().status.kind, BackupStatus::Kind::done);
    // Removing again (no file) succeeds.
    state.removeDriveConfig(h.idOf(drive));
    QCOMPARE(state.volumes().front().status, BackupStatus::idle());
    QVERIFY(!state.lastError());
}

void AppStateTest::saveOrRemoveFailure_data() {
    QTest::addColumn<bool>("save");
    QTest::newRow("save") << true;
    QTest::newRow("remove") << false;
}

void AppStateTest::saveOrRemoveFailure() {
    QFETCH(bool, save);
    Harness h;
    const auto drive = h.addDrive(u"STUCK"_s, testConfig("STUCK", false));
    AppState& state = h.started();
    const DriveConfig before = *state.volumes().front().config;
    QVERIFY(blockConfigFile(drive));
    const std::size_t logSize = state.log().size();
    QSignalSpy errorSpy(&state, &AppState::lastErrorChanged);
    DriveConfig changed = before;
    changed.mode = BackupMode::dated;
    if (save)
        state.saveDriveConfig(changed, h.idOf(drive));
    else
        state.removeDriveConfig(h.idOf(drive));

    QCOMPARE(errorSpy.count(), 1);
    QVERIFY(!state.lastError().value_or("").empty());
    // A failed save is logged; a failed removal only reported.
    QCOMPARE(state.log().size(), logSize + (save ? 1 : 0));
    if (save) {
        QCOMPARE(state.log().front().kind, LogEntry::Kind::failure);
        QCOMPARE(state.log().front().message,
                 "Failed to save configuration: " + *state.lastError());
    }
    QCOMPARE(*state.volumes().front().config, before);
    QCOMPARE(state.volumes().front().status, BackupStatus::configured());
}

void AppStateTest::eject_data() {
    QTest::addColumn<QString>("failure"); // empty: ejected
    QTest::addColumn<bool>("polish");     // the language while asking; English by the answer
    QTest::addColumn<QString>("message");
    QTest::addColumn<QString>("error");
    QTest::newRow("ejected") << QString() << false << u"Drive ejected."_s << QString();
    QTest::newRow("busy") << u"target is busy"_s << false << u"Failed to eject: target is busy"_s
                          << u"Failed to eject STICK: target is busy"_s;
    QTest::newRow("language switched meanwhile")
        << u"busy"_s << true << u"Nie udało się wysunąć: busy"_s
        << u"Nie udało się wysunąć STICK: busy"_s;
}

void AppStateTest::eject() {
    QFETCH(QString, failure);
    QFETCH(bool, polish);
    QFETCH(QString, message);
    QFETCH(QString, error);
    Harness h;
    h.localizer->setLanguage(polish ? AppLanguage::polish : AppLanguage::english);
    h.ejector->hold = true;
    if (!failure.isEmpty())
        h.ejector->outcome = {false, failure};
    const auto drive = h.addDrive(u"STICK"_s);
    h.addDrive(u"OTHER"_s);
    AppState& state = h.started();
    FakeVolumeMonitor* monitor = h.monitor;
    h.ejector->onSuccess = [monitor](const QString& path) {
        // The device is gone once the ejection returns.
        std::erase_if(monitor->volumes,
                      [&](const MountedVolume& v) { return v.mountPath == path; });
    };
    QSignalSpy ejected(&state, &AppState::ejectFinished);
    state.eject(h.idOf(drive));
    QVERIFY(h.ejector->waitForCalls(1));
    h.localizer->setLanguage(AppLanguage::english);
    h.ejector->release();
    QVERIFY(ejected.wait(5000));

    QCOMPARE(ejected.front().at(1).toBool(), failure.isEmpty());
    QCOMPARE(state.log().front().kind,
             failure.isEmpty() ? LogEntry::Kind::success : LogEntry::Kind::failure);
    QCOMPARE(QString::fromStdString(state.log().front().message), message);
    QCOMPARE(state.log().front().volume, std::string("STICK"));
    QCOMPARE(QString::fromStdString(state.lastError().value_or("")), error);
    std::vector<std::string> listed{"OTHER", "STICK"};
    if (failure.isEmpty())
        listed.pop_back(); // gone once ejected
    QCOMPARE(names(state), listed);
    // An unknown drive is ignored.
    state.eject("/no/such/drive");
    QTest::qWait(20);
    QCOMPARE(h.ejector->callCount(), std::size_t(1));
}

void AppStateTest::preferencesAtStart_data() {
    QTest::addColumn<QByteArray>("ini");
    QTest::addColumn<bool>("autoBackup");
    QTest::addColumn<bool>("notify");
    QTest::newRow("empty store") << QByteArray() << true << true;
    QTest::newRow("both off") << QByteArray("autoBackup=false\nnotify=false") << false << false;
    // Anything but the words true and false is no choice: the default holds.
    QTest::newRow("words and numbers") << QByteArray("autoBackup=no\nnotify=0") << true << true;
    QTest::newRow("letter case, a list")
        << QByteArray("autoBackup=False\nnotify=false, false") << true << true;
}

void AppStateTest::preferencesAtStart() {
    QFETCH(QByteArray, ini);
    QFETCH(bool, autoBackup);
    QFETCH(bool, notify);
    Harness h;
    const QString path = h.dir.filePath(u"stored.ini"_s);
    QFile file(path);
    if (!ini.isEmpty())
        QVERIFY(file.open(QIODevice::WriteOnly) && file.write("[General]\n" + ini + '\n') > 0);
    file.close();
    h.preferences = std::make_shared<Preferences>(path);
    AppState& state = h.make();
    QCOMPARE(state.autoBackup(), autoBackup);
    QCOMPARE(state.notify(), notify);
}

void AppStateTest::launchAtLogin_data() {
    QTest::addColumn<bool>("initially");
    QTest::addColumn<bool>("wanted");
    QTest::addColumn<bool>("pending");
    QTest::addColumn<QString>("failure");
    QTest::addColumn<bool>("after");
    const auto row = [](const char* tag, bool initially, bool wanted, bool after,
                        const QString& failure = {}, bool pending = false) {
        QTest::newRow(tag) << initially << wanted << pending << failure << after;
    };
    row("turn on", false, true, true);
    row("already on", true, true, true);
    row("turn off", true, false, false);
    row("register fails", false, true, false, u"Read-only file system"_s);
    row("unregister fails", true, false, true, u"Permission denied"_s);
    row("accepted but pending", false, true, false, {}, true);
}

void AppStateTest::launchAtLogin() {
    QFETCH(bool, initially);
    QFETCH(bool, wanted);
    QFETCH(bool, pending);
    QFETCH(QString, failure);
    QFETCH(bool, after);
    Harness h;
    h.login->enabled = initially;
    AppState& state = h.make();
    QCOMPARE(state.launchAtLogin(), initially);
    h.login->pendingApproval = pending;
    if (!failure.isEmpty())
        h.login->failure = failure;
    QSignalSpy changed(&state, &AppState::launchAtLoginChanged);
    state.setLaunchAtLogin(wanted);
    // The platform is asked only for a change, and the switch shows what it says afterwards.
    QCOMPARE(h.login->enableCalls, wanted && !initially ? 1 : 0);
    QCOMPARE(h.login->disableCalls, !wanted && initially ? 1 : 0);
    QCOMPARE(state.launchAtLogin(), after);
    QCOMPARE(changed.count(), after != initially ? 1 : 0);
    QCOMPARE(QString::fromStdString(state.lastError().value_or("")),
             failure.isEmpty() ? QString() : u"Failed to change launch-at-login: "_s + failure);
}

void AppStateTest::consolePrintsDrivesAndEntries() {
    Harness h;
    h.engine.hold = true;
    h.engine.makeResult = reportingIssues(23);
    h.addDrive(u"ZULU"_s, testConfig("ZULU", false, BackupMode::dated));
    const auto run = h.addDrive(u"ALPHA"_s, testConfig("ALPHA"));
    AppState& state = h.make();
    std::ostringstream out;
    Console console(state, out);
    state.start();
    // A label is whatever the drive says, escape sequences and line breaks included.
    h.addDrive(u"LA\nTE\x1b[2J\u202e"_s, std::nullopt, true);
    QTRY_COMPARE(state.volumes().size(), std::size_t(3));
    // Unplugged during its run: the log gets no entry, the console still prints how it ended.
    h.monitor->unplug(run.mountPath);
    QTRY_COMPARE(state.volumes().size(), std::size_t(2));
    h.engine.release();
    QVERIFY(settles(state));
    QCOMPARE(state.log().size(), std::size_t(1));

    const QString text = QString::fromStdString(out.str());
    const QStringList lines = text.split(u'\n');
    // The drive list comes first, before the automatic run's entries.
    const qsizetype alpha = lines.indexOf(QRegularExpression(u"^  ALPHA \\(.*"_s));
    const qsizetype zulu = lines.indexOf(QRegularExpression(u"^  ZULU \\(.*"_s));
    const qsizetype started =
        lines.indexOf(QRegularExpression(u".*ALPHA: Backup started \\(sync\\)\\.$"_s));
    QVERIFY2(alpha >= 0 && zulu > alpha && started > zulu, qPrintable(text));
    QVERIFY2(lines[zulu].contains(u"Ready • dated backup"_s) && lines[zulu].contains(u" free"_s),
             qPrintable(text));
    QCOMPARE(text.count(u"Backup started"_s), 1);
    // Many issues: the first twenty in full, then how many more.
    QCOMPARE(text.count(u"— The file disappeared during copying."_s), 20);
    for (const QString& expected :
         {u"ALPHA: Finished with errors: "_s,
          u"\n    Docs/file0.txt — The file disappeared during copying.\n"_s, u"POSIX #2"_s,
          u"Usually harmless"_s, u"\n    …and 3 more problems.\n"_s,
          u"Connected: LA\\x0ATE\\x1B[2J\\u202E ("_s,
          QString::fromStdString("Disconnected: ALPHA (" + h.idOf(run) + ")\n")})
        QVERIFY2(text.contains(expected), qPrintable(text));
    QVERIFY(!text.contains(u'\x1b'));
}

void AppStateTest::terminationSignalEndsSessionAfterCurrentBackup_data() {
    QTest::addColumn<int>("signo");
    QTest::addColumn<int>("status");
    QTest::newRow("the service manager stops it") << SIGTERM << 0;
    QTest::newRow("its terminal is closed") << SIGHUP << 0;
    // As documented for every command: Ctrl-C that cut a backup short.
    QTest::newRow("Ctrl-C") << SIGINT << 130;
}

void AppStateTest::terminationSignalEndsSessionAfterCurrentBackup() {
    QFETCH(int, signo);
    QFETCH(int, status);
    Harness h;
    h.engine.hold = true;
    const auto first = h.addDrive(u"FIRST"_s, testConfig("FIRST"));
    const auto second = h.addDrive(u"SECOND"_s, testConfig("SECOND"));
    AppState& state = h.make();
    std::ostringstream out;
    Console console(state, out);
    // Once the first backup is under way, the session is asked to stop.
    QTimer poll;
    connect(&poll, &QTimer::timeout, this, [&] {
        if (h.engine.callCount() == 1) {
            poll.stop();
            ::raise(signo);
        }
    });
    poll.start(5);
    QCOMPARE(runSession(state, console), status);

    QCOMPARE(h.engine.stoppedRuns, 1);
    QCOMPARE(h.engine.callCount(), std::size_t(1)); // the queued one never ran
    QVERIFY(state.running().empty());
    QCOMPARE(findById(state, h.idOf(first))->status.kind, BackupStatus::Kind::done);
    QCOMPARE(findById(state, h.idOf(second))->status, BackupStatus::configured());
    // Start entries for both, a finish entry for the one that ran.
    QCOMPARE(state.log().size(), std::size_t(3));
    QCOMPARE(state.log().front().volume, std::string("FIRST"));
    QCOMPARE(state.log().front().kind, LogEntry::Kind::success);
    const QString text = QString::fromStdString(out.str());
    QVERIFY2(text.startsWith(u"Watching for drives. Press Ctrl+C to stop.\n"_s) &&
                 text.contains(u"Stopping after the current file…"_s) &&
                 text.contains(u"FIRST: Done: "_s) && !text.contains(u"SECOND: Done"_s) &&
                 text.contains(u"SECOND: Not started: Keelbox stopped before this backup's "_s),
             qPrintable(text));
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
    QVERIFY2(out.str().find("No USB drives connected.") != std::string::npos &&
                 out.str().find("Stopping") == std::string::npos,
             out.str().c_str());
    // The session's handler is gone with it: whatever was there before is back.
    struct sigaction after {};
    ::sigaction(SIGINT, nullptr, &after);
    QVERIFY(after.sa_handler == before.sa_handler);
}

QTEST_GUILESS_MAIN(AppStateTest)
#include "tst_appstate.moc"
