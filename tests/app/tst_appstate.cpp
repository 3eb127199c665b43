// The application state on fake platform services and a fake engine, with drives as real folders.

#include "Fakes.h"

#include "app/LogText.h"
#include "app/Session.h"
#include "tests/support/QtFiles.h"

#include <QTest>
#include <QTimer>

#include <csignal>

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
    const auto found = std::ranges::find(state.volumes(), id, &VolumeInfo::id);
    return found == state.volumes().end() ? nullptr : &*found;
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
    void automaticBackups();
    void refreshBuildsSortedListAndCarriesStatus();

    void backupsRunOneAtATimeAndRefuseEjection();
    void runReportsProgressAndResult();
    void unplugAndReplugDuringBackup();
    void stoppedAndPulledRunsEndWithOneOutcome();
    void aConfigurationRewrittenOnTheDriveIsReadAgain();

    void draftThenSaveWritesTheDriveAndLogKeepsTheNewest();
    void saveAndRemoveWhileRunning();

    void eject();

    void consoleText();
    void terminationSignalEndsTheSession();
};

void AppStateTest::automaticBackups() {
    // The switch, the drive's wish; started. (Another process running the session's automatic
    // backups, and taking them over, is WatchEndToEndTest::secondWatchStandsBy.)
    for (const auto& [autoBackup, autoRunOnMount, starts] :
         std::initializer_list<std::array<bool, 3>>{
             {{true, true, true}},
             {{true, false, false}},    // the drive does not ask
             {{false, true, false}}}) { // the switch is off
        // One drive connected before the start, one after; a later refresh starts nothing.
        Harness h;
        h.preferences->setBool(u"autoBackup"_s, autoBackup);
        const auto early = h.addDrive(u"ALPHA"_s, testConfig("ALPHA", autoRunOnMount));
        AppState& state = h.started();
        QCOMPARE(state.isRunning(h.idOf(early)), starts);
        const auto late = h.addDrive(u"BETA"_s, testConfig("BETA", autoRunOnMount), true);
        QTRY_COMPARE(state.volumes().size(), std::size_t(2));
        QCOMPARE(state.isRunning(h.idOf(late)), starts);
        QTRY_COMPARE(state.backupsInFlight(), 0);
        state.refreshVolumes();
        QTest::qWait(20);
        QCOMPARE(h.engine.callCount(), std::size_t(starts ? 2 : 0));
        QCOMPARE(state.log().size(), std::size_t(starts ? 4 : 0));
    }
}

void AppStateTest::refreshBuildsSortedListAndCarriesStatus() {
    Harness h;
    h.addDrive(u"zeta"_s, testConfig("zeta", false));
    const auto upper = h.addDrive(u"Stick"_s);
    const auto lower = h.addDrive(u"stick"_s, testConfig("stick", false));
    h.addDrive(u"Alpha"_s);
    // A malformed configuration file means "not configured", with the reason kept for the row.
    const auto broken = h.addDrive(u"Broken"_s);
    QVERIFY(
        keelbox::test::writeFile(broken.mountPath + u"/.keelbox.json"_s, "{\"mode\": \"Sync\""));
    // No name from the platform: the last component of the mount path.
    MountedVolume unnamed;
    unnamed.mountPath = h.dir.filePath(u"media/NONAME/"_s);
    QVERIFY(QDir().mkpath(unnamed.mountPath));
    h.monitor->volumes.push_back(unnamed);

    AppState& state = h.make();
    state.refreshVolumes();
    QCOMPARE(names(state),
             (std::vector<std::string>{"Alpha", "Broken", "NONAME", "Stick", "stick", "zeta"}));
    QCOMPARE(state.volumes()[2].id, h.dir.filePath(u"media/NONAME"_s).toStdString());
    const auto statusOf = [&](const MountedVolume& drive) {
        return findById(state, h.idOf(drive))->status;
    };
    QCOMPARE(std::tuple(statusOf(broken), findById(state, h.idOf(broken))->configFault.kind,
                        statusOf(upper), statusOf(lower)),
             std::tuple(BackupStatus::idle(), ConfigFault::Kind::syntax, BackupStatus::idle(),
                        BackupStatus::configured()));
    // Status survives a refresh, even when the file changed meanwhile: the file is read again.
    state.finishBackup(h.idOf(lower), "stick", BackupResult{});
    QVERIFY(removeConfig(h.idOf(lower)) == std::nullopt);
    state.refreshVolumes();
    QVERIFY(statusOf(lower).kind == BackupStatus::Kind::done &&
            !findById(state, h.idOf(lower))->config);
}

