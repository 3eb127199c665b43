#include "engine/StatWorker.h"

#include "engine/FileOps.h"
#include "engine/SysCalls.h"

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <fcntl.h>
#include <sched.h>

namespace keelbox::detail {

namespace {

// Below this many stats a job is run on one thread: handing it over would cost more.
constexpr std::size_t parallelThreshold = 16;
// How many names a thread takes at a time.
constexpr std::size_t chunk = 8;

// How long a side spins before it sleeps: longer than the serial part of a folder (listing it,
// deciding its files) so that the worker is awake for the next job, short enough not to matter
// when the walk is waiting on a slow drive.
constexpr auto spinBudget = std::chrono::microseconds{200};

void relax() {
#if defined(__x86_64__) || defined(__i386__)
    __builtin_ia32_pause();
#elif defined(__aarch64__)
    asm volatile("yield");
#endif
}

// Waits until `state` is no longer `value`, spinning first, then sleeping; returns the new value.
int awaitChange(std::atomic<int>& state, int value) {
    const auto until = std::chrono::steady_clock::now() + spinBudget;
    for (unsigned i = 1;; ++i) {
        const int now = state.load(std::memory_order_acquire);
        if (now != value)
            return now;
        relax();
        if (i % 64 == 0 && std::chrono::steady_clock::now() >= until)
            break;
    }
    for (;;) {
        state.wait(value, std::memory_order_acquire);
        const int now = state.load(std::memory_order_acquire);
        if (now != value)
            return now;
    }
}

// A second thread pays only with a second core to run on: on one, the two would take turns, and
// the spinning would take the walk's own time.
bool twoCoresFree() {
    cpu_set_t cpus;
    CPU_ZERO(&cpus);
    if (::sched_getaffinity(0, sizeof cpus, &cpus) == 0)
        return CPU_COUNT(&cpus) > 1;
    return std::thread::hardware_concurrency() > 1;
}

void statRange(const StatList& list, std::size_t begin, std::size_t end) {
    for (std::size_t i = begin; i < end; ++i) {
        if (list.names[i] == nullptr)
            continue;
        list.slots[i].error =
            sysCalls().fstatat(list.dir, list.names[i], &list.slots[i].st, AT_SYMLINK_NOFOLLOW) == 0
                ? 0
                : errno;
    }
}

} // namespace

StatWorker::~StatWorker() {
    if (!m_thread.joinable())
        return;
    // Stores that precede a notify are sequentially consistent: a release store could still sit
    // in this core's store buffer while notify_all() finds no sleeper yet, and the worker, just
    // going to sleep, would not see it.
    m_state.store(quitting);
    m_state.notify_all();
    m_thread.join();
}

void StatWorker::statAll(std::initializer_list<StatList> lists) {
    m_listCount = 0;
    m_total = 0;
    for (const StatList& list : lists) {
        m_lists.at(m_listCount++) = list;
        m_total += list.count;
    }
    static const bool parallel = twoCoresFree();
    if (!parallel || m_total < parallelThreshold) {
        for (std::size_t i = 0; i < m_listCount; ++i)
            statRange(m_lists[i], 0, m_lists[i].count);
        return;
    }
    if (!m_thread.joinable())
        m_thread = std::thread([this] { loop(); });
    m_next.store(0, std::memory_order_relaxed);
    m_state.store(posted);
    m_state.notify_all();
    takeChunks();
    // Taking the job back succeeds when the worker never started on it; otherwise it is
    // finishing its last names.
    int expected = posted;
    if (!m_state.compare_exchange_strong(expected, idle, std::memory_order_acq_rel))
        awaitChange(m_state, working);
}

void StatWorker::takeChunks() {
    for (;;) {
        std::size_t begin = m_next.fetch_add(chunk, std::memory_order_relaxed);
        if (begin >= m_total)
            return;
        std::size_t end = std::min(begin + chunk, m_total);
        for (std::size_t i = 0; i < m_listCount && begin < end; ++i) {
            const std::size_t count = m_lists[i].count;
            if (begin < count)
                statRange(m_lists[i], begin, std::min(end, count));
            begin = begin > count ? begin - count : 0;
            end -= std::min(end, count);
        }
    }
}

void StatWorker::loop() {
    for (;;) {
        int state = awaitChange(m_state, idle);
        if (state == quitting)
            return;
        if (!m_state.compare_exchange_strong(state, working, std::memory_order_acquire))
            continue; // taken back, or quitting
        takeChunks();
        m_blocksRead.store(blocksReadByThisThread(), std::memory_order_relaxed);
        // Only a job is ever ended here: a request to quit that came meanwhile stays.
        int current = working;
        if (!m_state.compare_exchange_strong(current, idle))
            return;
        m_state.notify_all();
    }
}

} // namespace keelbox::detail
