#pragma once
// The one central, observable state of the application: connected drives, the in-memory log, the
// user switches and the backups in flight. Lives on the main thread; every view observes it and
// every change goes through one of its operations.

#include "app/FolderOpener.h"
#include "app/Localizer.h"
#include "app/LoginItem.h"
#include "app/Notifier.h"
#include "app/Preferences.h"
#include "app/platform/ConfigWatcher.h"
#include "app/platform/DriveIdentity.h"
#include "app/platform/Volumes.h"
#include "core/Records.h"
#include "engine/BackupEngine.h"

#include <QObject>
#include <QThreadPool>

#include <atomic>
#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <set>
#include <string>
#include <vector>

namespace keelbox::app {

// One backup run. Called on the backup thread; must not touch the application state.
using BackupRunner = std::function<BackupResult(
    const DriveConfig& config, const std::filesystem::path& volumeRoot, AppLanguage language,
    const ProgressCallback& onProgress, const RunEnvironment& environment)>;

// The real engine.
BackupRunner engineRunner();

// What identifies the drive mounted at a path (probeDrive on the real system).
using DriveProbe = std::function<MountedFileSystem(const std::filesystem::path& root)>;

// What the state works with; the shared instance gets the real ones, tests their fakes.
struct AppServices {
    std::shared_ptr<Preferences> preferences;
    Localizer* localizer = nullptr; // not owned; outlives the state
    std::unique_ptr<VolumeMonitor> volumeMonitor;
    // Shared with the ejection thread.
    std::shared_ptr<VolumeEjector> volumeEjector;
    std::unique_ptr<Notifier> notifier;
    std::unique_ptr<LoginItem> loginItem;
    BackupRunner runBackup;
    // Called on the main thread when a backup is started and on the backup thread when its turn
    // comes; empty means the real probe.
    DriveProbe probeDrive = {};
    // Optional: without one a drive's changed configuration is seen on the next refresh.
    std::unique_ptr<ConfigWatcher> configWatcher = {};
    // Opens a drive's copy; empty means xdg-open.
    std::unique_ptr<FolderOpener> folderOpener = {};
};

inline constexpr std::size_t maxLogEntries = 100;

class AppState : public QObject {
    Q_OBJECT
    Q_PROPERTY(bool autoBackup READ autoBackup WRITE setAutoBackup NOTIFY autoBackupChanged)
    Q_PROPERTY(bool notify READ notify WRITE setNotify NOTIFY notifyChanged)
    Q_PROPERTY(
        bool launchAtLogin READ launchAtLogin WRITE setLaunchAtLogin NOTIFY launchAtLoginChanged)

public:
    explicit AppState(AppServices services, QObject* parent = nullptr);
    // Asks a running backup to stop after its current file, drops queued ones and waits.
    ~AppState() override;

    // The process-wide state on the real services, created on first use (main thread).
    static AppState& shared();

    // Observable fields.
    const std::vector<VolumeInfo>& volumes() const { return m_volumes; }
    const std::vector<LogEntry>& log() const { return m_log; }
    const std::optional<std::string>& lastError() const { return m_lastError; }
    const std::optional<std::string>& editingVolumeID() const { return m_editingVolumeID; }
    bool autoBackup() const { return m_autoBackup; }
    bool notify() const { return m_notify; }
    bool launchAtLogin() const { return m_launchAtLogin; }

    void setEditingVolumeID(std::optional<std::string> id);
    // The configuration window reports its own errors here too.
    void setLastError(std::string message);
    // Stored at once under "autoBackup" / "notify".
    void setAutoBackup(bool on);
    void setNotify(bool on);
    // Registers or unregisters the autostart entry, then shows the real state.
    void setLaunchAtLogin(bool wanted);

    // The listed drive being configured, if it is still connected.
    std::optional<VolumeInfo> editingVolume() const;
    bool isRunning(const std::string& volumeID) const;
    // Drives whose backup has started and not finished (queued ones included).
    const std::set<std::string>& running() const { return m_running; }
    Localizer& localizer() const { return *m_localizer; }

    // Once per process: watches mounts, scans, runs the automatic backups of connected drives.
    void start();
    void refreshVolumes();
    // Reads the listed drive's configuration file again (it changed on the drive).
    void reloadConfig(const std::string& volumeID);
    void handleMount(const QString& mountPath);
    void runAutomaticBackups();
    // Whether this process runs automatic backups at all: only one process of a user session
    // does (see AutoBackupLock). Turning it on runs the pass over the connected drives.
    void setAutomaticBackupsHere(bool here);

    // `automatic`: started by itself (on connect, at start), which never mass-deletes.
    void startBackup(const std::string& volumeID, bool automatic = false);
    // The user's stop: a running backup ends after the files in hand and is logged as stopped
    // with what it copied; a queued one just leaves the queue.
    void stopBackup(const std::string& volumeID);
    // A stop was asked for the drive's run and it has not reported back yet.
    bool isStopping(const std::string& volumeID) const;
    // Results of the backup thread, delivered on the main thread.
    void applyProgress(const std::string& volumeID, const BackupProgress& progress);
    // `match` says whether the drive found when the run's turn came was the one it was started
    // for; when it was not, the engine did not run.
    void finishBackup(const std::string& volumeID, const std::string& volumeName,
                      const BackupResult& result, DriveMatch match = DriveMatch::same);

    DriveConfig draftConfig(const VolumeInfo& volume) const;
    void saveDriveConfig(DriveConfig config, const std::string& volumeID);
    void removeDriveConfig(const std::string& volumeID);