void AppStateTest::backupsRunOneAtATimeAndRefuseEjection() {
    Harness h;
    h.engine.hold = true;
    const auto b = h.addDrive(u"B-DRIVE"_s, testConfig("B-DRIVE", true, BackupMode::dated));
    const auto a = h.addDrive(u"A-DRIVE"_s, testConfig("A-DRIVE"));
    const auto c = h.addDrive(u"C-DRIVE"_s, testConfig("C-DRIVE", false));
    AppState& state = h.started();

    // Both automatic backups started right after the first scan, in list order.
    QCOMPARE(std::tuple(state.isRunning(h.idOf(a)), state.isRunning(h.idOf(b)),
                        state.isRunning(h.idOf(c)), state.log()[1].volume, state.log()[0].message),
             std::tuple(true, true, false, std::string("A-DRIVE"),
                        std::string("Backup started (dated backup).")));
    state.startBackup(h.idOf(c));
    // A second press, an unconfigured drive and an unknown one change nothing and say nothing.
    const std::size_t logSize = state.log().size();
    const auto bare = h.addDrive(u"BARE"_s);
    state.refreshVolumes();
    for (const std::string& id : {h.idOf(c), h.idOf(bare), std::string("/no/such/drive")})
        state.startBackup(id);
    QCOMPARE(std::pair(state.log().size(), h.notifier->posted.size()), std::pair(logSize, logSize));

    QVERIFY(h.engine.waitForCalls(1));
    // A queued drive may not be ejected, as the running one may not (both are running).
    state.eject(h.idOf(b));
    QCOMPARE(state.lastError().value_or(""),
             std::string("A backup is running — wait for it to finish before ejecting."));
    QTest::qWait(30);
    // The others wait their turn.
    QCOMPARE(std::tuple(h.ejector->callCount(), h.engine.callCount(),
                        findById(state, h.idOf(b))->status),
             std::tuple(std::size_t(0), std::size_t(1), BackupStatus::running()));
    for (std::size_t done = 1; done <= 3; ++done) {
        QVERIFY(h.engine.waitForCalls(done));
        h.engine.releaseOne();
    }
    QVERIFY(settles(state) && state.running().empty());
    // Only the user's own run may mass-delete; all run off the main thread at background priority.
    std::string runs;
    for (std::size_t i = 0; i < 3; ++i) {
        const EngineCall call = h.engine.call(i);
        runs += call.config.driveName + (call.automatic ? " auto " : " manual ") +
                std::to_string(call.niceness) + (call.onMainThread ? " main;" : ";");
    }
    QCOMPARE(runs, std::string("A-DRIVE auto 10;B-DRIVE auto 10;C-DRIVE manual 10;"));
}

