#pragma once
// Stand-ins for the platform services and the engine, driven by the tests.

#include "app/AppState.h"
#include "core/ConfigFile.h"

#include <QCoreApplication>
#include <QDir>
#include <QTemporaryDir>
#include <QThread>

#include <chrono>
#include <condition_variable>
#include <mutex>
#include <thread>

#include <sys/resource.h>
#include <unistd.h>

namespace keelbox::app::testing {

class FakeVolumeMonitor : public VolumeMonitor {
public:
    bool start() override {
        ++starts;
        return true;
    }
    std::vector<MountedVolume> mountedVolumes() const override {
        ++scans;
        return volumes;
    }
    void plug(const MountedVolume& volume) {
        volumes.push_back(volume);
        emit volumeMounted(volume.mountPath);
    }
    void unplug(const QString& mountPath) {
        std::erase_if(volumes, [&](const MountedVolume& v) { return v.mountPath == mountPath; });
        emit volumeUnmounted(mountPath);
    }

    std::vector<MountedVolume> volumes;
    int starts = 0;
    mutable int scans = 0;
};

// Blocks each ejection until released when `hold` is set; thread-safe.
class FakeEjector : public VolumeEjector {
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
    void release() {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }
    std::size_t callCount() {
        std::lock_guard lock(mutex);
        return calls.size();
    }
    bool waitForCalls(std::size_t n) {
        std::unique_lock lock(mutex);
        return changed.wait_for(lock, std::chrono::seconds(5), [&] { return calls.size() >= n; });
    }

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<QString> calls;
    bool hold = false;
    EjectOutcome outcome{true, {}};
    // Runs on the ejection thread (under the lock) after a successful ejection.
    std::function<void(const QString&)> onSuccess;
};

class FakeNotifier : public Notifier {
public:
    void post(const UserNotification& notification) override { posted.push_back(notification); }
    std::vector<UserNotification> posted;
};

class FakeLoginItem : public LoginItem {
public:
    bool isEnabled() const override { return enabled; }
    std::optional<QString> enable() override {
        ++enableCalls;
        if (failure)
            return failure;
        enabled = !pendingApproval;
        return std::nullopt;
    }
    std::optional<QString> disable() override {
        ++disableCalls;
        if (failure)
            return failure;
        enabled = false;
        return std::nullopt;
    }
    bool enabled = false;
    bool pendingApproval = false;
    std::optional<QString> failure;
    int enableCalls = 0;
    int disableCalls = 0;
};

// The engine's stand-in: records every run, can hold runs until the test lets them go, sends the
// given progress snapshots and returns what `makeResult` builds. Honours the stop request.
class FakeEngine {
public:
    struct Call {
        DriveConfig config;
        std::filesystem::path root;
        AppLanguage language;
        bool stopFlagGiven;
        int niceness; // of the thread the run was called on
        bool onMainThread;
    };

    BackupRunner runner() {
        return [this](const DriveConfig& config, const std::filesystem::path& root,
                      AppLanguage language, const ProgressCallback& onProgress,
                      const RunEnvironment& environment) {
            std::size_t index = 0;
            {
                std::unique_lock lock(mutex);
                index = calls.size();
                errno = 0;
                const int niceness = ::getpriority(PRIO_PROCESS, static_cast<id_t>(::gettid()));
                calls.push_back({config, root, language, environment.stopRequested != nullptr,
                                 niceness, QThread::currentThread() == qApp->thread()});
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
    void releaseAll() {
        std::lock_guard lock(mutex);
        hold = false;
        changed.notify_all();
    }
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

    std::mutex mutex;
    std::condition_variable changed;
    std::vector<Call> calls;
    bool hold = false;
    std::size_t released = 0;
    int stoppedRuns = 0;
    std::vector<BackupProgress> progress;
    std::function<BackupResult(const DriveConfig&, AppLanguage)> makeResult;
};

inline DriveConfig testConfig(std::string name, bool autoRun = true,
                              BackupMode mode = BackupMode::sync) {
    DriveConfig config = DriveConfig::makeNew(std::move(name), now());
    config.autoRunOnMount = autoRun;
    config.mode = mode;
    config.destinationPath = "/nonexistent/backups";
    return config;
}

// A state on fakes, with drives as real folders in a temporary folder.
class Harness {
public:
    explicit Harness(std::vector<std::string> preferredLanguages = {"en-GB"}) {
        preferences = std::make_shared<Preferences>(dir.filePath(QStringLiteral("prefs.ini")));
        localizer = std::make_unique<Localizer>(preferences, preferredLanguages);
    }
    ~Harness() {
        engine.releaseAll();
        ejector->release();
        state.reset();
    }

    // A drive folder named `name` (optionally configured), listed by the fake monitor.
    MountedVolume addDrive(const QString& name, std::optional<DriveConfig> config = std::nullopt,
                           bool plugNow = false) {
        const QString path = dir.filePath(QStringLiteral("media/%1-%2").arg(name).arg(++counter));
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
        AppServices services;
        services.preferences = preferences;
        services.localizer = localizer.get();
        auto ownedMonitor = std::make_unique<FakeVolumeMonitor>();
        if (monitor) // drives added before make()
            ownedMonitor->volumes = monitor->volumes;
        monitor = ownedMonitor.get();
        services.volumeMonitor = std::move(ownedMonitor);
        services.volumeEjector = ejector;
        auto ownedNotifier = std::make_unique<FakeNotifier>();
        notifier = ownedNotifier.get();
        services.notifier = std::move(ownedNotifier);
        auto ownedLogin = std::make_unique<FakeLoginItem>();
        ownedLogin->enabled = loginInitiallyEnabled;
        login = ownedLogin.get();
        services.loginItem = std::move(ownedLogin);
        services.runBackup = realRunner ? realRunner : engine.runner();
        state = std::make_unique<AppState>(std::move(services));
        return *state;
    }

    std::string idOf(const MountedVolume& volume) const { return volumeIdentity(volume.mountPath); }

    QTemporaryDir dir;
    std::shared_ptr<Preferences> preferences;
    std::unique_ptr<Localizer> localizer;
    FakeVolumeMonitor pending; // holds drives added before make()
    FakeVolumeMonitor* monitor = &pending;
    std::shared_ptr<FakeEjector> ejector = std::make_shared<FakeEjector>();
    FakeNotifier* notifier = nullptr;
    FakeLoginItem* login = nullptr;
    bool loginInitiallyEnabled = false;
    FakeEngine engine;
    // When set, used instead of the fake engine.
    BackupRunner realRunner;
    std::unique_ptr<AppState> state;
    int counter = 0;
};

} // namespace keelbox::app::testing
