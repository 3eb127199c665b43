#include "engine/Destination.h"

#include "core/PosixFile.h"
#include "engine/PathSafety.h"
#include "engine/SysCalls.h"
#include "engine/VolumeIds.h"

#include <array>
#include <cstdlib>
#include <pwd.h>
#include <sstream>
#include <sys/stat.h>
#include <unistd.h>

// Which backup folders are refused, and why:
// - the drive itself, or a folder holding it: the copy would copy itself;
// - the root, the system's folders (/etc, /usr, /bin, /sbin, /lib*, /boot, /efi, /proc, /sys, /dev,
//   /opt, /snap): what the computer runs and how it is configured;
// - the home folder and every folder above it: a whole-drive copy would lay the drive's ".profile"
//   or ".config" straight into somebody's home;
// - ~/bin and ~/.local/bin (on the shell's search path), the XDG configuration and data folders
//   (autostart entries, desktop launchers, per-user services), the desktop folder and anything in
//   it (some desktops launch what lies there), any home's hidden folders, other users' homes
//   themselves;
// - /run and /var: the system's runtime and state;
// - a removable-media folder (/media, /run/media, /mnt) whose disk is not mounted: the copy would
//   land on the system disk, and its folder would push the real disk to another mount point.
// Allowed: the rest of the home, mounted disks below /media, /run/media and /mnt, /srv, the
// temporary folders (also when they lie under /run, /var or a hidden home folder), and any other
// folder of the computer.