void AppStateTest::runReportsProgressAndResult() {
    // Issues, notifications on, started in Polish and finished in English.
    for (const auto& [issues, notify, polish] : std::initializer_list<std::tuple<int, bool, bool>>{
             {0, true, false}, {3, false, false}, {1, true, true}}) {
        Harness h({polish ? "pl-PL" : "en-GB"});
        h.preferences->setBool(u"notify"_s, notify);
        h.engine.hold = true;
        h.engine.progress = {{1, 4, 100, 400, "a.txt"}, {4, 4, 400, 400, ""}};
        h.engine.makeResult = reportingIssues(issues);
        const auto drive = h.addDrive(u"PROG"_s, testConfig("PROG", false));
        AppState& state = h.started();
        const std::string id = h.idOf(drive);
        // Renamed since the configuration was written: copied under the name it has now.
        h.monitor->volumes.front().name = u"RENAMED"_s;
        state.refreshVolumes();
        // Snapshots reach the entry while the drive runs, in order, on the main thread.
        std::vector<BackupProgress> seen;
        connect(&state, &AppState::volumesChanged, this, [&] {
            if (const VolumeInfo* volume = findById(state, id); volume && volume->progress)
                seen.push_back(*volume->progress);
        });
        state.startBackup(id);
        QVERIFY(h.engine.waitForCalls(1));
        h.localizer->setLanguage(AppLanguage::english);
        h.engine.release();
        QVERIFY(settles(state));
        // The result is told in the language of its end and the start entry is said again in it;
        // the engine's words keep the language they were made in.
        const AppLanguage started = polish ? AppLanguage::polish : AppLanguage::english;
        const BackupResult expected = resultWithIssues(issues, started);
        const std::string summary = expected.summary(AppLanguage::english);
        const std::string errors = std::to_string(issues);
        const LogEntry& entry = state.log().front();
        QCOMPARE(
            std::tuple(seen, h.engine.call(0).language, h.engine.call(0).config.driveName,
                       state.log().size(), state.log()[1].message, entry.volume, entry.details,
                       entry.kind, entry.message, findById(state, id)->status,
                       h.notifier->posted.size()),
            std::tuple(h.engine.progress, started, std::string("RENAMED"), std::size_t(2),
                       std::string("Backup started (sync)."), std::string("RENAMED"),
                       expected.errors, issues ? LogEntry::Kind::failure : LogEntry::Kind::success,
                       issues ? "Finished with errors: " + summary + ". Errors: " + errors + "."
                              : "Done: " + summary + ".",
                       issues ? BackupStatus::failed(errors + (issues == 1 ? " error" : " errors"))
                              : BackupStatus::done(summary),
                       std::size_t(notify ? 2 : 0)));
        if (polish) {
            const UserNotification& finished = h.notifier->posted.back();
            QCOMPARE(
                finished.title + u'|' + finished.body + u'|' + finished.soundName,
                u"Keelbox — \u2068RENAMED\u2069 (with errors)|"_s +
                    QString::fromStdString(summary) +
                    u". Errors: 1.\nDocs/file0.txt — Plik zniknął podczas kopiowania.|complete"_s);
        }
        // A snapshot that arrives after the finish is dropped, as is one for an unknown drive.
        state.applyProgress(id, {2, 4, 200, 400, "late.txt"});
        state.applyProgress("/unknown", {2, 4, 200, 400, "late.txt"});
        QVERIFY(!findById(state, id)->progress);
    }
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
    h.monitor->unplug(gone.mountPath);
    {
        std::lock_guard lock(h.drives.mutex);
        h.drives.unmounted.insert(h.idOf(gone));
    }
    h.monitor->unplug(back.mountPath);
    QTRY_VERIFY(state.volumes().empty());
    // Gone from the list, still running and queued. (A drive being edited stays chosen while it is
    // away: UiTest::draftFollowsTheDrive.)
    QVERIFY(state.isRunning(h.idOf(gone)) && state.isRunning(h.idOf(back)));
    // BACK returns while its failing run ends: listed as configured, backed up again after it.
    h.monitor->plug(back);
    QTRY_COMPARE(names(state), std::vector<std::string>{"BACK"});
    state.startBackup(h.idOf(back));
    QCOMPARE(std::pair(state.volumes().front().status, state.log().size()),
             std::pair(BackupStatus::configured(), std::size_t(2)));

    h.engine.release();
    QTRY_COMPARE(h.engine.callCount(), std::size_t(2));
    QTRY_VERIFY(state.backupsInFlight() == 0 && state.running().empty());
    QCOMPARE(h.engine.call(1).root, std::filesystem::path(h.idOf(back)));
    // GONE's turn found nothing mounted: not run, not logged, but reported and notified.
    // Two starts and two finishes of BACK, GONE's start; notified of those and GONE's end.
    QCOMPARE(std::tuple(unlogged.size(), unlogged[0].volume + ": " + unlogged[0].message,
                        state.log().size(), h.notifier->posted.size(), h.notifier->posted[4].title),
             std::tuple(1,
                        "GONE: Not backed up: the drive is no longer mounted at " + h.idOf(gone) +
                            ". Nothing was copied or deleted.",
                        std::size_t(5), std::size_t(6),
                        u"Keelbox — \u2068GONE\u2069 (with errors)"_s));
}

