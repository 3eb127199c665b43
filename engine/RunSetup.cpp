#include "engine/RunSetup.h"

#include "core/MountTable.h"
#include "engine/PathSafety.h"
#include "engine/SysCalls.h"
#include "engine/TreeCopy.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/statfs.h>
#include <sys/sysmacros.h>
#include <sys/xattr.h>
#include <unistd.h>
#include <unordered_set>

namespace keelbox::detail {

namespace {

bool isDayFolderName(std::string_view name) {
    if (name.size() != 10 || name[4] != '-' || name[7] != '-')
        return false;
    for (std::size_t i = 0; i < name.size(); ++i) {
        if (i != 4 && i != 7 && (name[i] < '0' || name[i] > '9'))
            return false;
    }
    return true;
}

} // namespace

std::string newestDayFolder(int driveFolder) {
    std::string newest;
    DirStream listing{UniqueFd{openAt(driveFolder, ".", folderOpenFlags)}};
    int error = 0;
    while (const dirent64* entry = listing.next(error)) {
        if (isDayFolderName(entry->d_name) && entry->d_name > newest)
            newest = entry->d_name;
    }
    return newest;
}

// Opens the folders `components` below `base` as they are, never through a link; none when one
// is missing.
UniqueFd openExistingChain(int base, const std::vector<std::string>& components,
                           std::size_t count) {
    UniqueFd current{sysCalls().dupFd(base)};
    for (std::size_t i = 0; i < count && current.valid(); ++i)
        current.reset(openAt(current.get(), components[i].c_str(), folderOpenFlags));
    return current;
}

// The sources a run walks, in list order: one listed again, or lying inside a folder that is
// listed too (the whole drive holds every other), is left to the first or the outer one, which
// copies the same files to the same place. Each file is then handled, counted and reported once.
// A file inside such a folder that the folder's walk leaves out (a never-copied name) is still
// copied when listed by itself.
std::vector<const SourceItem*> distinctSources(const std::vector<SourceItem>& sources) {
    auto key = [](const SourceItem& item) {
        std::string joined;
        for (const std::string& piece : pathComponents(item.relativePath)) {
            joined += piece;
            joined.push_back('/');
        }
        return joined;
    };
    std::unordered_set<std::string> listed;
    for (const SourceItem& item : sources) {
        if (isSafeRelativePath(item.relativePath))
            listed.insert(key(item));
    }
    std::unordered_set<std::string> taken;
    std::vector<const SourceItem*> out;
    for (const SourceItem& item : sources) {
        if (!isSafeRelativePath(item.relativePath)) {
            out.push_back(&item);
            continue;
        }
        const std::string own = key(item);
        if (!taken.insert(own).second)
            continue;
        bool inside = false;
        if (!isExcluded(own)) {
            for (std::size_t slash = own.find('/'); slash + 1 < own.size() && !inside;
                 slash = own.find('/', slash + 1))
                inside = listed.contains(own.substr(0, slash + 1));
            inside = inside || (!own.empty() && listed.contains(std::string{}));
        }
        if (!inside)
            out.push_back(&item);
    }
    return out;
}

// Whether the drive's file system keeps no permissions of its own and shows made-up ones (every
// file executable): FAT, exFAT and NTFS, by the kernel's drivers or through FUSE (fuseblk).
bool keepsNoPermissions(int root) {
    struct statfs fs {};
    if (sysCalls().fstatfs(root, &fs) != 0)
        return false;
    switch (static_cast<unsigned long>(fs.f_type)) {
    case 0x4d44:     // FAT
    case 0x2011BAB0: // exFAT
    case 0x5346544e: // NTFS
    case 0x7366746e: // NTFS (ntfs3)
        return true;
    case 0x65735546: // FUSE: what runs behind it is in the mount table
        break;
    default:
        return false;
    }
    struct stat st {};
    if (sysCalls().fstat(root, &st) != 0)
        return false;
    for (const MountEntry& entry : readMountTable()) {
        if (entry.major != major(st.st_dev) || entry.minor != minor(st.st_dev))
            continue;
        const std::string_view type = entry.fsType;
        return type == "fuseblk" || type.starts_with("fuse.exfat") ||
               type.starts_with("fuse.fusefat") || type.starts_with("fuse.ntfs");
    }
    return false;
}

// Finds out once per run what names the backup disk can hold: whether it takes "a" and "A" for
// one name, and whether it refuses characters such as ":" and "?". The probes are partial names
// of this process, which a run that dies meanwhile leaves to the next run's sweep.
void probeDestination(Tally& tally, int folder) {
    char probe[80];
    std::snprintf(probe, sizeof probe, "%s%ld-probe-aZ", partialPrefix,
                  static_cast<long>(tally.pid));
    UniqueFd made{
        openAt(folder, probe, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    if (!made.valid())
        return; // the copying reports why nothing can be written
    made.reset();
    const std::string other = foldCase(probe);
    struct stat st {};
    tally.caseInsensitiveDestination =
        sysCalls().fstatat(folder, other.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0;
    sysCalls().unlinkat(folder, probe, 0);
    std::strncat(probe, "?:", sizeof probe - std::strlen(probe) - 1);
    UniqueFd odd{openAt(folder, probe, O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600)};
    tally.restrictedNames = !odd.valid() && errno != EEXIST;
    if (odd.valid()) {
        odd.reset();
        sysCalls().unlinkat(folder, probe, 0);
    }
}

// The day folders of the drive folder before `today` (the folder `dayFolder`): the newest is
// returned open, for unchanged files to be linked from it. Partial copies that a cut-short run
// left in any of them are swept: those that carry the under-way record, or, where no record can
// be kept (FAT, exFAT), the newest one when today's folder is still empty (the run that was cut
// short was the last one, and wrote there).
UniqueFd earlierDayFolders(int dayFolder, const std::string& today, dev_t device,
                           const char* runRecord) {
    UniqueFd driveFolder{openAt(dayFolder, "..", folderOpenFlags & ~O_NOFOLLOW)};
    if (!driveFolder.valid())
        return {};
    std::vector<std::string> days;
    {
        DirStream listing{UniqueFd{openAt(driveFolder.get(), ".", folderOpenFlags)}};
        int error = 0;
        while (const dirent64* entry = listing.next(error)) {
            if (isDayFolderName(entry->d_name) && entry->d_name < today)
                days.emplace_back(entry->d_name);
        }
    }
    if (days.empty())
        return {};
    std::sort(days.begin(), days.end());
    bool todayEmpty = false;
    {
        DirStream listing{UniqueFd{openAt(dayFolder, ".", folderOpenFlags)}};
        int error = 0;
        todayEmpty = listing.valid() && listing.next(error) == nullptr && error == 0;
    }
    UniqueFd newest;
    for (std::size_t i = 0; i < days.size(); ++i) {
        UniqueFd folder{openAt(driveFolder.get(), days[i].c_str(), folderOpenFlags)};
        if (!folder.valid())
            continue;
        char value[16];
        const bool recorded =
            sysCalls().fgetxattr(folder.get(), runRecord, value, sizeof value) >= 0;
        const bool noRecords = !recorded && (errno == ENOTSUP || errno == ENOSYS);
        const bool last = i + 1 == days.size();
        if (recorded || (noRecords && last && todayEmpty)) {
            sweepPartials(folder.get(), device, ::getpid());
            sysCalls().fremovexattr(folder.get(), runRecord);
        }
        if (last)
            newest = std::move(folder);
    }
    return newest;
}

} // namespace keelbox::detail