    void eject(const std::string& volumeID);
    // Shows a drive's backup folder (from its row or a log entry) in the file manager.
    void openCopy(const std::filesystem::path& folder);

    void appendLog(LogEntry entry);
    // Finished-backup notifications offer a "show the log" button calling `showLog` (where the
    // notification server shows buttons). Without a handler they offer none.
    void setShowLogHandler(std::function<void()> showLog);

    // For a clean shutdown: the running backup stops after its current file and reports what it
    // did; backups still waiting are dropped without a log entry. Cannot be undone.
    void stopBackups();
    bool stopRequested() const { return m_stop->load(); }
    // Backups submitted and not yet reported back.
    int backupsInFlight() const { return m_backupsInFlight; }

signals:
    void volumesChanged();
    void logChanged();
    void lastErrorChanged();
    void editingVolumeIDChanged();
    void autoBackupChanged();
    void notifyChanged();
    void launchAtLoginChanged();
    // A drive entered or left the set of running backups.
    void runningChanged();
    // The last backup in flight has reported back.
    void backupsSettled();
    // An ejection request has completed (after its log entry).
    void ejectFinished(const QString& volumeName, bool ok);
    // The outcome of a backup that gets no log entry: its drive is no longer listed, or it was
    // dropped from the queue at stop. The command-line face prints it; the log stays as it is.
    void outcomeNotLogged(const keelbox::LogEntry& entry);

private:
    VolumeInfo* findVolume(const std::string& volumeID);
    std::string text(std::string_view key, std::initializer_list<FormatArg> args = {}) const;
    // The entry says its message in the language of the moment, and again after a switch.
    LogEntry makeEntry(std::string volume, Wording wording, LogEntry::Kind kind,
                       std::vector<BackupIssue> details = {}) const;
    // The log's messages and the drives' outcomes in the language just chosen.
    void sayAgain();
    // Sets a switch, announces a change, and stores it (a failed store becomes the last error).
    void setStoredSwitch(bool& field, bool on, const QString& key, void (AppState::*changed)());
    void setLaunchAtLoginField(bool on);
    // One run's own stop, and whether it has begun: a queued run that is stopped never begins.
    struct RunControl {
        enum Phase : int { queued, begun, leftQueue };
        std::atomic<bool> stop{false};
        std::atomic<int> phase{queued};
        bool spaceWarned = false; // main thread only
    };
    // What a run needs on the backup thread, taken on the main thread when it is started.
    struct QueuedRun {
        std::string volumeID;
        std::string name;
        std::filesystem::path root;
        MountedFileSystem identity; // checked again when the run's turn comes
        DriveConfig config;
        AppLanguage language;
        bool automatic;
    };
    void announceStart(const std::string& volumeID, const std::string& name, BackupMode mode,
                       AppLanguage language);
    // On the backup thread: touches no state, reports back through queued calls.
    void runQueued(const QueuedRun& run, const BackupRunner& runner, const DriveProbe& probe,
                   const std::atomic<bool>* stop, RunControl& control);
    void warnOfShortage(const std::string& volumeID, const SpaceShortage& shortage);
    void reportResult(const std::string& volumeID, const std::string& volumeName,
                      const BackupResult& result);
    void reportNotRun(const std::string& volumeID, const std::string& volumeName, DriveMatch match);
    // A listed drive shown as running goes back to how it looks at rest.
    void showNotRunning(VolumeInfo* volume);
    // Into the log while the drive is listed, otherwise to whoever prints unlogged outcomes.
    void logOrReport(VolumeInfo* volume, LogEntry entry);
    void abandonBackup(const std::string& volumeID, const std::string& volumeName);
    void startAgainIfRemounted(const std::string& volumeID);
    void backupReturned();
    void ejectCompleted(const std::string& volumeName, AppLanguage language,
                        const EjectOutcome& outcome);
    void post(const UserNotification& notification);
    // Where a configured drive's copy is on this computer and when it was last made.
    void findCopy(VolumeInfo& volume) const;

    std::shared_ptr<Preferences> m_preferences;
    Localizer* m_localizer;
    std::unique_ptr<VolumeMonitor> m_volumeMonitor;
    std::unique_ptr<ConfigWatcher> m_configWatcher;
    std::shared_ptr<VolumeEjector> m_volumeEjector;
    std::unique_ptr<Notifier> m_notifier;
    std::unique_ptr<LoginItem> m_loginItem;
    BackupRunner m_runBackup;
    DriveProbe m_probeDrive;
    std::unique_ptr<FolderOpener> m_folderOpener;

    std::vector<VolumeInfo> m_volumes;
    std::vector<LogEntry> m_log;
    std::optional<std::string> m_lastError;
    std::optional<std::string> m_editingVolumeID;
    bool m_autoBackup = true;
    bool m_notify = true;
    bool m_launchAtLogin = false;
    bool m_automaticHere = true;
    std::set<std::string> m_running;
    std::map<std::string, std::shared_ptr<RunControl>> m_runs;
    // Drives mounted again (or anew at the same path) while their previous backup was still in
    // flight: backed up once it has finished.
    std::set<std::string> m_mountedWhileRunning;
    bool m_didStart = false;
    int m_backupsInFlight = 0;

    // Read by the engine on the backup thread; an atomic, not a lock.
    std::shared_ptr<std::atomic<bool>> m_stop = std::make_shared<std::atomic<bool>>(false);
    // Declared last: destroyed (and waited for) first, while everything above still exists.
    QThreadPool m_ejectPool;
    QThreadPool m_backupPool;
};

// The drive's mount path as its identity: no trailing slash (except for "/" itself).
std::string volumeIdentity(const QString& mountPath);

} // namespace keelbox::app