void AppStateTest::stoppedAndPulledRunsEndWithOneOutcome() {
    using Ending = BackupResult::Ending;
    for (const Ending ending : {Ending::stopped, Ending::driveGone}) {
        Harness h;
        h.engine.hold = true;
        h.engine.makeResult = [ending](const DriveConfig&, AppLanguage language) {
            BackupResult result = resultWithIssues(1, language);
            std::tie(result.ending, result.filesTotal) = std::pair(ending, 5);
            result.errors[0].reason =
                ending == Ending::stopped ? "Stopped." : "Disconnected; 3 of 5.";
            return result;
        };
        const auto a = h.addDrive(u"A"_s, testConfig("A")),
                   b = h.addDrive(u"B"_s, testConfig("B", ending == Ending::stopped));
        AppState& state = h.started();
        QVERIFY(h.engine.waitForCalls(1));
        if (ending == Ending::stopped) {
            // The queued drive leaves the queue at once; the running one after its files in hand.
            state.stopBackup(h.idOf(b));
            const std::string left = "Taken out of the queue; nothing was copied.";
            const UserNotification& note = h.notifier->posted.back(); // in place of its start
            QCOMPARE(std::tuple(state.isRunning(h.idOf(b)), state.log().front().message,
                                note.body.toStdString(), note.tag.toStdString()),
                     std::tuple(false, left, left, h.idOf(b)));
            state.stopBackup(h.idOf(a));
            QVERIFY(state.isStopping(h.idOf(a)));
        } else {
            h.monitor->unplug(a.mountPath);
            h.engine.release();
        }
        QTRY_VERIFY(!state.isRunning(h.idOf(a)));
        const LogEntry& entry = state.log().front();
        const std::string stopped = "Stopped: 3 of 5 files backed up";
        QCOMPARE(std::tuple(entry.volume, entry.message, entry.kind),
                 ending == Ending::stopped
                     ? std::tuple(std::string("A"), stopped + "; 3 files • 1.2 kB.",
                                  LogEntry::Kind::info)
                     : std::tuple(std::string("A"), std::string("Disconnected; 3 of 5."),
                                  LogEntry::Kind::failure));
        QCOMPARE(h.notifier->posted.back().body, QString::fromStdString(entry.message));
        if (ending == Ending::stopped)
            QCOMPARE(std::pair(findById(state, h.idOf(a))->status, h.engine.stoppedRuns),
                     std::pair(BackupStatus::done(stopped), 1));
        h.engine.release();
        QTRY_COMPARE(state.backupsInFlight(), 0);
        QCOMPARE(h.engine.callCount(), std::size_t(1)); // the queued drive never ran
    }
}

// Through the inotify backend, on the drive folders themselves.
void AppStateTest::aConfigurationRewrittenOnTheDriveIsReadAgain() {
    Harness h;
    h.ownedWatcher = makeConfigWatcher();
    const auto drive = h.addDrive(u"CFG"_s);
    AppState& state = h.started();
    const std::filesystem::path root = h.idOf(drive);
    QVERIFY(!writeConfig(testConfig("CFG", false, BackupMode::dated), root));
    QTRY_COMPARE(findById(state, root)->status, BackupStatus::configured());
    QCOMPARE(findById(state, root)->config->mode, BackupMode::dated);
    QVERIFY(!removeConfig(root));
    QTRY_COMPARE(findById(state, root)->status, BackupStatus::idle());
}

