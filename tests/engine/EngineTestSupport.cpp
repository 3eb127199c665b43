#include "EngineTestSupport.h"

#include "core/MountTable.h"

namespace keelbox::test {

void setModified(const fs::path& file, std::int64_t seconds, long nanoseconds) {
    const struct timespec times[2] = {{seconds, nanoseconds}, {seconds, nanoseconds}};
    if (::utimensat(AT_FDCWD, file.c_str(), times, AT_SYMLINK_NOFOLLOW) != 0)
        throw std::runtime_error("utimensat failed on " + file.string());
}

struct timespec modifiedOf(const fs::path& file) {
    struct stat st {};
    ::lstat(file.c_str(), &st);
    return st.st_mtim;
}

mode_t modeOf(const fs::path& file) {
    struct stat st {};
    ::lstat(file.c_str(), &st);
    return st.st_mode & 07777;
}

std::vector<std::string> listTree(const fs::path& root) {
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(root, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        std::string rel = it->path().lexically_relative(root).generic_string();
        // The drive folder's owner mark is the engine's own, not part of the copy.
        if (it->path().filename() == ".keelbox-drive")
            continue;
        if (it->is_symlink())
            rel += "@";
        else if (it->is_directory())
            rel += "/";
        out.push_back(rel);
    }
    std::sort(out.begin(), out.end());
    return out;
}

std::vector<std::string> partialsIn(const fs::path& folder) {
    std::vector<std::string> out = listTree(folder);
    std::erase_if(out, [](const std::string& rel) {
        return !fs::path(rel).filename().string().starts_with(".keelbox-partial");
    });
    return out;
}

void markOwned(const fs::path& driveFolder) {
    writeFile(driveFolder / ".keelbox-drive",
              "{\"driveID\": \"" + std::string(testDriveID) + "\"}");
}

DriveConfig makeConfig(const fs::path& destination, std::string driveName,
                       std::vector<std::string> sources, BackupMode mode, bool deleteRemovedFiles) {
    DriveConfig config;
    config.driveID = testDriveID;
    config.driveName = std::move(driveName);
    config.destinationPath = destination.string();
    config.mode = mode;
    config.deleteRemovedFiles = deleteRemovedFiles;
    for (std::string& source : sources)
        config.sources.push_back(SourceItem{Uuid::random(), std::move(source)});
    return config;
}

std::string onlyIssue(const BackupResult& result) {
    return result.errors.size() == 1 ? result.errors[0].summaryLine()
                                     : std::to_string(result.errors.size()) + " issues";
}

std::vector<std::string> issuePaths(const BackupResult& result) {
    std::vector<std::string> paths;
    for (const BackupIssue& issue : result.errors)
        paths.push_back(issue.path);
    std::sort(paths.begin(), paths.end());
    return paths;
}

int shell(const std::string& command) {
    const int status = std::system(("(" + command + ") >/dev/null 2>&1").c_str());
    return status != -1 && WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

namespace {

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

bool isMountPoint(const fs::path& path) {
    return std::ranges::any_of(readMountTable(), [&](const MountEntry& entry) {
        return entry.mountPoint == path.string();
    });
}

} // namespace

MountedImage::MountedImage(Kind kind, const fs::path& workDir, int megabytes, std::string& whyNot) {
    static int counter = 0;
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(++counter);
    imageFile = workDir / ("image-" + tag + ".img");
    mountPoint = workDir / ("mnt-" + tag);
    fs::create_directories(mountPoint);
    const std::string image = quoted(imageFile), point = quoted(mountPoint);
    const std::string makeAndMount[] = {
        "mkfs.ext4 -F -q -m 0 " + image + " && mount -o loop " + image + " " + point,
        // UTC keeps fusefat's times plain; it corrupts folders past one cluster, so 32 KiB ones.
        "mkfs.fat -s 64 -n KBTEST " + image + " && TZ=UTC fusefat -o rw+ " + image + " " + point,
        // exfat-fuse wants a block device; detached at once, it goes when the daemon lets it go.
        "mkfs.exfat -L KBTEST " + image + " && dev=$(losetup -f --show " + image +
            ") && { mount.exfat-fuse $dev " + point + "; r=$?; losetup -d $dev; exit $r; }"};
    const bool made =
        ::geteuid() == 0 && shell("truncate -s " + std::to_string(megabytes) + "M " + image +
                                  " && " + makeAndMount[static_cast<int>(kind)]) == 0;
    whyNot.clear();
    if (!made || !isMountPoint(mountPoint)) {
        whyNot = "could not make or mount a file system image (needs root, loop devices, FUSE, "
                 "e2fsprogs, dosfstools, fusefat, exfatprogs and exfat-fuse)";
        unmount();
    }
}

void MountedImage::unmount() {
    // A FUSE daemon may still be busy for a moment; a lazy unmount then finishes when it is done.
    if (isMountPoint(mountPoint))
        shell("umount " + quoted(mountPoint) + " || umount -l " + quoted(mountPoint));
    std::error_code ec;
    if (!isMountPoint(mountPoint))
        fs::remove(mountPoint, ec);
    fs::remove(imageFile, ec);
}

std::string kindName(const ::testing::TestParamInfo<MountedImage::Kind>& row) {
    return std::array{"ext4", "fat", "exfat"}.at(static_cast<std::size_t>(row.param));
}

} // namespace keelbox::test
