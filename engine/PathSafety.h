#pragma once
// The tests that keep a drive's configuration, which whoever wrote the drive controls, from making
// a backup read outside the drive or write where the computer would run or trust the files.

#include <filesystem>
#include <string>
#include <string_view>
#include <vector>

namespace keelbox {

// The components of a "/"-separated relative path, with empty and "." pieces dropped.
std::vector<std::string> pathComponents(std::string_view relativePath);

// A source path from a drive's configuration may only name something below the drive's root as
// written: no leading "/" and no ".." component. (Links are checked separately, after resolving.)
bool isSafeRelativePath(std::string_view relativePath);

// True when `path` is `base` or lies below it, comparing whole components of two normalised
// absolute paths.
bool isWithin(const std::filesystem::path& path, const std::filesystem::path& base);

// The user's home folder: `configured` when given, otherwise $HOME, otherwise the password
// database's entry for the current user.
std::filesystem::path homeFolder(const std::filesystem::path& configured);

// The destination with a leading "~" (alone or followed by "/") replaced by `home`. A relative
// destination is taken relative to the home folder too: a backup must not depend on the folder the
// application happened to be started from.
std::filesystem::path expandDestination(std::string_view destinationPath,
                                        const std::filesystem::path& home);

// Absolute, lexically normalised, with links resolved in the part that exists; the rest (still to
// be created) is appended as written. Never fails: a part that cannot be resolved stays as written.
std::filesystem::path resolvedLocation(const std::filesystem::path& path);

// Whether a backup folder (already resolved) lies where files are executed or trusted by the
// computer or the desktop: the root, system folders, the home folder itself or any folder above
// it, another user's home folder, anything in a hidden folder of a home folder (autostart entries,
// shell start-up files, keys, per-user programs) and ~/bin, which the shell puts on the search
// path.
// `desktops` are the desktop folders (see desktopFolders): files placed straight into one show up
// on the desktop, where some desktops launch executable launchers without asking.
bool isTrustedLocation(const std::filesystem::path& resolvedFolder,
                       const std::filesystem::path& resolvedHome,
                       const std::vector<std::filesystem::path>& desktops = {});

// The user's desktop folders: ~/Desktop and the one named by XDG_DESKTOP_DIR in
// ~/.config/user-dirs.dirs (a localized name such as ~/Pulpit).
std::vector<std::filesystem::path> desktopFolders(const std::filesystem::path& home);

} // namespace keelbox
