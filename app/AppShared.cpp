// The process-wide state on the real services. Its own file so that code which never asks for it
// (tests on fake services) does not need the platform backends.
#include "app/AppState.h"

namespace keelbox::app {

AppState& AppState::shared() {
    // Lives until the process ends, like the language and preferences it uses.
    static AppState* const instance = [] {
        AppServices services;
        services.preferences = Preferences::shared();
        services.localizer = &Localizer::shared();
        services.volumeMonitor = makeVolumeMonitor();
        services.configWatcher = makeConfigWatcher();
        services.volumeEjector = makeVolumeEjector();
        services.notifier = makeNotifier();
        services.loginItem = makeLoginItem();
        services.runBackup = engineRunner();
        return new AppState(std::move(services));
    }();
    return *instance;
}

} // namespace keelbox::app
