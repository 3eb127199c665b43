#pragma once
// One file of a run: where it lies, the skip-unchanged rule, the copy itself and what became of
// it, and the issues made of what went wrong.

#include "engine/FileOps.h"
#include "engine/StatWorker.h"
#include "engine/Tally.h"

#include <cstring>
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
    enum class Kind : unsigned char {
        uncounted,
        skipped,
        copied,
        linked,   // hard-linked from the earlier day folder
        changing, // kept changing while copied; the copy is in place but marked outdated
        failed,
        notRegular
    };
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
    // The earlier day folder holding an unchanged copy under the same name, to link from.
    int linkDir = -1;
    std::string srcName;
    std::string dstName;
    // A folder sits at the copy's name; it goes only once the new file is complete.
    bool replaceFolder = false;
    // Nothing was at the copy's name when the walk looked.
    bool targetAbsent = false;
    bool srcStatDeferred = false;
    FileOutcome outcome;
};

// One regular file of the drive and where its copy goes.
struct Candidate {
    int srcDir = -1;
    const char* srcName = nullptr;
    const struct stat* srcStat = nullptr;
    // The source's values are taken from the opened file (`srcStat` is not used).
    bool srcStatDeferred = false;
    // The open folder of the copy; when -1 the copy fails with `dstError` (a folder that could
    // not be made).
    int dstDir = -1;
    int dstError = 0;
    const char* dstName = nullptr;
    // The copy's values when they were already read.
    const StatSlot* knownTarget = nullptr;
    // The same folder in the earlier day folder (dated mode), and its entry's values when read.
    int previousDir = -1;
    const StatSlot* knownPrevious = nullptr;
};

// On the walking thread: true when the file must be copied or linked (`job` is then ready for
// performCopy); false when `job.outcome` is final already (unchanged, or no folder for it).
bool decideCopy(Tally& tally, const Candidate& file, CopyJob& job);
// Copies the file into `job.outcome`. Safe on any thread: it reads the run's rules and changes
// only the state the copying threads share. `buffer` holds Tally::copyBufferSize bytes.
void performCopy(const RunRules& rules, SharedRunState& shared, CopyJob& job, char* buffer);
// Counts the outcome, adds its issue and reports progress; on the walking thread.
void applyOutcome(Tally& tally, const Where& where, const char* name, const FileOutcome& outcome);

// Copies one regular file unless its copy is up to date.
void copyOne(Tally& tally, const Where& where, const Candidate& file);

// The verb of an operation, for the system message of an issue ("Could not <verb> …").
std::string_view operationText(FileOp op);

// The names partial copies get: the prefix, the process, a counter of the run.
inline constexpr char partialPrefix[] = ".keelbox-partial-";
inline bool isPartialName(const char* name) {
    return std::strncmp(name, partialPrefix, sizeof partialPrefix - 1) == 0;
}

// Whether `name` is a partial copy of a run that is still going (another Keelbox process writing
// into the same folder); this run's own have all been renamed or deleted by the time it prunes.
bool partialOfLiveRun(const char* name, pid_t self);

} // namespace keelbox::detail
