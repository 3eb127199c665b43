#include "engine/BackupFolder.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

namespace keelbox::detail {

namespace fs = std::filesystem;

namespace {

// The mark of releases that kept it only in an extended attribute, which FAT and exFAT cannot
// store. Still honoured, and still written where it can be, so that both agree.
constexpr const char* legacyOwnerAttribute = "user.keelbox.driveID";

// A run records on the backup folder that it is under way and takes the record off when it ends
// (a stop request ends it too). Found at the start, the record says that the last run was cut
// short (killed, or the power went), which can leave partial copies of replaced files behind:
// this run then sweeps them from every folder it visits, however it is configured. A file system
// without extended attributes (FAT, exFAT) keeps no record: there every run sweeps.
constexpr const char* runningAttribute = "user.keelbox.running";

bool markRunUnderWay(int folder) {
    char value[16];
    if (::fgetxattr(folder, runningAttribute, value, sizeof value) >= 0)
        return true;
    if (errno == ENOTSUP || errno == ENOSYS)
        return true;
    ::fsetxattr(folder, runningAttribute, "1", 1, 0);
    return false;
}

std::optional<std::string> readSmallFile(int folder, const char* name) {
    Fd file{::openat(folder, name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC)};
    if (!file.valid())
        return std::nullopt;
    char buffer[4096];
    std::string text;
    for (;;) {
        const ssize_t got = ::read(file.get(), buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            return std::nullopt;
        if (got == 0)
            return text;
        text.append(buffer, static_cast<std::size_t>(got));
        if (text.size() > 64 * 1024)
            return std::nullopt;
    }
}

// Written beside and renamed into place, so that a mark is never half there.
bool writeOwnerMark(int folder, const OwnerMark& mark) {
    const std::string text = encodeOwnerMark(mark);
    const std::string temp = std::string(ownerMarkName) + ".new";
    Fd file{
        openAt(folder, temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0644)};
    if (!file.valid())
        return false;
    const bool written =
        ::write(file.get(), text.data(), text.size()) == static_cast<ssize_t>(text.size()) &&
        ::fsync(file.get()) == 0;
    file.reset();
    if (!written ||
        ::renameat(folder, temp.c_str(), folder, std::string(ownerMarkName).c_str()) != 0) {
        ::unlinkat(folder, temp.c_str(), 0);
        return false;
    }
    ::fsetxattr(folder, legacyOwnerAttribute, mark.driveID.data(), mark.driveID.size(), 0);
    return true;
}

std::optional<std::string> legacyOwner(int folder) {
    char recorded[256];
    const ssize_t length = ::fgetxattr(folder, legacyOwnerAttribute, recorded, sizeof recorded);
    if (length < 0)
        return errno == ERANGE ? std::optional<std::string>{std::string()} : std::nullopt;
    return std::string{recorded, static_cast<std::size_t>(length)};
}

// Whether the folder holds nothing but its mark.
bool holdsNothing(int folder) {
    DirStream listing{Fd{openAt(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)}};
    int error = 0;
    while (const dirent64* entry = listing.next(error)) {
        if (std::string_view{entry->d_name} != ownerMarkName)
            return false;
    }
    return listing.valid() && error == 0;
}

// Opens the folder `path` (absolute, resolved), making it and its parents; the last component is
// never followed when it is a link.
Fd openMadeFolder(const fs::path& path, int& error, bool* created = nullptr) {
    std::error_code ec;
    if (!fs::create_directories(path.parent_path(), ec) && ec) {
        error = ec.value();
        return Fd{};
    }
    Fd parent{openAt(AT_FDCWD, path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!parent.valid()) {
        error = errno;
        return parent;
    }
    return Fd{openOrMakeFolder(parent.get(), path.filename().c_str(), false, error, created)};
}

} // namespace

std::string encodeOwnerMark(const OwnerMark& mark) {
    const nlohmann::json object{{"driveID", mark.driveID}, {"volumeUUID", mark.volumeUUID}};
    return object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<OwnerMark> decodeOwnerMark(std::string_view text) {
    const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
    if (!object.is_object())
        return std::nullopt;
    const auto id = object.find("driveID");
    if (id == object.end() || !id->is_string())
        return std::nullopt;
    OwnerMark mark{id->get<std::string>(), {}};
    if (const auto uuid = object.find("volumeUUID"); uuid != object.end() && uuid->is_string())
        mark.volumeUUID = uuid->get<std::string>();
    return mark;
}

FolderOwner decideOwner(bool empty, const std::optional<OwnerMark>& mark,
                        const std::optional<std::string>& legacyOwnerID,
                        const DriveIdentity& drive) {
    // The mark is compared as it is stored: what it could not keep (invalid UTF-8) the drive's
    // identity loses too.
    const std::optional<OwnerMark> stored = decodeOwnerMark(encodeOwnerMark({drive.driveID, {}}));
    const std::string id = stored ? stored->driveID : drive.driveID;
    if (mark) {
        if (mark->driveID == id)
            return FolderOwner::ours;
        if (!mark->volumeUUID.empty() && mark->volumeUUID == drive.volumeUUID)
            return FolderOwner::adopted;
        return FolderOwner::foreign;
    }
    if (empty)
        return FolderOwner::ours;
    if (legacyOwnerID)
        return *legacyOwnerID == drive.driveID ? FolderOwner::ours : FolderOwner::foreign;
    return FolderOwner::unmarked;
}

PreparedFolder prepareBackupFolder(const DestinationPlan& plan, const DriveIdentity& drive) {
    PreparedFolder out;
    out.failedFolder = plan.shown;
    bool created = false;
    out.driveFolder = openMadeFolder(plan.driveFolder, out.error, &created);
    if (!out.driveFolder.valid())
        return out;
    const int driveFolder = out.driveFolder.get();

    // One writer per drive folder: a second process (another watch, the tray application,
    // `keelbox backup`) reports instead of writing the same copy at the same time. File systems
    // without locks leave the run unlocked.
    if (::flock(driveFolder, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
        out.reasonKey = "engine.folderBusy";
        out.hintKey = "engine.folderBusyHint";
        return out;
    }

    const std::optional<std::string> markText = readSmallFile(driveFolder, ownerMarkName.data());
    const std::optional<OwnerMark> mark = markText ? decodeOwnerMark(*markText) : std::nullopt;
    const bool empty = created || holdsNothing(driveFolder);
    switch (decideOwner(empty, mark, legacyOwner(driveFolder), drive)) {
    case FolderOwner::foreign:
        out.reasonKey = "engine.folderForeign";
        out.hintKey = "engine.folderForeignHint";
        return out;
    case FolderOwner::unmarked:
        out.reasonKey = "engine.folderNotOurs";
        out.hintKey = "engine.folderNotOursHint";
        return out;
    case FolderOwner::ours:
    case FolderOwner::adopted:
        break;
    }
    OwnerMark wanted{drive.driveID, drive.volumeUUID};
    if (wanted.volumeUUID.empty() && mark)
        wanted.volumeUUID = mark->volumeUUID;
    // A mark that cannot be written (a read-only disk) fails safe: the files the run then writes,
    // if any, make the next run find an unmarked folder and leave it alone.
    if (!mark || mark->driveID != wanted.driveID || mark->volumeUUID != wanted.volumeUUID)
        writeOwnerMark(driveFolder, wanted);

    if (plan.dayFolder.empty()) {
        out.folder.reset(::fcntl(driveFolder, F_DUPFD_CLOEXEC, 0));
    } else if (plan.dayFolder.parent_path() == plan.driveFolder) {
        out.folder.reset(
            openOrMakeFolder(driveFolder, plan.dayFolder.filename().c_str(), false, out.error));
    } else {
        // The user's own link for the day folder, vetted with the destination.
        out.folder = openMadeFolder(plan.dayFolder, out.error);
    }
    if (!out.folder.valid())
        return out;
    struct stat st {};
    sysCalls().fstat(out.folder.get(), &st);
    out.device = st.st_dev;
    out.sweepPartials = markRunUnderWay(out.folder.get());
    return out;
}

void finishBackupFolder(PreparedFolder& folder) {
    if (folder.folder.valid())
        ::fremovexattr(folder.folder.get(), runningAttribute);
}

} // namespace keelbox::detail