namespace keelbox {

namespace fs = std::filesystem;

namespace {

constexpr std::array<std::string_view, 15> systemFolders{
    "/etc",  "/usr", "/bin",  "/sbin", "/lib", "/lib32", "/lib64", "/libx32",
    "/boot", "/efi", "/proc", "/sys",  "/dev", "/opt",   "/snap"};

constexpr std::array<std::string_view, 3> removableMediaFolders{"/run/media", "/media", "/mnt"};

bool withinAny(const fs::path& folder, const std::vector<fs::path>& bases) {
    for (const fs::path& base : bases) {
        if (!base.empty() && isWithin(folder, base))
            return true;
    }
    return false;
}

// The home itself, its ~/bin or anything in one of its hidden folders.
bool isHiddenOrBinOfHome(const fs::path& folder, const fs::path& home) {
    if (home.empty() || !isWithin(folder, home))
        return false;
    const fs::path rest = folder.lexically_relative(home);
    if (rest.empty() || rest == ".")
        return true;
    const std::string first = rest.begin()->string();
    return first.starts_with('.') || first == "bin";
}

bool isOtherUsersHome(const fs::path& folder, const fs::path& home) {
    if (!isWithin(folder, "/home"))
        return false;
    const fs::path rest = folder.lexically_relative("/home");
    if (rest.empty() || rest == ".")
        return true;
    const fs::path theirs = fs::path{"/home"} / *rest.begin();
    return theirs != home && isHiddenOrBinOfHome(folder, theirs);
}

enum class Verdict { allowed, onDrive, trusted, notMounted };

struct Vetting {
    Verdict verdict = Verdict::allowed;
    fs::path mediaFolder; // where the missing disk would be mounted
    std::string disk;
};

// The folder where a disk for `folder` below a removable-media folder is mounted: /mnt/DISK,
// /media/DISK, /media/USER/DISK, /run/media/USER/DISK.
fs::path expectedMountFolder(const fs::path& folder, const fs::path& media,
                             const std::string& userName) {
    const fs::path rest = folder.lexically_relative(media);
    auto it = rest.begin();
    if (it == rest.end() || rest == ".")
        return media;
    fs::path out = media / *it;
    const bool perUser = media == "/run/media" || (media == "/media" && *it == userName);
    if (perUser && ++it != rest.end())
        out /= *it;
    return out;
}

Vetting vet(const fs::path& folder, const DestinationFacts& facts) {
    Vetting out;
    if (!facts.volumeRoot.empty() &&
        (isWithin(folder, facts.volumeRoot) || isWithin(facts.volumeRoot, folder))) {
        out.verdict = Verdict::onDrive;
        return out;
    }
    if (!facts.callersOwnFolder.empty() && isWithin(folder, facts.callersOwnFolder))
        return out;
    const auto refuse = [&] {
        out.verdict = Verdict::trusted;
        return out;
    };
    if (!folder.is_absolute() || folder == folder.root_path())
        return refuse();
    for (std::string_view system : systemFolders) {
        if (isWithin(folder, fs::path{system}))
            return refuse();
    }
    if (!facts.home.empty() && isWithin(facts.home, folder))
        return refuse();
    const std::vector<fs::path> neverBelow{facts.configHome, facts.dataHome,
                                           facts.home / ".local/bin", facts.home / "bin"};
    if (withinAny(folder, neverBelow) || withinAny(folder, facts.desktops) ||
        isOtherUsersHome(folder, facts.home) ||
        (facts.home != "/root" && isHiddenOrBinOfHome(folder, "/root")))
        return refuse();

    for (std::string_view mediaText : removableMediaFolders) {
        const fs::path media{mediaText};
        if (!isWithin(folder, media))
            continue;
        // The disk must be mounted below the media folder (/mnt itself may be a mount point).
        for (const fs::path& mount : facts.mountPoints) {
            if (isWithin(folder, mount) && isWithin(mount, media) &&
                (mount != media || media == "/mnt"))
                return out;
        }
        out.verdict = Verdict::notMounted;
        out.mediaFolder = expectedMountFolder(folder, media, facts.userName);
        out.disk = out.mediaFolder.filename().string();
        return out;
    }
    // The desktop's network shares (GVFS) and the user's own FUSE mounts live in the user's
    // runtime folder: allowed inside a mounted one, like a disk below /media.
    const fs::path runtime = "/run/user/" + std::to_string(facts.user);
    for (const fs::path& mount : facts.userMounts) {
        if (mount != runtime && isWithin(mount, runtime) && isWithin(folder, mount))
            return out;
    }
    // The system's runtime and state and the hidden folders of the home are refused, unless the
    // temporary folder lies inside them (TMPDIR=/run/user/1000/tmp, ~/.cache/tmp).
    fs::path area;
    if (isWithin(folder, "/run"))
        area = "/run";
    else if (isWithin(folder, "/var"))
        area = "/var";
    else if (isHiddenOrBinOfHome(folder, facts.home))
        area = facts.home / *folder.lexically_relative(facts.home).begin();
    if (area.empty())
        return out;
    for (const fs::path& temporary : facts.temporaryFolders) {
        if (isWithin(folder, temporary) && isWithin(temporary, area))
            return out;
    }
    return refuse();
}

// Follows `folder` when it is a link the user owns; `refused` is set when it is another's.
fs::path followOwnLink(const fs::path& folder, const DestinationFacts& facts, bool& refused) {
    const std::optional<uid_t> owner = facts.linkOwner ? facts.linkOwner(folder) : std::nullopt;
    if (!owner)
        return folder;
    if (*owner != facts.user) {
        refused = true;
        return folder;
    }
    return facts.resolve(folder);
}

std::vector<fs::path> desktopFolders(const fs::path& home, const fs::path& configHome) {
    std::vector<fs::path> out{home / "Desktop"};
    std::istringstream dirs(readFile(configHome / "user-dirs.dirs", 1 << 20).text);
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

fs::path xdgFolder(const char* variable, const fs::path& fallback) {
    const char* value = std::getenv(variable);
    if (value != nullptr && value[0] == '/')
        return value;
    return fallback;
}

} // namespace

fs::path expandDestination(std::string_view destinationPath, const fs::path& home) {
    if (destinationPath.starts_with('~')) {
        std::string_view rest = destinationPath.substr(1);
        if (rest.empty() || rest.front() == '/') {
            while (!rest.empty() && rest.front() == '/')
                rest.remove_prefix(1);
            return rest.empty() ? home : home / fs::path(rest);
        }
    }
    fs::path path{destinationPath};
    if (path.is_relative())
        return home / path;
    return path;
}

DestinationPlan planDestination(std::string_view destinationPath, std::string_view driveFolder,
                                std::string_view day, const DestinationFacts& facts) {
    DestinationPlan plan;
    const fs::path expanded = expandDestination(destinationPath, facts.home);
    plan.shown = expanded / fs::path(driveFolder);
    if (!day.empty())
        plan.shown /= fs::path(day);
    const auto refuse = [&](const char* reason, const char* hint, const fs::path& detail) {
        plan.reasonKey = reason;
        plan.hintKey = hint;
        plan.detail = detail.string();
        return plan;
    };
    // A NUL would end the path early at the system calls: the folder written would not be the one
    // checked.
    if (destinationPath.find('\0') != std::string_view::npos)
        return refuse("engine.destTrusted", "engine.destTrustedHint", plan.shown);

    bool othersLink = false;
    plan.driveFolder =
        followOwnLink(facts.resolve(expanded) / fs::path(driveFolder), facts, othersLink)
            .lexically_normal();
    if (!day.empty())
        plan.dayFolder =
            followOwnLink(plan.driveFolder / fs::path(day), facts, othersLink).lexically_normal();
    if (othersLink)
        return refuse("engine.destLink", "engine.destLinkHint", plan.shown);

    for (const fs::path& folder : {plan.driveFolder, plan.dayFolder}) {
        if (folder.empty())
            continue;
        const Vetting vetting = vet(folder, facts);
        switch (vetting.verdict) {
        case Verdict::allowed:
            break;
        case Verdict::onDrive:
            return refuse("engine.destOnDrive", "engine.destOnDriveHint", plan.shown);
        case Verdict::trusted:
            return refuse("engine.destTrusted", "engine.destTrustedHint", folder);
        case Verdict::notMounted:
            plan.missingDisk = vetting.disk;
            return refuse("engine.destNotMounted", "engine.destNotMountedHint",
                          vetting.mediaFolder);
        }
    }
    return plan;
}

DestinationFacts destinationFacts(const fs::path& home, const fs::path& volumeRoot,
                                  const fs::path& callersOwnFolder) {
    DestinationFacts facts;
    facts.resolve = [](const fs::path& path) { return resolvedLocation(path); };
    facts.linkOwner = [](const fs::path& path) -> std::optional<uid_t> {
        struct stat st {};
        if (sysCalls().fstatat(AT_FDCWD, path.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 ||
            !S_ISLNK(st.st_mode))
            return std::nullopt;
        return st.st_uid;
    };
    const fs::path userHome = homeFolder(home);
    facts.home = resolvedLocation(userHome);
    facts.configHome = resolvedLocation(
        home.empty() ? xdgFolder("XDG_CONFIG_HOME", userHome / ".config") : userHome / ".config");
    facts.dataHome =
        resolvedLocation(home.empty() ? xdgFolder("XDG_DATA_HOME", userHome / ".local/share")
                                      : userHome / ".local/share");
    for (const fs::path& desktop : desktopFolders(userHome, facts.configHome))
        facts.desktops.push_back(resolvedLocation(desktop));
    if (const char* tmpdir = std::getenv("TMPDIR"); tmpdir != nullptr && tmpdir[0] == '/')
        facts.temporaryFolders.push_back(resolvedLocation(tmpdir));
    facts.temporaryFolders.push_back(resolvedLocation("/tmp"));
    facts.temporaryFolders.push_back(resolvedLocation("/var/tmp"));
    if (!callersOwnFolder.empty())
        facts.callersOwnFolder = resolvedLocation(callersOwnFolder);
    if (!volumeRoot.empty())
        facts.volumeRoot = resolvedLocation(volumeRoot);
    facts.user = ::geteuid();
    const fs::path runtime = "/run/user/" + std::to_string(facts.user);
    for (const MountEntry& entry : readMountTable()) {
        facts.mountPoints.push_back(entry.mountPoint);
        if (entry.fsType.starts_with("fuse") && isWithin(entry.mountPoint, runtime))
            facts.userMounts.push_back(entry.mountPoint);
    }
    if (const passwd* entry = ::getpwuid(facts.user); entry != nullptr && entry->pw_name != nullptr)
        facts.userName = entry->pw_name;
    return facts;
}

} // namespace keelbox