void AppStateTest::draftThenSaveWritesTheDriveAndLogKeepsTheNewest() {
    Harness h;
    const auto drive = h.addDrive(u"SAVE"_s);
    AppState& state = h.started();
    state.finishBackup(h.idOf(drive), "SAVE", resultWithIssues(2, AppLanguage::english));
    // A switch of language says the outcome again in the row and the log; the engine's issues
    // keep their words.
    h.localizer->setLanguage(AppLanguage::polish);
    const std::string counts =
        resultWithIssues(0, AppLanguage::polish).summary(AppLanguage::polish);
    QCOMPARE(std::tuple(state.volumes().front().status.message, state.log().front().message,
                        state.log().front().details),
             std::tuple(std::string("2 błędy"), "Zakończono z błędami: " + counts + ". Błędów: 2.",
                        resultWithIssues(2, AppLanguage::english).errors));
    h.localizer->setLanguage(AppLanguage::english);

    // An unconfigured drive's draft is fresh each time, and nothing is written yet.
    DriveConfig draft = state.draftConfig(state.volumes().front());
    QVERIFY(draft.sources.empty() && !readConfig(h.idOf(drive)) &&
            state.draftConfig(state.volumes().front()).driveID != draft.driveID);
    draft.driveName = "stale name";
    draft.sources.push_back({Uuid::random(), "Docs"});
    state.saveDriveConfig(draft, h.idOf(drive));
    // Under the name the drive has now; the failed status of the last run gives way.
    const auto written = readConfig(h.idOf(drive));
    QVERIFY(written && written->driveID == draft.driveID && written->sources == draft.sources &&
            written->driveName == "SAVE" &&
            state.volumes().front().status == BackupStatus::configured());
    // A configured drive's draft is what the drive holds.
    state.refreshVolumes();
    QCOMPARE(state.draftConfig(state.volumes().front()), *written);
    // Saving for a drive that is not listed changes nothing.
    const std::size_t logSize = state.log().size();
    state.saveDriveConfig(draft, "/no/such/drive");
    QCOMPARE(state.log().size(), logSize);

    // The log keeps the hundred newest entries, newest first.
    std::vector<Uuid> added;
    for (std::size_t i = 0; i < maxLogEntries; ++i) {
        const LogEntry entry;
        state.appendLog(entry);
        added.push_back(entry.id);
    }
    QCOMPARE(state.log().size(), maxLogEntries);
    QVERIFY(state.log().front().id == added.back() && state.log().back().id == added.front());

    // A folder where the file belongs: a failed save is logged, a failed removal only reported.
    const QString file = drive.mountPath + u"/.keelbox.json"_s;
    QVERIFY(QFile::remove(file) && QDir().mkpath(file + u"/inside"_s));
    const DriveConfig kept = *state.volumes().front().config;
    draft.mode = BackupMode::dated;
    state.saveDriveConfig(draft, h.idOf(drive));
    const std::string failedSave =
        "Failed to save configuration: " + state.lastError().value_or("");
    QCOMPARE(state.log().front().message, failedSave);
    state.setLastError({});
    state.removeDriveConfig(h.idOf(drive));
    QVERIFY(!state.lastError().value_or("").empty());
    QCOMPARE(state.log().front().message, failedSave);
    QCOMPARE(std::pair(*state.volumes().front().config, state.volumes().front().status),
             std::pair(kept, BackupStatus::configured()));

    // A broken file that still names the drive: the new configuration keeps its identity and the
    // old file is kept beside it.
    QVERIFY(QDir(file).removeRecursively());
    const QByteArray broken = R"({"driveID": "F00D", "mode": 7})";
    QVERIFY(keelbox::test::writeFile(file, broken));
    state.refreshVolumes();
    QVERIFY(!state.volumes().front().config);
    draft = state.draftConfig(state.volumes().front());
    state.saveDriveConfig(draft, h.idOf(drive));
    const QStringList aside =
        QDir(drive.mountPath).entryList({u".keelbox.json.old-*"_s}, QDir::Hidden | QDir::Files);
    QCOMPARE(aside.size(), 1);
    QCOMPARE(
        std::tuple(readConfig(h.idOf(drive))->driveID,
                   keelbox::test::readFile(drive.mountPath + u'/' + aside.front()),
                   state.log().front().message),
        std::tuple(std::string("F00D"), broken, std::string("Configuration saved to the drive.")));
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
    QCOMPARE(std::pair(state.volumes().front().status, readConfig(h.idOf(drive))->mode),
             std::pair(BackupStatus::running(), BackupMode::dated));
    state.removeDriveConfig(h.idOf(drive));
    QCOMPARE(std::tuple(QFile::exists(drive.mountPath + u"/.keelbox.json"_s),
                        state.isRunning(h.idOf(drive)), state.volumes().front().status,
                        state.log().front().message),
             std::tuple(false, true, BackupStatus::idle(),
                        std::string("Configuration removed from the drive.")));

    // The running backup keeps the configuration it started with, and its result still counts.
    h.engine.release();
    QVERIFY(settles(state));
    QCOMPARE(std::pair(h.engine.call(0).config.mode, state.volumes().front().status.kind),
             std::pair(BackupMode::sync, BackupStatus::Kind::done));
}

