#include "app/AppState.h"

#include "app/LogText.h"
#include "core/ConfigFile.h"
#include "core/ShownText.h"
#include "engine/BackupFolder.h"
#include "engine/Destination.h"

#include <QCollator>
#include <QDir>
#include <QMetaObject>

#include <algorithm>
#include <exception>
#include <sys/resource.h>
#include <sys/syscall.h>
#include <unistd.h>

namespace keelbox::app {

namespace {

// A text of the table without arguments, in whichever language is asked for.
Wording words(std::string_view key) {
    return [key](AppLanguage lang) { return formatLocalized(key, lang, {}); };
}

// Notification titles: the name isolated, so that it cannot reorder the words around it.
std::string titleFor(const std::string& volumeName) {
    return "Keelbox — " + isolatedName(volumeName);
}

// Backups are background work: the backup thread yields the processor and the disks to whatever
// the user is doing. Both settings are per thread on Linux; failures change nothing else.
void lowerBackupThreadPriority() {
    thread_local bool lowered = false;
    if (lowered)
        return;
    lowered = true;
    const pid_t thread = ::gettid();
    ::setpriority(PRIO_PROCESS, static_cast<id_t>(thread), 10);
    constexpr int whoProcess = 1, classBestEffort = 2, classShift = 13, lowestLevel = 7;
    ::syscall(SYS_ioprio_set, whoProcess, thread, (classBestEffort << classShift) | lowestLevel);
}

// Whether the drive at `root` when a run's turn comes is the one it was started for: it may have
// been unplugged while the run waited, and another one (even with the same label) mounted at its
// path, or the mount point left behind as an empty folder.
DriveMatch driveAtTurn(const DriveProbe& probe, const std::filesystem::path& root,
                       const MountedFileSystem& identity, const std::string& driveID) {
    const DriveMatch match = compareDrives(identity, probe(root));
    if (match != DriveMatch::same)
        return match;
    const std::optional<DriveConfig> onDrive = readConfig(root);
    return onDrive && onDrive->driveID != driveID ? DriveMatch::other : DriveMatch::same;
}

} // namespace

std::string volumeIdentity(const QString& mountPath) {
    QString path = mountPath;
    while (path.size() > 1 && path.endsWith(QLatin1Char('/')))
        path.chop(1);
    return path.toStdString();
}

AppState::AppState(AppServices services, QObject* parent)
    : QObject(parent), m_preferences(std::move(services.preferences)),
      m_localizer(services.localizer), m_volumeMonitor(std::move(services.volumeMonitor)),
      m_configWatcher(std::move(services.configWatcher)),
      m_volumeEjector(std::move(services.volumeEjector)), m_notifier(std::move(services.notifier)),
      m_loginItem(std::move(services.loginItem)), m_runBackup(std::move(services.runBackup)),
      m_probeDrive(std::move(services.probeDrive)),
      m_folderOpener(std::move(services.folderOpener)) {
    if (!m_folderOpener)
        m_folderOpener = std::make_unique<XdgFolderOpener>();
    if (!m_probeDrive)
        m_probeDrive = [](const std::filesystem::path& root) {
            return probeDrive(QString::fromStdString(root.string()));
        };
    Q_ASSERT(m_localizer);
    connect(m_localizer, &Localizer::languageChanged, this, &AppState::sayAgain);
    if (m_preferences) {
        m_autoBackup = m_preferences->boolValue(PreferenceKey::autoBackup, true);
        m_notify = m_preferences->boolValue(PreferenceKey::notify, true);
    }
    m_launchAtLogin = m_loginItem && m_loginItem->isEnabled();
    // One backup at a time, in start order: equal-priority tasks leave the pool's queue in the
    // order they were submitted.
    m_backupPool.setMaxThreadCount(1);
    m_ejectPool.setMaxThreadCount(4);
    if (m_volumeMonitor)
        m_volumeMonitor->setParent(nullptr);
    if (m_configWatcher) {
        m_configWatcher->setParent(nullptr);
        connect(m_configWatcher.get(), &ConfigWatcher::configChanged, this,
                [this](const QString& root) { reloadConfig(volumeIdentity(root)); });
    }
}

void AppState::setShowLogHandler(std::function<void()> showLog) {
    if (m_notifier)
        m_notifier->onShowLog = std::move(showLog);
}

AppState::~AppState() {
    stopBackups();
    m_backupPool.clear();
    m_backupPool.waitForDone();
    m_ejectPool.waitForDone();
}

void AppState::setEditingVolumeID(std::optional<std::string> id) {
    if (id == m_editingVolumeID)
        return;
    m_editingVolumeID = std::move(id);
    emit editingVolumeIDChanged();
}

void AppState::setLastError(std::string message) {
    // Messages quote paths, names and the system's words: shown inert wherever they are shown.
    m_lastError = inertText(message);
    emit lastErrorChanged();
}

void AppState::setAutoBackup(bool on) {
    setStoredSwitch(m_autoBackup, on, PreferenceKey::autoBackup, &AppState::autoBackupChanged);
}

void AppState::setNotify(bool on) {
    setStoredSwitch(m_notify, on, PreferenceKey::notify, &AppState::notifyChanged);
}

void AppState::setStoredSwitch(bool& field, bool on, const QString& key,
                               void (AppState::*changed)()) {
    if (on != field) {
        field = on;
        emit std::invoke(changed, this);
    }
    if (!m_preferences)
        return;
    if (const auto error = m_preferences->setBool(key, field))
        setLastError(error->toStdString());
}

void AppState::setLaunchAtLoginField(bool on) {
    if (on == m_launchAtLogin)
        return;
    m_launchAtLogin = on;
    emit launchAtLoginChanged();
}

void AppState::setLaunchAtLogin(bool wanted) {
    if (!m_loginItem)
        return;
    const bool on = m_loginItem->isEnabled();
    std::optional<QString> error;
    if (wanted && !on)
        error = m_loginItem->enable();
    else if (!wanted && on)
        error = m_loginItem->disable();
    if (error)
        setLastError(text("err.loginItem", {error->toStdString()}));
    // Always the real state, so a failed change falls back by itself.
    setLaunchAtLoginField(m_loginItem->isEnabled());
}

std::optional<VolumeInfo> AppState::editingVolume() const {
    if (!m_editingVolumeID)
        return std::nullopt;
    for (const VolumeInfo& volume : m_volumes) {
        if (volume.id == *m_editingVolumeID)
            return volume;
    }
    return std::nullopt;
}

bool AppState::isRunning(const std::string& volumeID) const {
    return m_running.contains(volumeID);
}

VolumeInfo* AppState::findVolume(const std::string& volumeID) {
    for (VolumeInfo& volume : m_volumes) {
        if (volume.id == volumeID)
            return &volume;
    }
    return nullptr;
}

std::string AppState::text(std::string_view key, std::initializer_list<FormatArg> args) const {
    return m_localizer->text(key, args);
}

LogEntry AppState::makeEntry(std::string volume, Wording wording, LogEntry::Kind kind,
                             std::vector<BackupIssue> details) const {
    LogEntry entry;
    entry.id = Uuid::random();
    entry.date = now();
    entry.volume = shownName(volume);
    entry.message = wording(m_localizer->language());
    entry.wording = std::move(wording);
    entry.kind = kind;
    entry.details = std::move(details);
    return entry;
}

void AppState::sayAgain() {
    const AppLanguage language = m_localizer->language();
    for (LogEntry& entry : m_log)
        if (entry.wording)
            entry.message = entry.wording(language);
    for (VolumeInfo& volume : m_volumes)
        if (volume.status.wording)
            volume.status.message = volume.status.wording(language);
    emit logChanged();
    emit volumesChanged();
}

void AppState::appendLog(LogEntry entry) {
    m_log.insert(m_log.begin(), std::move(entry));
    if (m_log.size() > maxLogEntries)
        m_log.resize(maxLogEntries);
    emit logChanged();
}

void AppState::findCopy(VolumeInfo& volume) const {
    volume.copyFolder.clear();
    volume.lastBackup.reset();
    if (!volume.config)
        return;
    // Named as the backup names it (the drive's name as listed).
    const std::filesystem::path folder =
        expandDestination(volume.config->destinationPath, QDir::homePath().toStdString()) /
        driveFolderName(volume.name);
    volume.lastBackup = lastBackupTime(folder, volume.config->driveID);
    std::error_code error;
    if (std::filesystem::is_directory(folder, error))
        volume.copyFolder = folder;
}

void AppState::openCopy(const std::filesystem::path& folder) {
    std::error_code error;
    if (folder.empty() || !std::filesystem::is_directory(folder, error) ||
        !m_folderOpener->open(folder))
        setLastError(text("err.openCopy", {folder.string()}));
}

void AppState::post(const UserNotification& notification) {
    if (m_notifier)
        m_notifier->post(notification);
}

void AppState::start() {
    if (m_didStart)
        return;
    m_didStart = true;
    if (m_volumeMonitor) {
        // Queued: each event becomes its own task on the main thread, also when the backend
        // reports from another thread.
        connect(
            m_volumeMonitor.get(), &VolumeMonitor::volumeMounted, this,
            [this](const QString& mountPath) { handleMount(mountPath); }, Qt::QueuedConnection);
        connect(
            m_volumeMonitor.get(), &VolumeMonitor::volumeUnmounted, this,
            [this](const QString&) { refreshVolumes(); }, Qt::QueuedConnection);
        m_volumeMonitor->start();
    }
    refreshVolumes();
    runAutomaticBackups();
}

void AppState::refreshVolumes() {
    std::vector<MountedVolume> mounted;
    if (m_volumeMonitor)
        mounted = m_volumeMonitor->mountedVolumes();

    std::vector<VolumeInfo> next;
    next.reserve(mounted.size());
    for (const MountedVolume& source : mounted) {
        VolumeInfo volume;
        volume.id = volumeIdentity(source.mountPath);
        if (volume.id.empty() || std::any_of(next.begin(), next.end(), [&](const VolumeInfo& v) {
                return v.id == volume.id;
            }))
            continue;
        volume.url = std::filesystem::path(volume.id);
        volume.name = source.name.toStdString();
        if (volume.name.empty())
            volume.name = volume.url.filename().string();
        volume.device = source.device.toStdString();
        ConfigReading reading = readConfig(volume.url);
        volume.configFault = reading.fault;
        volume.config = std::move(reading);
        findCopy(volume);
        if (const VolumeInfo* previous = findVolume(volume.id)) {
            volume.status = previous->status;
            volume.progress = previous->progress;
            // Rules that appeared or went while the drive was listed (written by `keelbox
            // config`, say) change a status that only said whether it had any.
            using Kind = BackupStatus::Kind;
            if (volume.status.kind == Kind::idle || volume.status.kind == Kind::configured)
                volume.status = volume.config ? BackupStatus::configured() : BackupStatus::idle();
        } else {
            volume.status = volume.config ? BackupStatus::configured() : BackupStatus::idle();
        }
        volume.totalCapacity = source.totalCapacity;
        volume.availableCapacity = source.availableCapacity;
        next.push_back(std::move(volume));
    }

    QCollator collator;
    collator.setCaseSensitivity(Qt::CaseInsensitive);
    std::stable_sort(next.begin(), next.end(), [&](const VolumeInfo& a, const VolumeInfo& b) {
        return collator.compare(QString::fromStdString(a.name), QString::fromStdString(b.name)) < 0;
    });

    m_volumes = std::move(next);
    if (m_configWatcher) {
        std::vector<QString> roots;
        for (const VolumeInfo& volume : m_volumes)
            roots.push_back(QString::fromStdString(volume.id));
        m_configWatcher->watch(roots);
    }
    emit volumesChanged();
}

void AppState::reloadConfig(const std::string& volumeID) {
    VolumeInfo* volume = findVolume(volumeID);
    if (!volume)
        return;
    std::optional<DriveConfig> config = readConfig(volume->url);
    if (config == volume->config)
        return; // this application's own save, or a rewrite that changed nothing
    volume->config = std::move(config);
    // A running backup goes on with the rules it started with; the next one takes the new ones.
    if (volume->status.kind != BackupStatus::Kind::running && !volume->config)
        volume->status = BackupStatus::idle();
    else if (volume->status.kind == BackupStatus::Kind::idle && volume->config)
        volume->status = BackupStatus::configured();
    emit volumesChanged();
}

void AppState::handleMount(const QString& mountPath) {
    refreshVolumes();
    if (!m_autoBackup || !m_automaticHere)
        return;
    const VolumeInfo* volume = findVolume(volumeIdentity(mountPath));
    if (!volume || !volume->config || !volume->config->autoRunOnMount)
        return;
    // The previous run at this path may have been of this very drive, plugged out and in again
    // while it was ending, or of another one: either way this mount gets a run of its own.
    if (isRunning(volume->id)) {
        m_mountedWhileRunning.insert(volume->id);
        return;
    }
    startBackup(volume->id, true);
}

void AppState::setAutomaticBackupsHere(bool here) {
    if (here == m_automaticHere)
        return;
    m_automaticHere = here;
    if (here && m_didStart)
        runAutomaticBackups();
}

void AppState::runAutomaticBackups() {
    if (!m_autoBackup || !m_automaticHere)
        return;
    // Ids first: starting a backup changes the entries.
    std::vector<std::string> ids;
    for (const VolumeInfo& volume : m_volumes) {
        if (volume.config && volume.config->autoRunOnMount && !isRunning(volume.id))
            ids.push_back(volume.id);
    }
    for (const std::string& id : ids)
        startBackup(id, true);
}

void AppState::startBackup(const std::string& volumeID, bool automatic) {
    VolumeInfo* volume = findVolume(volumeID);
    if (!volume || !volume->config || isRunning(volumeID))
        return;

    m_running.insert(volumeID);
    volume->status = BackupStatus::running();
    volume->progress.reset();
    // Taken before the signals below: their observers may rebuild the list.
    QueuedRun run{volumeID,        volume->name,
                  volume->url,     m_probeDrive(volume->url),
                  *volume->config, m_localizer->language(),
                  automatic};
    run.config.driveName = run.name;

    emit runningChanged();
    emit volumesChanged();
    announceStart(volumeID, run.name, run.config.mode, run.language);

    auto control = std::make_shared<RunControl>();
    m_runs[volumeID] = control;
    ++m_backupsInFlight;
    m_backupPool.start(
        [this, runner = m_runBackup, probe = m_probeDrive, stop = m_stop, control,
         run = std::move(run)] { runQueued(run, runner, probe, stop.get(), *control); });
}

void AppState::stopBackup(const std::string& volumeID) {
    const auto found = m_runs.find(volumeID);
    if (found == m_runs.end())
        return;
    const std::shared_ptr<RunControl> control = found->second;
    int expected = RunControl::queued;
    if (!control->phase.compare_exchange_strong(expected, RunControl::leftQueue)) {
        control->stop.store(true);
        emit runningChanged(); // the row shows the stop under way
        return;
    }
    // Its task still comes up in the pool, finds the run gone and only reports back.
    m_runs.erase(found);
    m_running.erase(volumeID);
    m_mountedWhileRunning.erase(volumeID);
    VolumeInfo* volume = findVolume(volumeID);
    const std::string name = volume ? volume->name : volumeID;
    emit runningChanged();
    showNotRunning(volume);
    appendLog(makeEntry(name, words("ev.leftQueue"), LogEntry::Kind::info));
    // In place of its "Backup started", which would otherwise stay without an end.
    if (m_notify)
        post({QString::fromStdString(titleFor(name)),
              QString::fromStdString(formatLocalized("ev.leftQueue", m_localizer->language(), {})),
              QString(), QString(), QString::fromStdString(volumeID)});
}

bool AppState::isStopping(const std::string& volumeID) const {
    const auto found = m_runs.find(volumeID);
    return found != m_runs.end() && found->second->stop.load();
}

void AppState::announceStart(const std::string& volumeID, const std::string& name, BackupMode mode,
                             AppLanguage language) {
    const std::string modeText = formatLocalized(modeShortKey(mode), language, {});
    appendLog(makeEntry(
        name,
        [mode](AppLanguage lang) {
            return formatLocalized("ev.backupStarted", lang,
                                   {formatLocalized(modeShortKey(mode), lang, {})});
        },
        LogEntry::Kind::info));
    if (m_notify)
        post({QString::fromStdString(titleFor(name)),
              QString::fromStdString(formatLocalized("notify.started", language, {modeText})),
              QString(), QString(), QString::fromStdString(volumeID)});
}

void AppState::runQueued(const QueuedRun& run, const BackupRunner& runner, const DriveProbe& probe,
                         const std::atomic<bool>* stop, RunControl& control) {
    const std::string& volumeID = run.volumeID;
    const std::string& name = run.name;
    int expected = RunControl::queued;
    if (!control.phase.compare_exchange_strong(expected, RunControl::begun)) {
        QMetaObject::invokeMethod(
            this, [this] { backupReturned(); }, Qt::QueuedConnection);
        return;
    }
    if (stop->load()) {
        QMetaObject::invokeMethod(
            this, [this, volumeID, name] { abandonBackup(volumeID, name); }, Qt::QueuedConnection);
        return;
    }
    const DriveMatch match = driveAtTurn(probe, run.root, run.identity, run.config.driveID);
    if (match != DriveMatch::same) {
        QMetaObject::invokeMethod(
            this, [this, volumeID, name, match] { finishBackup(volumeID, name, {}, match); },
            Qt::QueuedConnection);
        return;
    }
    // This run covers a mount of the drive that arrived before it began; one that arrives later
    // (the main thread sees it after this) still gets a run of its own.
    QMetaObject::invokeMethod(
        this, [this, volumeID] { m_mountedWhileRunning.erase(volumeID); }, Qt::QueuedConnection);
    lowerBackupThreadPriority();
    RunEnvironment environment;
    environment.stopRequested = &control.stop;
    environment.automatic = run.automatic;
    environment.onSpaceShortage = [this, volumeID](const SpaceShortage& shortage) {
        QMetaObject::invokeMethod(
            this, [this, volumeID, shortage] { warnOfShortage(volumeID, shortage); },
            Qt::QueuedConnection);
    };
    const ProgressCallback onProgress = [this, volumeID](const BackupProgress& progress) {
        QMetaObject::invokeMethod(
            this, [this, volumeID, progress] { applyProgress(volumeID, progress); },
            Qt::QueuedConnection);
    };
    BackupResult result;
    try {
        result = runner(run.config, run.root, run.language, onProgress, environment);
    } catch (const std::exception& error) {
        // The engine reports problems as issues; should it throw anyway (memory), the drive must
        // still leave the running set.
        result.errors.push_back({std::string(), error.what(), std::string(), std::nullopt});
    }
    QMetaObject::invokeMethod(
        this, [this, volumeID, name, result] { finishBackup(volumeID, name, result); },
        Qt::QueuedConnection);
}

void AppState::applyProgress(const std::string& volumeID, const BackupProgress& progress) {
    if (!isRunning(volumeID))
        return;
    VolumeInfo* volume = findVolume(volumeID);
    if (!volume)
        return;
    volume->progress = progress;
    emit volumesChanged();
}

// Once per run, as soon as the engine knows: the copy will not fit.
void AppState::warnOfShortage(const std::string& volumeID, const SpaceShortage& shortage) {
    const auto found = m_runs.find(volumeID);
    if (found == m_runs.end() || found->second->spaceWarned)
        return;
    found->second->spaceWarned = true;
    const VolumeInfo* volume = findVolume(volumeID);
    if (!volume)
        return;
    const AppLanguage language = m_localizer->language();
    const Wording wording = [shortage](AppLanguage lang) {
        return formatLocalized(
            shortage.warningKey(), lang,
            {formatFileSize(shortage.needed, lang), formatFileSize(shortage.available, lang)});
    };
    const std::string message = wording(language);
    const std::string name = volume->name;
    appendLog(makeEntry(name, wording, LogEntry::Kind::failure));
    if (m_notify)
        post({QString::fromStdString(
                  formatLocalized("notify.errTitle", language, {isolatedName(name)})),
              QString::fromStdString(message), QStringLiteral("dialog-warning"),
              QString::fromStdString(formatLocalized("notify.showLog", language, {})),
              QString::fromStdString(volumeID)});
}

void AppState::showNotRunning(VolumeInfo* volume) {
    if (!volume || volume->status.kind != BackupStatus::Kind::running)
        return;
    volume->status = volume->config ? BackupStatus::configured() : BackupStatus::idle();
    volume->progress.reset();
    emit volumesChanged();
}

void AppState::logOrReport(VolumeInfo* volume, LogEntry entry) {
    if (volume)
        appendLog(std::move(entry));
    else
        emit outcomeNotLogged(entry);
}

void AppState::finishBackup(const std::string& volumeID, const std::string& volumeName,
                            const BackupResult& result, DriveMatch match) {
    m_running.erase(volumeID);
    m_runs.erase(volumeID);
    emit runningChanged();
    if (match == DriveMatch::same)
        reportResult(volumeID, volumeName, result);
    else
        reportNotRun(volumeID, volumeName, match);
    startAgainIfRemounted(volumeID);
    backupReturned();
}

void AppState::reportNotRun(const std::string& volumeID, const std::string& volumeName,
                            DriveMatch match) {
    const AppLanguage language = m_localizer->language();
    // Nothing ran. A drive listed at this path now is another one (or this one, back on a new
    // mount) and keeps the status of a drive that is not being backed up.
    VolumeInfo* volume = findVolume(volumeID);
    const Wording wording = [match, shownID = inertText(volumeID)](AppLanguage lang) {
        return formatLocalized(match == DriveMatch::other ? "run.otherDrive" : "run.driveGone",
                               lang, {shownID});
    };
    const std::string message = wording(language);
    showNotRunning(volume);
    logOrReport(volume, makeEntry(volumeName, wording, LogEntry::Kind::failure));
    if (m_notify)
        post({QString::fromStdString(
                  formatLocalized("notify.errTitle", language, {isolatedName(volumeName)})),
              QString::fromStdString(message), QStringLiteral("dialog-warning"),
              volume ? QString::fromStdString(formatLocalized("notify.showLog", language, {}))
                     : QString{},
              QString::fromStdString(volumeID)});
}

void AppState::reportResult(const std::string& volumeID, const std::string& volumeName,
                            const BackupResult& result) {
    using Ending = BackupResult::Ending;
    const AppLanguage language = m_localizer->language();
    const std::string summary = result.summary(language);
    const auto issueCount = static_cast<std::int64_t>(result.errors.size());
    // A stopped run's own issue says only that it was stopped; the entry says it better.
    const bool stopped = result.ending == Ending::stopped;
    const bool failed = result.ending == Ending::driveGone || (!stopped && issueCount > 0);
    // The words for the row and for the log, in any language: from the run's figures, except
    // for a pulled drive, whose one issue from the engine says it with how far the run got.
    BackupResult figures = result;
    figures.errors.clear();
    const Wording statusWording = [figures, issueCount,
                                   gone = result.ending == Ending::driveGone && issueCount > 0
                                              ? result.errors.front().reason
                                              : std::string()](AppLanguage lang) -> std::string {
        const Int backedUp = figures.filesCopied + figures.filesSkipped + figures.filesLinked;
        switch (figures.ending) {
        case Ending::driveGone:
            return gone;
        case Ending::stopped:
            return formatLocalized("status.stopped", lang,
                                   {backedUp, std::max(figures.filesTotal, backedUp)});
        case Ending::finished:
            break;
        }
        return issueCount > 0 ? formatLocalized("summary.errors", lang, {issueCount})
                              : figures.summary(lang);
    };
    const Wording messageWording = [figures, issueCount,
                                    statusWording](AppLanguage lang) -> std::string {
        const std::string counts = figures.summary(lang);
        switch (figures.ending) {
        case Ending::driveGone:
            return statusWording(lang);
        case Ending::stopped:
            return formatLocalized("ev.stopped", lang, {statusWording(lang), counts});
        case Ending::finished:
            break;
        }
        return issueCount > 0 ? formatLocalized("ev.finishedErrors", lang, {counts, issueCount})
                              : formatLocalized("ev.done", lang, {counts});
    };
    const std::string message = messageWording(language);
    VolumeInfo* volume = findVolume(volumeID);
    if (volume) {
        volume->progress.reset();
        findCopy(*volume);
        const std::string statusText = statusWording(language);
        volume->status = failed ? BackupStatus::failed(statusText, statusWording)
                                : BackupStatus::done(statusText, statusWording);
        emit volumesChanged();
    }
    const LogEntry::Kind kind = failed    ? LogEntry::Kind::failure
                                : stopped ? LogEntry::Kind::info
                                          : LogEntry::Kind::success;
    LogEntry entry = makeEntry(volumeName, messageWording, kind,
                               issueCount > 0 ? result.errors : std::vector<BackupIssue>{});
    if (volume)
        entry.copyFolder = volume->copyFolder;
    // A pulled drive is no longer listed, but its run's outcome is what the user looks for in
    // the log; other unlisted drives' outcomes go to whoever prints them (a headless user).
    if (result.ending == Ending::driveGone)
        appendLog(std::move(entry));
    else
        logOrReport(volume, std::move(entry));
    if (!m_notify)
        return;
    UserNotification notification;
    if (failed) {
        notification.title = QString::fromStdString(
            formatLocalized("notify.errTitle", language, {isolatedName(volumeName)}));
        notification.body = QString::fromStdString(
            result.ending == Ending::driveGone
                ? message
                : formatLocalized("notify.errBody", language, {summary, issueCount}) + "\n" +
                      inertText(result.errors.front().summaryLine()));
    } else {
        notification.title = QString::fromStdString(titleFor(volumeName));
        notification.body = QString::fromStdString(
            stopped ? message : formatLocalized("notify.doneBody", language, {summary}));
    }
    // One sound for every finished backup, whatever its outcome: the text tells the outcome.
    notification.soundName = QStringLiteral("complete");
    notification.showLogLabel =
        QString::fromStdString(formatLocalized("notify.showLog", language, {}));
    notification.tag = QString::fromStdString(volumeID);
    post(notification);
}

void AppState::startAgainIfRemounted(const std::string& volumeID) {
    if (!m_mountedWhileRunning.erase(volumeID) || m_stop->load())
        return;
    if (!m_autoBackup || !m_automaticHere)
        return;
    const VolumeInfo* volume = findVolume(volumeID);
    if (volume && volume->config && volume->config->autoRunOnMount)
        startBackup(volumeID, true);
}

void AppState::abandonBackup(const std::string& volumeID, const std::string& volumeName) {
    m_running.erase(volumeID);
    m_runs.erase(volumeID);
    emit outcomeNotLogged(makeEntry(volumeName, words("run.dropped"), LogEntry::Kind::info));
    emit runningChanged();
    showNotRunning(findVolume(volumeID));
    backupReturned();
}

void AppState::backupReturned() {
    if (--m_backupsInFlight == 0)
        emit backupsSettled();
}

void AppState::stopBackups() {
    m_stop->store(true);
    for (const auto& [id, control] : m_runs)
        control->stop.store(true);
}

DriveConfig AppState::draftConfig(const VolumeInfo& volume) const {
    if (volume.config)
        return *volume.config;
    DriveConfig draft = DriveConfig::makeNew(volume.name, now());
    // A broken file may still name the drive: its copies stay this drive's.
    if (volume.configFault.kind != ConfigFault::Kind::missing)
        if (std::optional<std::string> kept = salvageDriveID(volume.url))
            draft.driveID = std::move(*kept);
    return draft;
}

void AppState::saveDriveConfig(DriveConfig config, const std::string& volumeID) {
    VolumeInfo* volume = findVolume(volumeID);
    if (!volume)
        return;
    config.driveName = volume->name;
    config.updatedAt = now();
    const std::string name = volume->name;
    const auto failed = [&](const std::string& why) {
        setLastError(why);
        appendLog(makeEntry(
            name,
            [shown = inertText(why)](AppLanguage lang) {
                return formatLocalized("ev.configSaveErr", lang, {shown});
            },
            LogEntry::Kind::failure));
    };
    if (!volume->config) {
        // A file the system would not hand over may hold the drive's identity: it is not replaced.
        // One that could be read but is no configuration is kept beside the new one.
        ConfigFault fault;
        salvageDriveID(volume->url, &fault);
        if (faultHidesContent(fault))
            return failed(configFaultText(fault, m_localizer->language()));
        std::error_code error;
        if (const auto aside = setConfigAside(volume->url, config.updatedAt, error))
            appendLog(makeEntry(
                name,
                [file = aside->filename().string()](AppLanguage lang) {
                    return formatLocalized("ev.configKeptAside", lang, {file});
                },
                LogEntry::Kind::info));
        else if (error)
            return failed(error.message());
    }
    if (auto error = writeConfig(config, volume->url))
        return failed(error->message);
    volume->config = std::move(config);
    if (volume->status.kind != BackupStatus::Kind::running)
        volume->status = BackupStatus::configured();
    volume->configFault = {};
    emit volumesChanged();
    appendLog(makeEntry(name, words("ev.configSaved"), LogEntry::Kind::success));
}

void AppState::removeDriveConfig(const std::string& volumeID) {
    VolumeInfo* volume = findVolume(volumeID);
    if (!volume)
        return;
    if (auto error = removeConfig(volume->url)) {
        setLastError(error->message);
        return;
    }
    volume->config.reset();
    volume->status = BackupStatus::idle();
    const std::string name = volume->name;
    emit volumesChanged();
    appendLog(makeEntry(name, words("ev.configRemoved"), LogEntry::Kind::info));
}

void AppState::eject(const std::string& volumeID) {
    const VolumeInfo* volume = findVolume(volumeID);
    if (!volume)
        return;
    if (isRunning(volumeID)) {
        setLastError(text("err.busyEject"));
        return;
    }
    if (!m_volumeEjector)
        return;
    const QString mountPath = QString::fromStdString(volume->url.string());
    const std::string name = volume->name;
    const AppLanguage language = m_localizer->language();
    // Its own threads: an ejection never waits behind a backup.
    m_ejectPool.start([this, ejector = m_volumeEjector, mountPath, name, language] {
        const EjectOutcome outcome = ejector->eject(mountPath);
        QMetaObject::invokeMethod(
            this, [this, name, language, outcome] { ejectCompleted(name, language, outcome); },
            Qt::QueuedConnection);
    });
}

void AppState::ejectCompleted(const std::string& volumeName, AppLanguage language,
                              const EjectOutcome& outcome) {
    if (!outcome.ok) {
        const std::string reason = inertText(outcome.errorMessage.toStdString());
        setLastError(formatLocalized("err.ejectNamed", language, {shownName(volumeName), reason}));
        appendLog(makeEntry(
            volumeName,
            [reason](AppLanguage lang) { return formatLocalized("ev.ejectErr", lang, {reason}); },
            LogEntry::Kind::failure));
    } else {
        appendLog(makeEntry(volumeName, words("ev.ejected"), LogEntry::Kind::success));
        refreshVolumes();
        if (m_notify)
            post({QString::fromStdString(titleFor(volumeName)),
                  QString::fromStdString(formatLocalized("notify.ejected", language, {})),
                  QString(), QString(), QString(), 5000});
    }
    emit ejectFinished(QString::fromStdString(volumeName), outcome.ok);
}

} // namespace keelbox::app
