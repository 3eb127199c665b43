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

fs::path homeFolder(const fs::path& configured,
                    const std::function<const char*(const char*)>& getenv) {
    if (!configured.empty())
        return configured;
    if (const char* home = getenv ? getenv("HOME") : nullptr; home != nullptr && home[0] == '/')
        return home;
    if (const passwd* entry = getpwuid(getuid()); entry != nullptr && entry->pw_dir != nullptr)
        return entry->pw_dir;
    return "/";
}

std::string abbreviatedHome(const fs::path& folder, const fs::path& home) {
    fs::path clean = folder.lexically_normal();
    if (clean.has_relative_path() && clean.filename().empty())
        clean = clean.parent_path(); // "…/Backups/" names "…/Backups"
    if (!home.empty() && isWithin(clean, home.lexically_normal())) {
        const fs::path rest = clean.lexically_relative(home.lexically_normal());
        if (rest.empty() || rest == ".")
            return "~";
        return "~/" + rest.string();
    }
    return clean.string();
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

} // namespace keelbox
