#include "engine/BackupFolder.h"

#include "engine/RunSetup.h"

#include <nlohmann/json.hpp>

#include <cerrno>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
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

bool markRunUnderWay(int folder) {
    char value[16];
    if (sysCalls().fgetxattr(folder, runningAttribute, value, sizeof value) >= 0)
        return true;
    if (errno == ENOTSUP || errno == ENOSYS)
        return true;
    sysCalls().fsetxattr(folder, runningAttribute, "1", 1, 0);
    return false;
}

// The owner mark: small, so anything larger is not one. Read past the engine's system-call seam,
// whose faults are meant for the drive's files.
std::optional<std::string> readSmallFile(int folder, const char* name) {
    FileContent content = readFileAt(folder, name, 64 * 1024, FileLinks::refuse);
    if (!content.ok())
        return std::nullopt;
    return std::move(content.text);
}

// Replaced as a whole, so that a mark is never half there.
bool writeOwnerMark(int folder, const OwnerMark& mark) {
    if (writeFileAtomicallyAt(folder, std::string(ownerMarkName), encodeOwnerMark(mark)))
        return false;
    sysCalls().fsetxattr(folder, legacyOwnerAttribute, mark.driveID.data(), mark.driveID.size(), 0);
    return true;
}

std::optional<std::string> legacyOwner(int folder) {
    char recorded[256];
    const ssize_t length =
        sysCalls().fgetxattr(folder, legacyOwnerAttribute, recorded, sizeof recorded);
    if (length < 0)
        return errno == ERANGE ? std::optional<std::string>{std::string()} : std::nullopt;
    return std::string{recorded, static_cast<std::size_t>(length)};
}

// Whether the folder holds nothing but its mark.
bool holdsNothing(int folder) {
    DirStream listing{UniqueFd{openAt(folder, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC)}};
    int error = 0;
    while (const dirent64* entry = listing.next(error)) {
        if (std::string_view{entry->d_name} != ownerMarkName)
            return false;
    }
    return listing.valid() && error == 0;
}

// Opens the folder `path` (absolute, resolved), making it and its parents; the last component is
// never followed when it is a link.
UniqueFd openMadeFolder(const fs::path& path, int& error, bool* created = nullptr) {
    std::error_code ec;
    if (!fs::create_directories(path.parent_path(), ec) && ec) {
        error = ec.value();
        return UniqueFd{};
    }
    UniqueFd parent{
        openAt(AT_FDCWD, path.parent_path().c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC)};
    if (!parent.valid()) {
        error = errno;
        return parent;
    }
    return UniqueFd{
        openOrMakeFolder(parent.get(), path.filename().c_str(), LinkInWay::refuse, error, created)};
}

} // namespace

