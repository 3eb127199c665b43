#pragma once
// What a run finds out before it copies: the sources to walk, what the drive and the backup disk
// can keep, and the earlier day folder of a dated run.

#include "engine/FileOps.h"
#include "engine/Tally.h"

#include <string>
#include <vector>

namespace keelbox::detail {

// The sources a run walks, in list order: one listed again, or lying inside a folder that is
// listed too (the whole drive holds every other), is left to the first or the outer one.
std::vector<const SourceItem*> distinctSources(const std::vector<SourceItem>& sources);

// Opens the folders `components` below `base` as they are, never through a link; none when one
// is missing.
UniqueFd openExistingChain(int base, const std::vector<std::string>& components, std::size_t count);

// Whether the drive at the open folder `root` keeps no permissions of its own (FAT, exFAT, NTFS).
bool keepsNoPermissions(int root);

// Sets the tally's caseInsensitiveDestination and restrictedNames from probes in the open backup
// folder `folder`.
void probeDestination(Tally& tally, int folder);

// The name of the newest day folder ("yyyy-MM-dd") in the open drive folder; empty when none.
std::string newestDayFolder(int driveFolder);
// The newest day folder before `today` beside the open day folder `dayFolder`, opened; sweeps the
// partial copies that cut-short runs left in earlier day folders (`runRecord`: the extended
// attribute a run keeps on its folder while it is under way).
UniqueFd earlierDayFolders(int dayFolder, const std::string& today, dev_t device,
                           const char* runRecord);

} // namespace keelbox::detail