void AppStateTest::eject() {
    // The failure the platform reports (none: ejected), the message logged and the error shown.
    for (const auto& [failure, message, error] :
         std::initializer_list<std::tuple<QString, QString, QString>>{
             {QString(), u"Drive ejected."_s, QString()},
             {u"target is busy"_s, u"Failed to eject: target is busy"_s,
              u"Failed to eject STICK: target is busy"_s}}) {
        Harness h;
        h.ejector->hold = true;
        h.ejector->outcome = {failure.isEmpty(), failure};
        const auto drive = h.addDrive(u"STICK"_s);
        h.addDrive(u"OTHER"_s);
        AppState& state = h.started();
        // The device is gone once the ejection returns.
        h.ejector->onSuccess = [monitor = h.monitor](const QString& path) {
            std::erase_if(monitor->volumes,
                          [&](const MountedVolume& v) { return v.mountPath == path; });
        };
        QSignalSpy ejected(&state, &AppState::ejectFinished);
        state.eject(h.idOf(drive));
        state.eject("/no/such/drive");
        QVERIFY(h.ejector->waitForCalls(1));
        h.ejector->release();
        QVERIFY(ejected.wait(5000));

        QCOMPARE(ejected.front().at(1).toBool(), failure.isEmpty());
        QCOMPARE(state.log().front().volume + ": " + state.log().front().message,
                 "STICK: " + message.toStdString());
        QCOMPARE(QString::fromStdString(state.lastError().value_or("")), error);
        // Only a drive that is gone can be removed.
        QCOMPARE(h.notifier->posted.size() == 1 &&
                     h.notifier->posted[0].body == u"The drive can be removed now."_s,
                 failure.isEmpty());
        QCOMPARE(std::pair(names(state).size(), h.ejector->callCount()),
                 std::pair(std::size_t(failure.isEmpty() ? 1 : 2), std::size_t(1)));
    }
}

void AppStateTest::consoleText() {
    // Many issues: the first twenty in full, with the system's words and the hint, then a count.
    const LogEntry entry{.volume = "ALPHA",
                         .message = "Finished",
                         .details = resultWithIssues(23, AppLanguage::english).errors};
    const QString text = QString::fromStdString(formatLogEntry(entry, AppLanguage::english));
    QVERIFY2(text.count(u"— The file disappeared during copying."_s) == 20 &&
                 text.count(u"POSIX #2"_s) == 20 && text.count(u"Usually harmless"_s) == 20 &&
                 text.contains(u"  • ALPHA: Finished\n    Docs/file0.txt — The file"_s) &&
                 text.endsWith(u"\n    …and 3 more problems.\n"_s),
             qPrintable(text));
}

void AppStateTest::terminationSignalEndsTheSession() {
    // The service manager stopping it, Ctrl-C that cut a backup short, and Ctrl-C when idle; busy:
    // a backup under way and another one queued.
    for (const auto& [signo, busy, status] : std::initializer_list<std::tuple<int, bool, int>>{
             {SIGTERM, true, 0}, {SIGINT, true, 130}, {SIGINT, false, 0}}) {
        Harness h;
        h.engine.hold = true;
        const auto first = h.addDrive(u"FIRST"_s, testConfig("FIRST"));
        const auto second = h.addDrive(u"SECOND"_s, testConfig("SECOND"));
        if (!busy)
            h.monitor->volumes.clear(); // nothing connected
        AppState& state = h.make();
        std::ostringstream out;
        Console console(state, out);
        struct sigaction before {};
        ::sigaction(signo, nullptr, &before);
        // Asked to stop once the first backup is under way, or at once when there is none.
        QTimer poll;
        connect(&poll, &QTimer::timeout, this, [&, signo = signo, busy = busy] {
            if (h.engine.callCount() == (busy ? 1u : 0u)) {
                poll.stop();
                ::raise(signo);
            }
        });
        poll.start(5);
        QCOMPARE(runSession(state, console), status);
        // The session's handler is gone with it: whatever was there before is back.
        struct sigaction after {};
        ::sigaction(signo, nullptr, &after);
        QVERIFY(after.sa_handler == before.sa_handler);
        const QString text = QString::fromStdString(out.str());
        QVERIFY2(text.startsWith(u"Watching for drives. Press Ctrl+C to stop.\n"_s) &&
                     text.contains(u"No USB drives connected."_s) != busy &&
                     text.contains(u"Stopping after the current file…"_s) == busy,
                 qPrintable(text));
        if (!busy)
            continue;
        // The queued one never ran; start entries for both, a finish entry for the one that ran.
        QCOMPARE(std::tuple(h.engine.stoppedRuns, h.engine.callCount(), state.log().size(),
                            findById(state, h.idOf(first))->status.kind,
                            findById(state, h.idOf(second))->status),
                 std::tuple(1, std::size_t(1), std::size_t(3), BackupStatus::Kind::done,
                            BackupStatus::configured()));
        QVERIFY2(state.running().empty() && text.contains(u"\n  FIRST ("_s) &&
                     text.contains(u"FIRST: Done: "_s) && !text.contains(u"SECOND: Done"_s) &&
                     text.contains(u"SECOND: Not started: Keelbox stopped before this backup's "_s),
                 qPrintable(text));
    }
}

QTEST_GUILESS_MAIN(AppStateTest)
#include "tst_appstate.moc"