std::string encodeOwnerMark(const OwnerMark& mark) {
    nlohmann::json object{{"driveID", mark.driveID}, {"volumeUUID", mark.volumeUUID}};
    if (!mark.hardware.empty())
        object["hardware"] = mark.hardware;
    if (mark.size > 0)
        object["size"] = mark.size;
    return object.dump(2, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
}

std::optional<OwnerMark> decodeOwnerMark(std::string_view text) {
    const nlohmann::json object = nlohmann::json::parse(text, nullptr, false);
    if (!object.is_object())
        return std::nullopt;
    const auto id = object.find("driveID");
    if (id == object.end() || !id->is_string())
        return std::nullopt;
    OwnerMark mark{id->get<std::string>(), {}, {}, 0};
    if (const auto uuid = object.find("volumeUUID"); uuid != object.end() && uuid->is_string())
        mark.volumeUUID = uuid->get<std::string>();
    if (const auto hardware = object.find("hardware");
        hardware != object.end() && hardware->is_string())
        mark.hardware = hardware->get<std::string>();
    if (const auto size = object.find("size"); size != object.end() && size->is_number_integer())
        mark.size = size->get<Int64>();
    return mark;
}

FolderOwner decideOwner(bool empty, const std::optional<OwnerMark>& mark,
                        const std::optional<std::string>& legacyOwnerID,
                        const DriveFingerprint& drive) {
    // The mark is compared as it is stored: what it could not keep (invalid UTF-8) the drive's
    // identity loses too.
    const std::optional<OwnerMark> stored =
        decodeOwnerMark(encodeOwnerMark({drive.driveID, {}, {}, 0}));
    const std::string id = stored ? stored->driveID : drive.driveID;
    if (mark) {
        if (mark->driveID == id)
            return FolderOwner::ours;
        if (mark->volumeUUID.empty() || mark->volumeUUID != drive.volumeUUID)
            return FolderOwner::foreign;
        // The same file system UUID: the drive set up again, or a clone. Only the device's own
        // identity and an unchanged size tell them apart; a mark of an earlier release, which
        // recorded neither, is not enough.
        const bool sameDevice = !mark->hardware.empty() && mark->hardware == drive.hardware;
        const bool sameSize = mark->size == 0 || mark->size == drive.size;
        return sameDevice && sameSize ? FolderOwner::adopted : FolderOwner::clone;
    }
    if (empty)
        return FolderOwner::ours;
    if (legacyOwnerID)
        return *legacyOwnerID == drive.driveID ? FolderOwner::ours : FolderOwner::foreign;
    return FolderOwner::unmarked;
}

PreparedFolder prepareBackupFolder(const DestinationPlan& plan, const DriveFingerprint& drive) {
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
    if (sysCalls().flock(driveFolder, LOCK_EX | LOCK_NB) != 0 && errno == EWOULDBLOCK) {
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
    case FolderOwner::clone:
        out.reasonKey = "engine.folderForeign";
        out.hintKey = "engine.folderCloneHint";
        return out;
    case FolderOwner::unmarked:
        out.reasonKey = "engine.folderNotOurs";
        out.hintKey = "engine.folderNotOursHint";
        return out;
    case FolderOwner::adopted:
        out.adopted = true;
        break;
    case FolderOwner::ours:
        break;
    }
    OwnerMark wanted = drive;
    // What this run cannot see (a plain folder as the drive) keeps what the mark knew.
    if (mark && wanted.volumeUUID.empty())
        wanted = {drive.driveID, mark->volumeUUID, mark->hardware, mark->size};
    // A mark that cannot be written (a read-only disk) fails safe: the files the run then writes,
    // if any, make the next run find an unmarked folder and leave it alone.
    if (mark != wanted)
        writeOwnerMark(driveFolder, wanted);

    // Earlier days never change: with the clock set back (or the time zone moved west) today's
    // name sorts before the newest day folder, and the run writes nowhere rather than into an
    // earlier day or a day that would sort before content older than it.
    if (!plan.dayFolder.empty()) {
        const std::string today = plan.dayFolder.filename().string();
        const std::string newest = newestDayFolder(driveFolder);
        if (today < newest) {
            out.reasonKey = "engine.dayBeforeNewest";
            out.hintKey = "engine.dayBeforeNewestHint";
            out.detail = today + " < " + newest;
            return out;
        }
    }

    if (plan.dayFolder.empty()) {
        out.folder.reset(sysCalls().dupFd(driveFolder));
    } else if (plan.dayFolder.parent_path() == plan.driveFolder) {
        out.folder.reset(openOrMakeFolder(driveFolder, plan.dayFolder.filename().c_str(),
                                          LinkInWay::refuse, out.error));
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

void finishBackupFolder(PreparedFolder& folder, bool complete) {
    if (folder.folder.valid())
        sysCalls().fremovexattr(folder.folder.get(), runningAttribute);
    if (complete && folder.driveFolder.valid())
        sysCalls().utimensat(folder.driveFolder.get(), ownerMarkName.data(), nullptr,
                             AT_SYMLINK_NOFOLLOW);
}

} // namespace keelbox::detail

namespace keelbox {

std::optional<Date> lastBackupTime(const std::filesystem::path& driveFolder,
                                   std::string_view driveID) {
    const UniqueFd folder(
        detail::openAt(AT_FDCWD, driveFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC));
    if (!folder.valid())
        return std::nullopt;
    const std::optional<std::string> text =
        detail::readSmallFile(folder.get(), detail::ownerMarkName.data());
    const std::optional<detail::OwnerMark> mark =
        text ? detail::decodeOwnerMark(*text) : std::nullopt;
    struct stat st {};
    if (!mark || mark->driveID != driveID ||
        sysCalls().fstatat(folder.get(), detail::ownerMarkName.data(), &st, AT_SYMLINK_NOFOLLOW) !=
            0)
        return std::nullopt;
    return std::chrono::time_point_cast<std::chrono::microseconds>(
        std::chrono::sys_seconds(std::chrono::seconds(st.st_mtim.tv_sec)) +
        std::chrono::microseconds(st.st_mtim.tv_nsec / 1000));
}

} // namespace keelbox
