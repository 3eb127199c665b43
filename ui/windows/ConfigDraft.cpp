#include "ui/windows/ConfigDraft.h"

#include "engine/BackupEngine.h"
#include "engine/PathSafety.h"

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

std::string abbreviatedHome(const fs::path& folder, const fs::path& home) {
    const fs::path clean = folder.lexically_normal();
    if (!home.empty() && isWithin(clean, home.lexically_normal())) {
        const fs::path rest = clean.lexically_relative(home.lexically_normal());
        if (rest.empty() || rest == ".")
            return "~";
        return "~/" + rest.string();
    }
    std::string text = clean.string();
    if (text.size() > 1 && text.ends_with('/'))
        text.pop_back();
    return text;
}

std::optional<std::string_view> destinationRefusal(std::string_view destination,
                                                   const VolumeInfo& volume, const fs::path& home) {
    if (destination.find('\0') != std::string_view::npos)
        return "cfg.dest.refusedTrusted";
    // The engine writes into a folder named after the drive below the destination.
    const fs::path folder =
        resolvedLocation(expandDestination(destination, home) / driveFolderName(volume.name));
    const fs::path root = resolvedLocation(volume.url);
    if (isWithin(folder, root) || isWithin(root, folder))
        return "cfg.dest.refusedOnDrive";
    const fs::path plainHome = fs::absolute(home).lexically_normal();
    if (isTrustedLocation(folder, plainHome, desktopFolders(home)))
        return "cfg.dest.refusedTrusted";
    return std::nullopt;
}

} // namespace keelbox::ui
