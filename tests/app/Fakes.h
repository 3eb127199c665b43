#pragma once
// Stand-ins for the platform services and the engine, driven by the tests.

#include "app/AppState.h"
#include "core/ConfigFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QSignalSpy>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <set>

#include <sys/resource.h>
#include <unistd.h>

namespace keelbox::app::testing {

using namespace Qt::StringLiterals;

class FakeVolumeMonitor : public VolumeMonitor {
public:
    bool start() override { return true; }
    std::vector<MountedVolume> mountedVolumes() const override { return volumes; }
    void plug(const MountedVolume& volume) {
        volumes.push_back(volume);
        emit volumeMounted(volume.mountPath);
    }
    void unplug(const QString& mountPath) {
        std::erase_if(volumes, [&](const MountedVolume& v) { return v.mountPath == mountPath; });
        emit volumeUnmounted(mountPath);
    }

    std::vector<MountedVolume> volumes;
};

class FakeConfigWatcher : public ConfigWatcher {
public:
    void watch(const std::vector<QString>&) override {}
};

// Records calls from other threads; while `hold` is set each call waits until the test lets it go.
template <typename Call> class CallRecorder {
public:
    std::size_t callCount() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
    bool waitForCalls(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return calls.size() >= n; });
    }
    Call call(std::size_t i) {
        std::lock_guard lock(mutex);
        return calls.at(i);
    }
    void release() {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    bool hold = false;
};

class FakeEjector : public VolumeEjector, public CallRecorder<QString> {
public:
    EjectOutcome eject(const QString& mountPath) override {
        std::unique_lock lock(mutex);
        calls.push_back(mountPath);
        changed.notify_all();
        changed.wait(lock, [&] { return !hold; });
        if (outcome.ok && onSuccess)
            onSuccess(mountPath);
        return outcome;
    }

    EjectOutcome outcome{true, {}};
    // Runs on the ejection thread (under the lock) after a successful ejection.
    std::function<void(const QString&)> onSuccess;
};

class FakeNotifier : public Notifier {
public:
    void post(const UserNotification& notification) override { posted.push_back(notification); }
    std::vector<UserNotification> posted;
};

struct FakeFolderOpener : FolderOpener {
    bool open(const std::filesystem::path& folder) override {
        return opened.emplace_back(folder), true;
    }
    std::vector<std::filesystem::path> opened;
};

class FakeLoginItem : public LoginItem {
public:
    bool isEnabled() const override { return enabled; }
    std::optional<QString> enable() override { return change(true); }
    std::optional<QString> disable() override { return change(false); }
    bool enabled = false;
    std::optional<QString> failure;

private:
    std::optional<QString> change(bool on) {
        if (!failure)
            enabled = on;
        return failure;
    }
};

struct EngineCall {
    DriveConfig config;
    std::filesystem::path root;
    AppLanguage language;
    bool automatic;
    int niceness; // of the thread the run was called on
    bool onMainThread;
};

// Records and holds runs like the above, honours the stop request, sends `progress` and returns
// what `makeResult` builds.
class FakeEngine : public CallRecorder<EngineCall> {
public:
    BackupRunner runner() {
        return [this](const DriveConfig& config, const std::filesystem::path& root,
                      AppLanguage language, const ProgressCallback& onProgress,
                      const RunEnvironment& environment) {
            {
                std::unique_lock lock(mutex);
                const std::size_t index = calls.size();
                const int niceness = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
                calls.push_back({config, root, language, environment.automatic, niceness,
                                 QThread::currentThread() == qApp->thread()});
                changed.notify_all();
                while (hold && released <= index) {
                    if (environment.stopRequested && environment.stopRequested->load()) {
                        ++stoppedRuns;
                        break;
                    }
                    changed.wait_for(lock, std::chrono::milliseconds(5));
                }
            }
            for (const BackupProgress& snapshot : progress)
                if (onProgress)
                    onProgress(snapshot);
            return makeResult ? makeResult(config, language) : BackupResult{};
        };
    }
    void releaseOne() {
        std::lock_guard lock(mutex);
        ++released;
        changed.notify_all();
    }

