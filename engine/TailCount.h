#pragma once
// Counting a drive's trees from their far end while the walk goes through them from the start.
//
// Over a copy that is there already, a run with progress gets its totals while the walk runs. On
// a warm cache a count that went the walk's way would read every value of the drive a second
// time, on the same cores as the walk. This count goes the other way: the walk's order read
// backwards, the last tree first and in each tree the last folder first, every folder after all
// the folders below it. Each folder is taken by whichever side gets to it first, under one lock;
// the count stops at the first folder the walk has entered. Then every folder belongs to someone:
// to the count, which has counted its files; to the walk, which counts the files of the folders
// it has finished; or it is one the walk is still inside of, and those are the stopping folder and
// the folders above it, whose files the count read on its way down. So the two meet about halfway
// and the drive is read about once and a half, not twice.
//
// Only files directly in a folder are that folder's; the count applies the walk's tests (links
// and never-copied names left out, regular files only, no folder met again below itself).

#include "core/PosixFile.h"
#include "engine/Tally.h"

#include <atomic>
#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <sys/types.h>
#include <thread>
#include <unordered_map>
#include <unordered_set>
#include <vector>

namespace keelbox::detail {

class TailCount {
public:
    // Beyond this many folders on either side the count gives up (memory stays bounded).
    static constexpr std::size_t folderLimit = 1u << 18;

    TailCount() = default;
    ~TailCount();
    TailCount(const TailCount&) = delete;
    TailCount& operator=(const TailCount&) = delete;

    // The drive's trees in the walk's order (the descriptor is duplicated). Before start().
    void add(int drive);
    // Starts counting on a thread of its own. Folders the walk entered before are the walk's.
    void start();
    bool started() const { return m_thread.joinable(); }

    // From the walking thread as it enters a folder: true when the folder is the walk's to count.
    bool enter(dev_t device, ino_t inode);

    enum class State : unsigned char { counting, met, failed };
    State state() const { return m_state.load(std::memory_order_acquire); }
    // Once met: the files of the folders the count took.
    Totals counted() const;
    // Once met: the files directly in a folder the count listed without taking it (the one the
    // walk had entered, and those above it); nothing for any other folder.
    std::optional<Totals> filesIn(dev_t device, ino_t inode) const;

private:
    struct Key {
        dev_t device;
        ino_t inode;
        bool operator==(const Key&) const = default;
    };
    struct KeyHash {
        std::size_t operator()(const Key& k) const {
            return std::hash<std::uint64_t>{}((static_cast<std::uint64_t>(k.device) << 32) ^
                                              k.inode);
        }
    };
    // A folder the count has listed and not yet taken: its files, and the subfolders still to
    // count, the last of the listing first.
    struct Frame {
        UniqueFd fd;
        Key key{};
        Totals files;
        std::vector<std::string> folders;
    };

    void run();
    // Lists `fd` into a new frame; false when it cannot be read or leads back up.
    bool push(UniqueFd fd, std::vector<Frame>& frames);
    // Takes the top frame's folder for the count; false when the walk has it (the two have met).
    bool take(const Frame& frame);
    void meet(const std::vector<Frame>& frames);

    std::vector<int> m_trees;
    std::thread m_thread;
    std::atomic<bool> m_quitting{false};
    std::atomic<State> m_state{State::counting};

    mutable std::mutex m_mutex;
    std::unordered_set<Key, KeyHash> m_walked; // entered by the walk
    std::unordered_set<Key, KeyHash> m_taken;  // counted by the count
    Totals m_counted;
    std::unordered_map<Key, Totals, KeyHash> m_open; // listed, not taken, at the meeting
};

} // namespace keelbox::detail
