#pragma once
// The descriptor-based walks of one run: copying a tree, pruning the copy and the pre-count. The
// public path-based operations in BackupEngine.h open the two roots and hand them here.

#include "engine/FileCopy.h"
#include "engine/MetadataLog.h"

#include <string>
#include <string_view>
#include <sys/stat.h>

namespace keelbox::detail {

// What a copy walk removes from the copy besides copying, folder by folder once each is copied:
// with `mirror`, everything the drive's folder no longer holds (the outcome of pruneContents
// afterwards, without walking both trees a second time); with `sweepPartials`, the partial copies
// that a run cut short left behind. Nothing on another file system than `device` is touched.
struct CopyCleanup {
    dev_t device = 0;
    bool mirror = false;
    bool sweepPartials = false;
};

// Copies the contents of the open source folder `source` into the folder `dstDir` (or fails each
// file with `dstError` when it is -1), cleaning up as `cleanup` says.
void copyContents(Tally& tally, const Where& root, int source, int dstDir, int dstError,
                  const CopyCleanup& cleanup = {});

// Deletes from `dstDir` what `srcDir` does not hold; `srcDir` -1 means that nothing exists there
// on the drive. `device` is the copy's file system.
void pruneContents(Tally& tally, std::string_view targetBase, int srcDir, int dstDir, dev_t device);

// Adds the regular files below the open folder `source` and their sizes; what it reads goes into
// `log` when given.
void countContents(int source, Totals& totals, StatWorker& worker, MetadataLog* log = nullptr);

} // namespace keelbox::detail
