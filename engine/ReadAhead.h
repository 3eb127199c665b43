#pragma once
// Reading a drive's trees many folders at a time when the walk would wait for the disk.
//
// A run over a drive just plugged in spends its time waiting: each stat of the walk asks for one
// inode, and the next is asked for only when the first has come. Disks (and the USB and loop
// layers in front of them) answer many requests at once almost as fast as one. So a pool of
// threads goes through the same trees in the same order, several folders at a time, listing each
// and reading the values of its entries on the drive, in the copy and in the earlier day folder:
// by the time the walk asks, the answer is in the cache. Only the totals of the pre-count are
// taken from what the pool reads; the walk still reads every value itself.
//
// The pool costs nothing on a warm cache: it starts only when the walk (or the pre-count)
// reports slow reads, and it stops (keeping its place) once the folders it reads no longer wait
// for the disk. Every folder is opened below its root with openat2 (no symbolic link, no other
// file system, nothing above the root), so a drive's contents cannot lead it anywhere else; a
// folder seen before is not read again, and the pool holds a bounded number of folders to read.

#include "engine/Tally.h"

#include <array>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unordered_set>
#include <vector>

namespace keelbox::detail {

class ReadAhead {
public:
    static constexpr unsigned threadCount = 16;
    // Folders waiting to be read, and folders remembered as read; beyond either bound the pool
    // reads no further folders (the walk then reads them for itself).
    static constexpr std::size_t pendingLimit = 1u << 16;
    static constexpr std::size_t seenLimit = 1u << 18;

    ReadAhead();
    ~ReadAhead();
    ReadAhead(const ReadAhead&) = delete;
    ReadAhead& operator=(const ReadAhead&) = delete;

    // A tree the walk is going to read: the drive's folder `drive`, and where given the copy's
    // folder for it and the earlier day's (-1 where there is none). The descriptors are
    // duplicated.
    void add(int drive, int copy, int previous);

    // The walk's reads count as slow (the disk is being waited for) above this time per value,
    // and above `slowBatch` for the whole batch, so that a batch that is merely preempted on a
    // busy machine does not start the pool.
    static constexpr auto slowRead = std::chrono::microseconds{5};
    static constexpr auto slowBatch = std::chrono::milliseconds{1};
    static bool slow(std::chrono::nanoseconds spent, std::size_t reads) {
        return spent >= slowBatch && spent >= slowRead * reads;
    }

    // Starts the pool without waiting for the walk to be slow.
    void start();

    // From the walk's thread after a slow batch, with the blocks the walk's threads have read
    // from a disk so far. When the batch was slow because the disk was read, the pool starts
    // (again). True when the pool is reading.
    bool observeSlowBatch(long blocksRead);

    // Reads every tree on every side with the whole pool, and returns the regular files below
    // the drive's trees and their sizes, as the pre-count counts them. Nothing when the pool
    // could not read every folder of the drive (a kernel without openat2, or beyond its bounds):
    // the caller then counts for itself.
    std::optional<Totals> count();

    // The same count without waiting: the pool reads the drive's trees (the other sides only
    // where the drive waited for the disk), and countedInBackground() tells once it is over.
    void countInBackground();
    enum class Counted : unsigned char { pending, done, failed };
    Counted countedInBackground() const { return m_counted.load(std::memory_order_acquire); }
    // The totals of a count that is done.
    Totals totals() const;
    // Whether the pool is reading (the walk's reads waited for the disk).
    bool reading() const;
    // Whether the pool has read anything at all.
    bool everRead() const;

private:
    // The drive's folder, the copy's and the earlier day's.
    static constexpr std::uint8_t driveSide = 0;
    static constexpr std::uint8_t sideCount = 3;
    struct Root {
        std::array<int, sideCount> sides{-1, -1, -1};
    };
    struct Pending {
        std::uint32_t root;
        std::uint8_t side;
        std::uint32_t depth;
        std::string path; // below the root, "" for the root itself
    };
    // What reading one folder found.
    struct Found {
        std::vector<Pending> folders; // the drive folder's subfolders, in listing order
        Totals files;
        bool waited = false;  // on the disk
        bool complete = true; // every subfolder made it into `folders`
    };

    void wake();
    void work();
    void finishBackgroundCount();
    void push(Pending folder);
    void readFolder(const Pending& folder, Found& found);
    bool firstVisit(int fd);

    mutable std::mutex m_mutex;
    std::condition_variable m_changed;
    std::vector<std::thread> m_threads;
    std::vector<Root> m_roots;
    std::vector<Pending> m_pending; // a stack: the walk's order, first subfolder on top
    std::unordered_set<std::uint64_t> m_seen;
    std::atomic<bool> m_quitting{false};
    bool m_running = false;
    bool m_counting = false;
    bool m_countingInBackground = false;
    std::atomic<Counted> m_counted{Counted::pending};
    bool m_unsupported = false;
    bool m_incomplete = false;
    unsigned m_busy = 0;
    unsigned m_warmStreak = 0;
    // The walk's blocks read at its last slow batch (the walk's thread alone uses it).
    long m_blocksSeen = 0;
    // Where the block count shows nothing, the time a read takes tells whether it waited.
    std::atomic<bool> m_timeTells{false};
    Totals m_totals;
};

} // namespace keelbox::detail
