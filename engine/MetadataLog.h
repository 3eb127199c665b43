#pragma once
// The pre-count's reads of a drive, kept for the copy walk that follows.

#include "engine/StatWorker.h"

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <memory>
#include <string_view>
#include <sys/stat.h>
#include <vector>

namespace keelbox::detail {

// What the pre-count of a run read about the drive's entries, in the order it read them, for the
// copy walk that follows in the same order: with progress shown, the drive's metadata is then
// read once instead of twice. Each record carries the entry's inode number from the listing and
// a hash of its name and folder, and the copy walk takes a record only when both match its own
// listing; at the first mismatch (the drive changed in between) it stops using the log and reads
// for itself. The log holds at most `capacity` records (8 MiB: every entry of a drive of a
// quarter of a million files), so memory stays bounded whatever the drive holds; entries beyond
// that are read again, and the records the walk has taken are freed block by block. The log is
// good for as long after the pre-count as the pre-count took, and at least `freshFor`: the
// drive is then seen as it was at most that long before the walk reaches an entry, and a file
// changed while a long run is under way is seen as it is then, not as the pre-count found it.
class MetadataLog {
public:
    static constexpr std::size_t blockSize = 4096; // records, 128 KiB
    static constexpr std::size_t capacity = 64 * blockSize;
    static constexpr std::chrono::milliseconds freshFor{2000};

    MetadataLog() : m_started(std::chrono::steady_clock::now()) {}

    // Key of an entry: its name in the `folder`-th folder of the walk.
    static std::uint32_t key(std::string_view name, std::uint32_t folder);

    // Records one entry's read (a failed read is recorded too, and is then read again later).
    void record(ino_t inode, std::uint32_t key, const StatSlot& slot);
    // The next record, when it is about this entry: fills `slot` and returns true. Otherwise the
    // log is abandoned for the rest of the run.
    bool take(ino_t inode, std::uint32_t key, StatSlot& slot);
    // Called when the pre-count is over: the log is good for as long as the pre-count took (at
    // least `freshFor`) from now.
    void seal();
    // Whether records are left and still fresh; once stale the log is dropped.
    bool active();

    // The number of the next folder each walk enters; both walks visit folders in the same order.
    std::uint32_t enterRecordedFolder() { return m_recordedFolders++; }
    std::uint32_t enterTakenFolder() { return m_takenFolders++; }

private:
    struct Record {
        std::uint64_t inode;
        std::int64_t size; // below 2^52; the top bits hold the permission bits
        std::int64_t seconds;
        std::uint32_t nanoseconds; // below 2^30; the top bits hold the kind
        std::uint32_t key;
    };
    static_assert(sizeof(Record) == 32);
    void drop();

    // Blocks of `blockSize` records; the ones before m_next's are already freed.
    std::vector<std::unique_ptr<Record[]>> m_blocks;
    std::size_t m_size = 0;
    std::size_t m_next = 0;
    std::chrono::steady_clock::time_point m_started;
    std::chrono::steady_clock::time_point m_until{};
    std::uint32_t m_recordedFolders = 0;
    std::uint32_t m_takenFolders = 0;
};

} // namespace keelbox::detail
