// The process-wide state on the real services. Its own file so that code which never asks for it
// (tests on fake services) needs neither the engine nor the platform backends.
#include "app/AppState.h"

namespace keelbox::app {

BackupRunner engineRunner() {
    return
        [](const DriveConfig& config, const std::filesystem::path& volumeRoot, AppLanguage language,
           const ProgressCallback& onProgress, const RunEnvironment& environment) {
            return BackupEngine::run(config, volumeRoot, language, onProgress, environment);
        };
}

AppState& AppState::shared() {
    // Lives until the process ends, like the language and preferences it uses.
    static AppState* const instance = [] {
        AppServices services;
        services.preferences = Preferences::shared();
        services.localizer = &Localizer::shared();
        services.volumeMonitor = makeVolumeMonitor();
        services.volumeEjector = makeVolumeEjector();
        services.notifier = makeNotifier();
        services.loginItem = makeLoginItem();
        services.runBackup = engineRunner();
        return new AppState(std::move(services));
    }();
    return *instance;
}

} // namespace keelbox::app
