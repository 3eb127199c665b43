#include "app/AppState.h"

namespace keelbox::app {

BackupRunner engineRunner() {
    return
        [](const DriveConfig& config, const std::filesystem::path& volumeRoot, AppLanguage language,
           const ProgressCallback& onProgress, const RunEnvironment& environment) {
            return BackupEngine::run(config, volumeRoot, language, onProgress, environment);
        };
}

} // namespace keelbox::app
