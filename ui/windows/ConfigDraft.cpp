#include "ui/windows/ConfigDraft.h"

#include "engine/BackupEngine.h"
#include "engine/Destination.h"
#include "engine/PathSafety.h"
#include "localization/Format.h"

#include <algorithm>

namespace fs = std::filesystem;

namespace keelbox::ui {

bool ConfigDraft::load(const VolumeInfo& volume,
                       const std::function<DriveConfig(const VolumeInfo&)>& configOf) {
    if (loadedVolumeID == volume.id)
        return false;
    draft = configOf(volume);
    loadedVolumeID = volume.id;
    return true;
}

std::optional<std::string> ConfigDraft::addSources(const std::vector<fs::path>& items,
                                                   const fs::path& volumeRoot) {
    std::optional<std::string> rejected;
    for (const fs::path& item : items) {
        const auto relative = relativeSubpath(item, volumeRoot);
        if (!relative) {
            // "/media/x/Docs/" names Docs, not an empty last component.
            const fs::path trimmed = item.has_filename() ? item : item.parent_path();
            rejected = trimmed.filename().string();
            continue;
        }
        const bool listed = std::ranges::any_of(draft.sources, [&](const SourceItem& source) {
            return source.relativePath == *relative;
        });
        if (!listed)
            draft.sources.push_back({Uuid::random(), *relative});
    }
    return rejected;
}

void ConfigDraft::useWholeDrive() {
    draft.sources = {SourceItem{Uuid::random(), {}}};
}

void ConfigDraft::removeSource(const Uuid& id) {
    std::erase_if(draft.sources, [&](const SourceItem& source) { return source.id == id; });
}

std::optional<std::string> destinationWarning(std::string_view destination,
                                              const VolumeInfo& volume, const fs::path& home,
                                              AppLanguage language) {
    const DestinationPlan plan = planDestination(destination, driveFolderName(volume.name), {},
                                                 destinationFacts(home, volume.url));
    if (!plan.refused())
        return std::nullopt;
    // The engine's texts say what a run did ("nothing was written"); before a run the two
    // common cases read as what will happen.
    if (plan.reasonKey == "engine.destOnDrive")
        return localizedText("cfg.dest.refusedOnDrive", language);
    if (plan.reasonKey == "engine.destTrusted")
        return localizedText("cfg.dest.refusedTrusted", language);
    return formatLocalized(plan.reasonKey, language, {plan.missingDisk}) + " " +
           localizedText(plan.hintKey, language);
}

} // namespace keelbox::ui
