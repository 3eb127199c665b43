#pragma once
// Where a run writes: the destination of a drive's configuration resolved and vetted against the
// places Keelbox never writes into, against the drive itself, and against removable-media folders
// whose disk is not connected. The decision is one function over facts gathered beforehand.

#include <filesystem>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>
#include <vector>

namespace keelbox {

// What the destination rule needs to know of the computer. Every path is absolute and resolved.
struct DestinationFacts {
    std::filesystem::path home;
    std::filesystem::path configHome; // $XDG_CONFIG_HOME or ~/.config
    std::filesystem::path dataHome;   // $XDG_DATA_HOME or ~/.local/share
    std::vector<std::filesystem::path> desktops;
    std::vector<std::filesystem::path> temporaryFolders; // $TMPDIR, /tmp, /var/tmp
    // A folder the caller made for this run itself (the self-test's throw-away tree): allowed
    // wherever it lies. Never set from anything a drive carries.
    std::filesystem::path callersOwnFolder;
    std::filesystem::path volumeRoot;
    std::vector<std::filesystem::path> mountPoints;
    // FUSE mounts below /run/user/UID: the desktop's network shares (GVFS) and the user's own.
    std::vector<std::filesystem::path> userMounts;
    std::string userName;
    uid_t user = 0;
    // Links followed in the part of a path that exists; the rest appended as written.
    std::function<std::filesystem::path(const std::filesystem::path&)> resolve;
    // The owner of `path` when it is a symbolic link; nothing when it is not one.
    std::function<std::optional<uid_t>(const std::filesystem::path&)> linkOwner;
};

struct DestinationPlan {
    // destination / drive folder [/ day] with "~" expanded, as the user reads it.
    std::filesystem::path shown;
    // The resolved drive folder and, in dated mode, the resolved day folder (else empty).
    std::filesystem::path driveFolder;
    std::filesystem::path dayFolder;
    // Set when nothing may be written: the text keys and what it names (the folder, or
    // the missing disk's mount folder).
    std::string reasonKey;
    std::string hintKey;
    std::string detail;
    // The name of the missing disk, for the reason's placeholder.
    std::string missingDisk;

    bool refused() const { return !reasonKey.empty(); }
};

// "~" followed by any number of slashes is the home folder; a relative destination is anchored
// there too, never at the working folder.
std::filesystem::path expandDestination(std::string_view destinationPath,
                                        const std::filesystem::path& home);

// The rule. `day` is empty in sync mode. The drive folder and the day folder are followed when
// they are symbolic links the user owns; their targets are vetted like everything else.
DestinationPlan planDestination(std::string_view destinationPath, std::string_view driveFolder,
                                std::string_view day, const DestinationFacts& facts);

// The facts of this computer: $HOME (or `home` when given), the XDG folders, the mount table.
DestinationFacts destinationFacts(const std::filesystem::path& home,
                                  const std::filesystem::path& volumeRoot,
                                  const std::filesystem::path& callersOwnFolder = {});

} // namespace keelbox
