#include "EngineTestSupport.h"

#include "core/Uuid.h"
#include "localization/Localizer.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <fcntl.h>
#include <fstream>
#include <linux/capability.h>
#include <sstream>
#include <sys/syscall.h>
#include <unistd.h>

namespace keelbox::test {

void writeFile(const fs::path& file, std::string_view content, mode_t mode) {
    fs::create_directories(file.parent_path());
    {
        std::ofstream out(file, std::ios::binary | std::ios::trunc);
        out.write(content.data(), static_cast<std::streamsize>(content.size()));
        if (!out)
            throw std::runtime_error("cannot write " + file.string());
    }
    ::chmod(file.c_str(), mode);
}

std::string readFile(const fs::path& file) {
    std::ifstream in(file, std::ios::binary);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

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
    std::vector<std::string> out;
    std::error_code ec;
    for (auto it = fs::recursive_directory_iterator(folder, ec);
         !ec && it != fs::recursive_directory_iterator(); it.increment(ec)) {
        if (it->path().filename().string().starts_with(".keelbox-partial"))
            out.push_back(it->path().string());
    }
    return out;
}

DriveConfig makeConfig(const fs::path& destination, std::string driveName,
                       std::vector<std::string> sources, BackupMode mode, bool deleteRemovedFiles) {
    DriveConfig config;
    // One drive identity for every configuration a test makes: runs of the same test drive must
    // be recognised as the same drive.
    config.driveID = "5A7E0C1E-0000-4000-8000-00000000D15C";
    config.driveName = std::move(driveName);
    config.destinationPath = destination.string();
    config.mode = mode;
    config.deleteRemovedFiles = deleteRemovedFiles;
    for (std::string& source : sources)
        config.sources.push_back(SourceItem{Uuid::random(), std::move(source)});
    return config;
}

std::string english(std::string_view key) {
    return Localizer::text(key, AppLanguage::english);
}

bool capabilitiesRequired() {
    const char* ci = std::getenv("CI");
    return ci != nullptr && std::string_view{ci} == "true";
}

int shell(const std::string& command) {
    int status = std::system((command + " >/dev/null 2>&1").c_str());
    if (status == -1 || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

namespace {

std::string quoted(const fs::path& path) {
    return "'" + path.string() + "'";
}

bool haveTool(const char* name) {
    return shell(std::string{"command -v "} + name) == 0;
}

// The mount point as /proc/self/mountinfo lists it (it escapes blanks, but temp paths have none).
bool isMountPoint(const fs::path& path) {
    std::ifstream info("/proc/self/mountinfo");
    std::string line;
    const std::string needle = " " + path.string() + " ";
    while (std::getline(info, line)) {
        if (line.find(needle) != std::string::npos)
            return true;
    }
    return false;
}

} // namespace

std::string MountedImage::unavailableReason(Kind kind) {
    if (::geteuid() != 0)
        return "needs root to mount file system images";
    switch (kind) {
    case Kind::ext4:
        if (::access("/dev/loop-control", F_OK) != 0)
            return "no loop devices (/dev/loop-control)";
        if (!haveTool("mkfs.ext4"))
            return "mkfs.ext4 missing (e2fsprogs)";
        break;
    case Kind::fat:
        if (::access("/dev/fuse", F_OK) != 0)
            return "no /dev/fuse";
        if (!haveTool("mkfs.fat") || !haveTool("fusefat"))
            return "mkfs.fat or fusefat missing (dosfstools, fusefat)";
        break;
    case Kind::exfat:
        if (::access("/dev/fuse", F_OK) != 0 || ::access("/dev/loop-control", F_OK) != 0)
            return "no /dev/fuse or no loop devices";
        if (!haveTool("mkfs.exfat") || !haveTool("mount.exfat-fuse"))
            return "mkfs.exfat or mount.exfat-fuse missing (exfatprogs, exfat-fuse)";
        break;
    }
    if (!haveTool("fusermount") && !haveTool("fusermount3") && kind != Kind::ext4)
        return "fusermount missing (fuse3)";
    return {};
}

MountedImage::MountedImage(Kind kind, const fs::path& workDir, int megabytes, std::string& whyNot)
    : m_kind(kind) {
    whyNot = unavailableReason(kind);
    if (!whyNot.empty())
        return;
    static int counter = 0;
    const std::string tag = std::to_string(::getpid()) + "-" + std::to_string(++counter);
    m_image = workDir / ("image-" + tag + ".img");
    m_mountPoint = workDir / ("mnt-" + tag);
    fs::create_directories(m_mountPoint);
    if (shell("truncate -s " + std::to_string(megabytes) + "M " + quoted(m_image)) != 0) {
        whyNot = "truncate failed";
        return;
    }
    int status = -1;
    switch (kind) {
    case Kind::ext4:
        status = shell("mkfs.ext4 -F -q -m 0 " + quoted(m_image)) == 0
                     ? shell("mount -o loop " + quoted(m_image) + " " + quoted(m_mountPoint))
                     : -1;
        break;
    case Kind::fat:
        // fusefat's time conversions depend on the time zone; UTC keeps them plain.
        status =
            shell("mkfs.fat -n KBTEST " + quoted(m_image)) == 0
                ? shell("TZ=UTC fusefat -o rw+ " + quoted(m_image) + " " + quoted(m_mountPoint))
                : -1;
        break;
    case Kind::exfat: {
        if (shell("mkfs.exfat -L KBTEST " + quoted(m_image)) != 0)
            break;
        std::string command = "losetup -f --show " + quoted(m_image);
        FILE* pipe = ::popen(command.c_str(), "r");
        char buffer[128] = {};
        if (pipe != nullptr) {
            if (std::fgets(buffer, sizeof buffer, pipe) != nullptr)
                m_loopDevice = buffer;
            ::pclose(pipe);
        }
        while (!m_loopDevice.empty() && (m_loopDevice.back() == '\n'))
            m_loopDevice.pop_back();
        if (m_loopDevice.empty())
            break;
        status = shell("mount.exfat-fuse " + m_loopDevice + " " + quoted(m_mountPoint));
        break;
    }
    }
    m_mounted = status == 0 && isMountPoint(m_mountPoint);
    if (!m_mounted) {
        whyNot = "could not make or mount the image";
        unmount();
    }
}

bool MountedImage::remountReadOnly() {
    return shell("mount -o remount,ro " + quoted(m_mountPoint)) == 0;
}

void MountedImage::unmount() {
    if (!m_mountPoint.empty() && isMountPoint(m_mountPoint)) {
        if (m_kind == Kind::ext4) {
            if (shell("umount " + quoted(m_mountPoint)) != 0)
                shell("umount -l " + quoted(m_mountPoint));
        } else {
            for (int attempt = 0; attempt < 50 && isMountPoint(m_mountPoint); ++attempt) {
                if (shell("fusermount -u " + quoted(m_mountPoint)) != 0 &&
                    shell("umount " + quoted(m_mountPoint)) != 0)
                    ::usleep(100 * 1000);
            }
            if (isMountPoint(m_mountPoint))
                shell("umount -l " + quoted(m_mountPoint));
        }
    }
    if (!m_loopDevice.empty()) {
        // The FUSE daemon may still hold the device for a moment after the unmount; -d then
        // marks it to go away when released.
        shell("losetup -d " + m_loopDevice);
        m_loopDevice.clear();
    }
    std::error_code ec;
    if (!m_mountPoint.empty() && !isMountPoint(m_mountPoint))
        fs::remove(m_mountPoint, ec);
    if (!m_image.empty())
        fs::remove(m_image, ec);
    m_mounted = false;
}

MountedImage::~MountedImage() {
    unmount();
}

WithoutFileCapabilities::WithoutFileCapabilities() {
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return;
    m_saved[0] = data[0].effective;
    m_saved[1] = data[1].effective;
    const std::uint32_t drop = (1u << CAP_DAC_OVERRIDE) | (1u << CAP_DAC_READ_SEARCH);
    data[0].effective &= ~drop;
    m_active = ::syscall(SYS_capset, &header, data) == 0;
}

WithoutFileCapabilities::~WithoutFileCapabilities() {
    if (!m_active)
        return;
    __user_cap_header_struct header{_LINUX_CAPABILITY_VERSION_3, 0};
    __user_cap_data_struct data[2]{};
    if (::syscall(SYS_capget, &header, data) != 0)
        return;
    data[0].effective = m_saved[0];
    data[1].effective = m_saved[1];
    ::syscall(SYS_capset, &header, data);
}

} // namespace keelbox::test
