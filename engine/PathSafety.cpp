#include "engine/PathSafety.h"

#include <array>
#include <cstdlib>
#include <fstream>
#include <pwd.h>
#include <system_error>
#include <unistd.h>

namespace keelbox {

namespace fs = std::filesystem;

std::vector<std::string> pathComponents(std::string_view relativePath) {
    std::vector<std::string> parts;
    std::size_t start = 0;
    while (start <= relativePath.size()) {
        std::size_t end = relativePath.find('/', start);
        if (end == std::string_view::npos)
            end = relativePath.size();
        std::string_view piece = relativePath.substr(start, end - start);
        if (!piece.empty() && piece != ".")
            parts.emplace_back(piece);
        start = end + 1;
    }
    return parts;
}

bool isSafeRelativePath(std::string_view relativePath) {
    if (!relativePath.empty() && relativePath.front() == '/')
        return false;
    // A NUL would cut the path short at the system call and name something else than was checked.
    if (relativePath.find('\0') != std::string_view::npos)
        return false;
    for (const std::string& piece : pathComponents(relativePath)) {
        if (piece == "..")
            return false;
    }
    return true;
}

bool isWithin(const fs::path& path, const fs::path& base) {
    auto p = path.begin();
    for (auto b = base.begin(); b != base.end(); ++b, ++p) {
        // A trailing separator shows up as an empty last element; it adds nothing.
        if (b->empty())
            continue;
        if (p == path.end() || *p != *b)
            return false;
    }
    return true;
}

fs::path homeFolder(const fs::path& configured) {
    if (!configured.empty())
        return configured;
    if (const char* home = std::getenv("HOME"); home != nullptr && home[0] == '/')
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    return "/";
}

fs::path expandDestination(std::string_view destinationPath, const fs::path& home) {
    if (destinationPath == "~")
        return home;
    if (destinationPath.starts_with("~/"))
        return home / fs::path(destinationPath.substr(2));
    fs::path path{destinationPath};
    if (path.is_relative())
        return home / path;
    return path;
}

fs::path resolvedLocation(const fs::path& path) {
    std::error_code error;
    fs::path absolute = fs::absolute(path, error);
    if (error)
        absolute = path;
    fs::path resolved = fs::weakly_canonical(absolute, error);
    if (error)
        resolved = absolute;
    return resolved.lexically_normal();
}

namespace {

// Folders of the operating system: programs, libraries, configuration, boot files, services,
// kernel interfaces. Writing below any of them could change what the computer runs.
constexpr std::array<std::string_view, 18> systemFolders{
    "/etc", "/usr",  "/boot", "/bin", "/sbin", "/lib", "/lib32", "/lib64", "/libx32",
    "/var", "/proc", "/sys",  "/dev", "/run",  "/opt", "/srv",   "/snap",  "/efi"};

// Whether `folder` is `home` itself, ~/bin, or lies in a hidden folder of `home`.
bool isTrustedBelowHome(const fs::path& folder, const fs::path& home) {
    if (home.empty() || !isWithin(folder, home))
        return false;
    fs::path rest = folder.lexically_relative(home);
    if (rest.empty() || rest == ".")
        return true;
    const std::string first = rest.begin()->string();
    return first.starts_with('.') || first == "bin";
}

} // namespace

std::vector<fs::path> desktopFolders(const fs::path& home) {
    std::vector<fs::path> out{home / "Desktop"};
    std::ifstream dirs(home / ".config/user-dirs.dirs");
    std::string line;
    while (std::getline(dirs, line)) {
        constexpr std::string_view key = "XDG_DESKTOP_DIR=";
        if (!line.starts_with(key))
            continue;
        std::string value = line.substr(key.size());
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        if (value.starts_with("$HOME/"))
            out.push_back(home / value.substr(6));
        else if (value.starts_with("/"))
            out.push_back(value);
    }
    return out;
}

bool isTrustedLocation(const fs::path& resolvedFolder, const fs::path& resolvedHome,
                       const std::vector<fs::path>& desktops) {
    const fs::path folder = resolvedFolder.lexically_normal();
    for (const fs::path& desktop : desktops) {
        if (folder == resolvedLocation(desktop))
            return true;
    }
    if (!folder.is_absolute())
        return true;
    if (folder == folder.root_path())
        return true;
    for (std::string_view system : systemFolders) {
        if (isWithin(folder, fs::path{system}))
            return true;
    }
    // The home folder and every folder above it: a whole-drive copy there would lay the drive's
    // ".profile" or ".config" straight into somebody's home.
    if (!resolvedHome.empty() && isWithin(resolvedHome.lexically_normal(), folder))
        return true;
    if (isTrustedBelowHome(folder, resolvedHome.lexically_normal()))
        return true;
    if (isTrustedBelowHome(folder, "/root"))
        return true;
    // Other users' homes under /home: the home itself and its hidden folders.
    if (isWithin(folder, "/home")) {
        fs::path rest = folder.lexically_relative("/home");
        auto it = rest.begin();
        if (it != rest.end() && !it->empty() && *it != ".") {
            if (isTrustedBelowHome(folder, fs::path{"/home"} / *it))
                return true;
        }
    }
    return false;
}

} // namespace keelbox
