#pragma once
// The descriptor-based walks of one run: copying a tree (pruning the copy on the way) and the
// pre-count.

#include "engine/FileCopy.h"
#include "engine/MetadataLog.h"

#include <string>
#include <string_view>
#include <sys/stat.h>

namespace keelbox::detail {

// What a copy walk removes from the copy besides copying, folder by folder once each is copied:
// with `mirror`, everything the drive's folder no longer holds (from the listings the walk reads
// anyway, without walking both trees a second time); with `sweepPartials`, the partial copies
// that a run cut short left behind. Nothing on another file system than `device` is touched.
struct CopyCleanup {
    dev_t device = 0;
    bool mirror = false;
    bool sweepPartials = false;
};

// The folders of the copy that one folder of the drive is walked into.
struct CopyFolders {
    int dst = -1;          // the copy's folder; -1 when it could not be opened or made
    int dstError = 0;      // then the errno each file below fails with
    bool dstFresh = false; // made just now by the walk, so nothing in it needs looking at
    int previous = -1;     // the same folder in the earlier day folder of a dated run, or -1
};

// Copies the contents of the open source folder `source` into `to`, cleaning up as `cleanup`
// says; unchanged copies in the earlier day folder are linked.
void copyContents(Tally& tally, const Where& root, int source, const CopyFolders& to,
                  const CopyCleanup& cleanup);

// Removes the partial copies below the open folder `folder` that no running Keelbox process is
// writing; nothing on another file system than `device` is touched.
void sweepPartials(int folder, dev_t device, pid_t self);

// The name in a form that is the same for names a case-insensitive disk takes for one.
std::string foldCase(std::string_view name);
// Whether a disk that keeps Windows-compatible names (FAT, exFAT) can store `name`.
bool nameStorable(std::string_view name);

class ReadAhead;

// Adds the regular files below the open folder `source` and their sizes; what it reads goes into
// `log` when given. The time its reads take goes to `ahead`, when given: false when that started
// the read-ahead, which then counts instead (the totals are then partial).
bool countContents(int source, Totals& totals, StatWorker& worker, MetadataLog* log = nullptr,
                   ReadAhead* ahead = nullptr);

} // namespace keelbox::detail
