#pragma once
// The tests that keep a drive's configuration, which whoever wrote the drive controls, from making
// a backup read outside the drive or write where the computer would run or trust the files.

#include <cstdlib>
#include <filesystem>
#include <functional>
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

// The user's home folder, the one rule for all of Keelbox: `configured` when given, otherwise an
// absolute $HOME (as `getenv` reads the environment), otherwise the password database's entry for
// the current user, and "/" when neither says.
std::filesystem::path homeFolder(const std::filesystem::path& configured = {},
                                 const std::function<const char*(const char*)>& getenv = ::getenv);

// `folder` with the home folder written as "~" ("~" alone for the home folder itself); any other
// folder as its full, normalised path. How the configuration window and `keelbox config` store a
// destination, so that the same rules work for whoever connects the drive on another computer.
std::string abbreviatedHome(const std::filesystem::path& folder, const std::filesystem::path& home);

// Absolute, lexically normalised, with links resolved in the part that exists; the rest (still to
// be created) is appended as written. Never fails: a part that cannot be resolved stays as written.
std::filesystem::path resolvedLocation(const std::filesystem::path& path);

} // namespace keelbox
