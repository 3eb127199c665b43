#pragma once
// The configuration window's working copy of one drive's rules and the edits the window makes to
// it. No Qt: the rules are plain functions over the draft, the window only draws and asks.

#include "core/Records.h"

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox::ui {

class ConfigDraft {
public:
    // The working copy every control edits.
    DriveConfig draft = DriveConfig::placeholder();
    // The drive whose configuration was last loaded into `draft`.
    std::optional<std::string> loadedVolumeID;

    // Loads the drive's configuration unless it is the drive already loaded, whose unsaved edits
    // stay. Returns whether `draft` was replaced.
    bool load(const VolumeInfo& volume,
              const std::function<DriveConfig(const VolumeInfo&)>& configOf);

    // Adds the chosen items as sources, in order, relative to the drive's root with links
    // resolved; an item already listed is skipped. Returns the name (last path component) of the
    // last item that is not on the drive; the other items are added all the same.
    std::optional<std::string> addSources(const std::vector<std::filesystem::path>& items,
                                          const std::filesystem::path& volumeRoot);
    // One entry, the whole drive.
    void useWholeDrive();
    void removeSource(const Uuid& id);
};

// The warning under the destination field when a backup of `volume` would refuse to write into
// `destination` (the engine's own rule: not on the drive itself, not where the computer or the
// desktop runs or trusts files, not on a disk that is not connected), in `language`; nothing when
// it would write there.
std::optional<std::string> destinationWarning(std::string_view destination,
                                              const VolumeInfo& volume,
                                              const std::filesystem::path& home,
                                              AppLanguage language);

} // namespace keelbox::ui
