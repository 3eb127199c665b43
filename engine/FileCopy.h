#pragma once
// One file of a run: where it lies, the skip-unchanged rule, the copy itself and what became of
// it, and the issues made of what went wrong.

#include "engine/BackupEngine.h"
#include "engine/FileOps.h"
#include "engine/StatWorker.h"

#include <string>
#include <string_view>
#include <sys/stat.h>
#include <sys/types.h>

namespace keelbox::detail {

// Where an item lies, kept as views so that the texts of an issue are built only when one is made.
struct Where {
    std::string_view sourceBase; // full path of the walked source folder (or of a listed file)
    std::string_view targetBase; // full path of its copy
    std::string_view shownPrefix;
    std::string_view rel; // below both bases; empty for the bases themselves

    std::string source() const { return joinPath(sourceBase, rel); }
    std::string target() const { return joinPath(targetBase, rel); }
    std::string shown() const;
};

enum class FileOp {
    openSource,
    readSource,
    listFolder,
    openFolder,
    createFolder,
    createCopy,
    writeCopy,
    finishCopy,
    removeOld,
    remove
};

// An errno error of `op` on `file` turned into the run's issue about `shown`.
void addFileIssue(Tally& tally, int error, FileOp op, const std::string& file, std::string shown);
// An issue of the engine's own (a refusal), with texts looked up in the run's language.
void addEngineIssue(Tally& tally, std::string path, std::string_view reasonKey,
                    std::string_view hintKey, std::string systemMessage = {});

// What became of one file, taken into the run's counters, issues and progress in walk order.
struct FileOutcome {
    enum class Kind : unsigned char { uncounted, skipped, copied, failed, notRegular };
    // Which path a failure names: the drive's file, its copy, or the folder the copy needed.
    enum class Subject : unsigned char { source, target, folder };
    Kind kind = Kind::uncounted;
    Subject subject = Subject::source;
    FileOp op = FileOp::openSource;
    int error = 0;
    Int64 size = 0;
};

// One file to copy, with everything the copying needs owned, so that any thread can do it.
struct CopyJob {
    int srcDir = -1;
    int dstDir = -1;
    std::string srcName;
    std::string dstName;
    bool targetMissing = false;
    bool srcStatDeferred = false;
    FileOutcome outcome;
};

// On the walking thread: true when the file must be copied (`job` is then ready for
// performCopy); false when `job.outcome` is final already (unchanged, or no folder for it).
bool decideCopy(int srcDir, const char* srcName, const struct stat& srcStat, int dstDir,
                int dstError, const char* dstName, const StatSlot* knownTarget,
                bool srcStatDeferred, CopyJob& job);
// Copies the file into `job.outcome`. Safe on any thread: of the tally it uses only what is
// shared between the copying threads. `buffer` holds Tally::copyBufferSize bytes.
void performCopy(Tally& tally, CopyJob& job, char* buffer);
// Counts the outcome, adds its issue and reports progress; on the walking thread.
void applyOutcome(Tally& tally, const Where& where, const char* name, const FileOutcome& outcome);

// Copies one regular file unless its copy is up to date. `dstDir` is the open folder of the copy;
// when it is -1 the copy fails with `dstError` (a folder that could not be made). `knownTarget`
// holds the copy's values when they were already read. With `srcStatDeferred` the source's values
// are taken from the opened file (`srcStat` is not used).
void copyOne(Tally& tally, const Where& where, int srcDir, const char* srcName,
             const struct stat& srcStat, int dstDir, int dstError, const char* dstName,
             const StatSlot* knownTarget = nullptr, bool srcStatDeferred = false);

// The verb of an operation, for the system message of an issue ("Could not <verb> …").
std::string_view operationText(FileOp op);

// The names partial copies get: the prefix, the process, a counter of the run.
inline constexpr char partialPrefix[] = ".keelbox-partial-";

// Whether `name` is a partial copy of a run that is still going (another Keelbox process writing
// into the same folder); this run's own have all been renamed or deleted by the time it prunes.
bool partialOfLiveRun(const char* name, pid_t self);

} // namespace keelbox::detail
