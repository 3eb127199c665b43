#pragma once
// A second thread for the metadata reads of a run. On a warm cache a run without changes is
// nothing but one stat per entry on the drive and one per entry of the copy, each a system call;
// doing the copy's stats (or half of the pre-count's) on another core halves that time.

#include <condition_variable>
#include <cstddef>
#include <mutex>
#include <sys/stat.h>
#include <thread>

namespace keelbox::detail {

// The outcome of one fstatat: `error` 0 and `st` filled, or the errno.
struct StatSlot {
    int error = -1;
    struct stat st;
};

class StatWorker {
public:
    StatWorker() = default;
    ~StatWorker();
    StatWorker(const StatWorker&) = delete;
    StatWorker& operator=(const StatWorker&) = delete;

    // Starts fstatat(dir, names[i], AT_SYMLINK_NOFOLLOW) into slots[i] for every i < count whose
    // names[i] is not null, on the worker thread; wait() blocks until it is done. One job at a
    // time.
    void start(int dir, const char* const* names, StatSlot* slots, std::size_t count);
    void wait();

private:
    void loop();

    std::thread m_thread;
    std::mutex m_mutex;
    std::condition_variable m_wake;
    std::condition_variable m_done;
    bool m_started = false;
    bool m_quit = false;
    bool m_pending = false;
    int m_dir = -1;
    const char* const* m_names = nullptr;
    StatSlot* m_slots = nullptr;
    std::size_t m_count = 0;
};

// Runs the stats of `names` into `slots`, on this thread.
void statAll(int dir, const char* const* names, StatSlot* slots, std::size_t count);

} // namespace keelbox::detail
