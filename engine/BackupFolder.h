#pragma once
// The backup folder of one run: made, checked to belong to the drive, marked as the drive's,
// locked against a second writer, and marked as under way until the run ends.

#include "core/Records.h"
#include "engine/Destination.h"
#include "engine/FileOps.h"

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <sys/types.h>

namespace keelbox::detail {

// The file inside a drive folder that names the drive it belongs to. A file, so that it works on
// every destination file system, FAT and exFAT included. It is never copied or pruned.
inline constexpr std::string_view ownerMarkName = ".keelbox-drive";

// The record a run keeps on its folder while it is under way: found at the start, it says the last
// run there was cut short and left partial copies to sweep.
inline constexpr const char* runningAttribute = "user.keelbox.running";

// Who a run backs up: the configuration's drive identity and, when the drive is a mounted file
// system, that file system's UUID, the device's own identity (VolumeIds::hardware) and the file
// system's size. A drive whose configuration was made anew keeps its folder only when all three
// match what the mark recorded: a clone of the drive's contents (a card flashed from the same
// image) shares the UUID and size, but not the device.
struct DriveFingerprint {
    std::string driveID;
    std::string volumeUUID;
    std::string hardware;
    Int64 size = 0;

    bool operator==(const DriveFingerprint&) const = default;
};

// The mark on a drive folder records the fingerprint of the drive it belongs to.
using OwnerMark = DriveFingerprint;

// The mark's text and its reader (nothing for a text that is not a mark).
std::string encodeOwnerMark(const OwnerMark& mark);
std::optional<OwnerMark> decodeOwnerMark(std::string_view text);

enum class FolderOwner {
    ours,     // made for this drive, or new or empty
    adopted,  // the drive was set up again (same file system and device): the mark now names its
              // new id, and this run deletes nothing
    foreign,  // marked for another drive
    clone,    // marked for another drive with the same file system UUID that cannot be told
              // apart from a clone
    unmarked, // holds files Keelbox did not put there
};

// The decision over what a drive folder holds; pure.
FolderOwner decideOwner(bool empty, const std::optional<OwnerMark>& mark,
                        const std::optional<std::string>& legacyOwnerID,
                        const DriveFingerprint& drive);

struct PreparedFolder {
    UniqueFd driveFolder; // held locked for the run
    UniqueFd folder;      // the folder the sources go into (the day folder in dated mode)
    dev_t device = 0;     // the copy's file system
    // A run that was cut short (or any run where no record can be kept) sweeps partial copies.
    bool sweepPartials = false;
    // When not usable: an errno of the creation, or the text keys.
    int error = 0;
    std::filesystem::path failedFolder;
    std::string reasonKey;
    std::string hintKey;
    std::string detail; // shown as the system message
    // The folder was taken over from the drive's earlier setup: mirroring waits a run.
    bool adopted = false;

    bool usable() const { return folder.valid(); }
};

// Makes the folders of `plan` (the destination with parents, then the drive and day folders
// without following links), locks the drive folder and claims it for `drive`. Nothing is written
// into a folder that is busy, foreign or holds files of its own.
PreparedFolder prepareBackupFolder(const DestinationPlan& plan, const DriveFingerprint& drive);

// Takes the under-way record off again. A run that went to its end (`complete`) stamps the mark
// with the time: when the drive was last backed up here, kept by the copy itself.
void finishBackupFolder(PreparedFolder& folder, bool complete = true);

} // namespace keelbox::detail

namespace keelbox {

// When the drive `driveID` was last backed up completely into `driveFolder`: the time of its mark;
// nothing where the folder has no mark of this drive.
std::optional<Date> lastBackupTime(const std::filesystem::path& driveFolder,
                                   std::string_view driveID);

} // namespace keelbox

namespace keelbox::detail {} // namespace keelbox::detail
