#pragma once
// A second thread for the metadata reads of a run. On a warm cache a run without changes is
// nothing but one stat per entry on the drive and one per entry of the copy, each a system call;
// sharing them with another core halves that time.
//
// A job is one folder's worth of names, a few hundred microseconds of work. Putting a thread to
// sleep and waking it costs tens of microseconds each way, so both sides first spin for a short,
// bounded while before they sleep: between the folders of a walk the worker is still spinning
// when the next job comes, and neither side makes a system call to hand it over. Within a job
// both threads take the next few names as they become free, so neither waits for the other
// while there is work left.

#include <array>
#include <atomic>
#include <cstddef>
#include <initializer_list>
#include <sys/stat.h>
#include <thread>

namespace keelbox::detail {

// The outcome of one fstatat: `error` 0 and `st` filled, or the errno.
struct StatSlot {
    int error = -1;
    struct stat st;
};

// fstatat(dir, names[i], AT_SYMLINK_NOFOLLOW) into slots[i] for every i < count whose names[i]
// is not null.
struct StatList {
    int dir = -1;
    const char* const* names = nullptr;
    StatSlot* slots = nullptr;
    std::size_t count = 0;
};

class StatWorker {
public:
    StatWorker() = default;
    ~StatWorker();
    StatWorker(const StatWorker&) = delete;
    StatWorker& operator=(const StatWorker&) = delete;

    // Runs the stats of up to two lists on this thread and the worker; returns when all are
    // done. Few stats are run here alone.
    void statAll(std::initializer_list<StatList> lists);

    // The blocks the worker's thread had read from a disk when it last ended a job.
    long blocksRead() const { return m_blocksRead.load(std::memory_order_relaxed); }

private:
    enum State : int { idle, posted, working, quitting };

    void loop();
    void takeChunks();

    std::thread m_thread;
    std::atomic<int> m_state{idle};
    std::atomic<std::size_t> m_next{0};
    std::atomic<long> m_blocksRead{0};
    // Written by statAll() before the job is posted, read by the worker after it takes it.
    std::array<StatList, 2> m_lists{};
    std::size_t m_listCount = 0;
    std::size_t m_total = 0;
};

} // namespace keelbox::detail
