#pragma once
// The queue through which a copy walk hands files to the copying threads.

#include "engine/FileCopy.h"
#include "engine/FileOps.h"

#include <algorithm>
#include <condition_variable>
#include <cstddef>
#include <deque>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <thread>
#include <vector>

namespace keelbox::detail {

// The files of one walk on their way into the copy. The walking thread decides about each file and
// queues those to copy; a second thread copies from the queue, and the walking thread joins in
// when the queue is full and at the end of each folder. What became of each file is taken into
// the tally by the walking thread alone and strictly in walk order, so counters, issues and
// progress come out as a one-thread walk would give them. Before the walk leaves a folder the
// queue is emptied: the folders' descriptors the queued files need stay open until then, and a
// folder is pruned only once everything copied into it is in place. Small files are bound by
// what the kernel does per file, large ones by copying memory; two threads do both about twice
// as fast. Where a copy had to wait for the drive's disk, more threads join, up to `maxHelpers`:
// a disk answers several reads at once faster than one after the other, while on files already
// in memory more threads than cores would only take turns.
class CopyQueue {
public:
    static constexpr std::size_t capacity = 64;
    static constexpr std::size_t maxHelpers = 4;

    CopyQueue(Tally& tally, const Where& root) : m_tally(tally), m_root(root) {}
    ~CopyQueue() {
        {
            std::lock_guard lock{m_mutex};
            m_quit = true;
        }
        m_work.notify_all();
        // No helper is added once `m_quit` is set.
        for (std::thread& helper : m_helpers)
            helper.join();
    }
    CopyQueue(const CopyQueue&) = delete;
    CopyQueue& operator=(const CopyQueue&) = delete;

    // A file at `rel`: to be copied when `copy` is set, otherwise with its final outcome, which
    // still waits for the files queued before it.
    void push(CopyJob&& job, std::string_view rel, bool copy) {
        if (!copy && m_entries.empty()) {
            apply(job, rel);
            return;
        }
        {
            std::lock_guard lock{m_mutex};
            m_entries.push_back(
                Entry{std::move(job), std::string{rel}, copy ? State::pending : State::done});
            if (copy && m_helpers.empty())
                addHelper();
        }
        if (copy)
            m_work.notify_one();
        retire();
        while (m_entries.size() >= capacity) {
            helpOrWait();
            retire();
        }
    }

    // Finishes every queued file and takes it into the tally. With `cancel` (a stop request)
    // files not yet started are dropped: they were never handled.
    void drain(bool cancel) {
        for (;;) {
            // A stop request reaches the queue through the progress reports it takes in: what
            // has not started by then is dropped, what is being copied finishes.
            if (cancel || m_tally.stopRequested())
                cancelPending();
            retire();
            if (m_entries.empty())
                return;
            helpOrWait();
        }
    }

    // When the walk is left by an exception: nothing more starts, and the files in hand are
    // finished before the descriptors they use are closed. Nothing is taken into the tally.
    void abandon() noexcept {
        cancelPending();
        std::unique_lock lock{m_mutex};
        m_finished.wait(lock, [this] {
            return std::none_of(m_entries.begin(), m_entries.end(),
                                [](const Entry& e) { return e.state == State::running; });
        });
        m_entries.clear();
    }

private:
    void cancelPending() {
        {
            std::lock_guard lock{m_mutex};
            for (Entry& entry : m_entries) {
                if (entry.state == State::pending) {
                    entry.job.outcome = FileOutcome{};
                    entry.state = State::done;
                    m_tally.cutShort.store(true);
                }
            }
        }
    }

    enum class State : unsigned char { pending, running, done };
    struct Entry {
        CopyJob job;
        std::string rel;
        State state;
    };

    void apply(const CopyJob& job, std::string_view rel) {
        Where where = m_root;
        where.rel = rel;
        applyOutcome(m_tally, where, job.dstName.c_str(), job.outcome);
    }

    // Takes the finished files at the front into the tally, outside the lock (progress reports
    // run the caller's code).
    void retire() {
        for (;;) {
            Entry entry;
            {
                std::lock_guard lock{m_mutex};
                if (m_entries.empty() || m_entries.front().state != State::done)
                    return;
                entry = std::move(m_entries.front());
                m_entries.pop_front();
            }
            apply(entry.job, entry.rel);
        }
    }

    // Under the lock: the first file nobody copies yet, now claimed.
    Entry* claim() {
        for (Entry& entry : m_entries) {
            if (entry.state == State::pending) {
                entry.state = State::running;
                return &entry;
            }
        }
        return nullptr;
    }

    // Copies the next waiting file on this thread, or waits for the helper to finish one.
    void helpOrWait() {
        const bool stopping = m_tally.stopRequested();
        if (stopping)
            cancelPending();
        std::unique_lock lock{m_mutex};
        if (Entry* entry = stopping ? nullptr : claim()) {
            lock.unlock();
            performCopy(m_tally, m_tally, entry->job, m_tally.copyBuffer());
            lock.lock();
            entry->state = State::done;
            return;
        }
        m_finished.wait(
            lock, [this] { return m_entries.empty() || m_entries.front().state == State::done; });
    }

    // Under the lock.
    void addHelper() {
        m_helpers.emplace_back([this] { helperLoop(); });
    }

    void helperLoop() {
        const auto buffer = std::make_unique<char[]>(Tally::copyBufferSize);
        std::unique_lock lock{m_mutex};
        for (;;) {
            Entry* entry = nullptr;
            m_work.wait(lock, [&] {
                return m_quit || (!m_tally.stopRequested() && (entry = claim()) != nullptr);
            });
            if (entry == nullptr)
                return;
            const bool mayGrow = m_helpers.size() < maxHelpers;
            lock.unlock();
            const long blocksBefore = mayGrow ? blocksReadByThisThread() : 0;
            performCopy(m_tally, m_tally, entry->job, buffer.get());
            const bool waitedForDisk = mayGrow && blocksReadByThisThread() > blocksBefore;
            lock.lock();
            entry->state = State::done;
            m_finished.notify_one();
            if (waitedForDisk && !m_quit && m_helpers.size() < maxHelpers && hasPending())
                addHelper();
        }
    }

    // Under the lock: whether a file waits for a thread to copy it.
    bool hasPending() const {
        return std::any_of(m_entries.begin(), m_entries.end(),
                           [](const Entry& e) { return e.state == State::pending; });
    }

    Tally& m_tally;
    const Where& m_root;
    // Entries stay where they are while others are added or taken off the front (a deque never
    // moves its elements), so a thread copies one without holding the lock.
    std::deque<Entry> m_entries;
    std::mutex m_mutex;
    std::condition_variable m_work;
    std::condition_variable m_finished;
    std::vector<std::thread> m_helpers;
    bool m_quit = false;
};

} // namespace keelbox::detail