    std::size_t released = 0;
    int stoppedRuns = 0;
    std::vector<BackupProgress> progress;
    std::function<BackupResult(const DriveConfig&, AppLanguage)> makeResult;
};

// A folder is the drive listed there while it exists and is not in `unmounted`.
struct FakeDriveProbe {
    DriveProbe probe() {
        return [this](const std::filesystem::path& root) {
            std::lock_guard lock(mutex);
            return MountedFileSystem{
                std::filesystem::exists(root) && !unmounted.contains(root), 1, {}, {}};
        };
    }
    std::mutex mutex;
    std::set<std::filesystem::path> unmounted;
};

inline DriveConfig testConfig(std::string name, bool autoRun = true,
                              BackupMode mode = BackupMode::sync) {
    DriveConfig config = DriveConfig::makeNew(std::move(name), now());
    config.autoRunOnMount = autoRun;
    config.mode = mode;
    config.destinationPath = "/nonexistent/backups";
    return config;
}

// Waits for the backups in flight to report back.
inline bool settles(AppState& state) {
    QSignalSpy settled(&state, &AppState::backupsSettled);
    return settled.wait(5000);
}

// A state on fakes, with drives as real folders in a temporary folder; `make` hands the fakes over.
class Harness {
public:
    explicit Harness(std::vector<std::string> preferredLanguages = {"en-GB"}) {
        preferences = std::make_shared<Preferences>(dir.filePath(u"prefs.ini"_s));
        localizer = std::make_unique<Localizer>(preferences, preferredLanguages);
    }
    ~Harness() {
        engine.release();
        ejector->release();
        state.reset();
    }

    // A drive folder named `name` (optionally configured), listed by the fake monitor.
    MountedVolume addDrive(const QString& name, std::optional<DriveConfig> config = std::nullopt,
                           bool plugNow = false) {
        const QString path = dir.filePath(u"media/%1-%2"_s.arg(name).arg(++counter));
        QDir().mkpath(path);
        if (config)
            writeConfig(*config, path.toStdString());
        MountedVolume volume;
        volume.mountPath = path;
        volume.name = name;
        volume.totalCapacity = 32'000'000'000;
        volume.availableCapacity = 12'400'000'000;
        if (plugNow)
            monitor->plug(volume);
        else
            monitor->volumes.push_back(volume);
        return volume;
    }

    AppState& make() {
        state = std::make_unique<AppState>(
            AppServices{preferences, localizer.get(), std::move(ownedMonitor), ejector,
                        std::move(ownedNotifier), std::move(ownedLogin), engine.runner(),
                        drives.probe(), std::move(ownedWatcher), std::move(ownedOpener)});
        return *state;
    }
    AppState& started() {
        make().start();
        return *state;
    }

    std::string idOf(const MountedVolume& volume) const { return volumeIdentity(volume.mountPath); }

    QTemporaryDir dir;
    std::shared_ptr<Preferences> preferences;
    std::unique_ptr<Localizer> localizer;
    std::unique_ptr<FakeVolumeMonitor> ownedMonitor = std::make_unique<FakeVolumeMonitor>();
    std::unique_ptr<FakeNotifier> ownedNotifier = std::make_unique<FakeNotifier>();
    std::unique_ptr<FakeLoginItem> ownedLogin = std::make_unique<FakeLoginItem>();
    FakeVolumeMonitor* monitor = ownedMonitor.get();
    FakeNotifier* notifier = ownedNotifier.get();
    // A test may put the inotify backend here instead.
    std::unique_ptr<ConfigWatcher> ownedWatcher = std::make_unique<FakeConfigWatcher>();
    FakeLoginItem* login = ownedLogin.get();
    std::unique_ptr<FakeFolderOpener> ownedOpener = std::make_unique<FakeFolderOpener>();
    FakeFolderOpener* opener = ownedOpener.get();
    std::shared_ptr<FakeEjector> ejector = std::make_shared<FakeEjector>();
    FakeEngine engine;
    FakeDriveProbe drives;
    std::unique_ptr<AppState> state;
    int counter = 0;
};

} // namespace keelbox::app::testing
