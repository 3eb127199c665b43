#include "engine/StatWorker.h"

#include "engine/SysCalls.h"

#include <cerrno>
#include <fcntl.h>

namespace keelbox::detail {

void statAll(int dir, const char* const* names, StatSlot* slots, std::size_t count) {
    for (std::size_t i = 0; i < count; ++i) {
        if (names[i] == nullptr)
            continue;
        slots[i].error =
            sysCalls().fstatat(dir, names[i], &slots[i].st, AT_SYMLINK_NOFOLLOW) == 0 ? 0 : errno;
    }
}

StatWorker::~StatWorker() {
    if (!m_started)
        return;
    {
        std::lock_guard lock{m_mutex};
        m_quit = true;
    }
    m_wake.notify_one();
    m_thread.join();
}

void StatWorker::start(int dir, const char* const* names, StatSlot* slots, std::size_t count) {
    {
        std::lock_guard lock{m_mutex};
        m_dir = dir;
        m_names = names;
        m_slots = slots;
        m_count = count;
        m_pending = true;
    }
    if (!m_started) {
        m_started = true;
        m_thread = std::thread([this] { loop(); });
    }
    m_wake.notify_one();
}

void StatWorker::wait() {
    std::unique_lock lock{m_mutex};
    m_done.wait(lock, [this] { return !m_pending; });
}

void StatWorker::loop() {
    std::unique_lock lock{m_mutex};
    for (;;) {
        m_wake.wait(lock, [this] { return m_quit || m_pending; });
        if (m_pending) {
            const int dir = m_dir;
            const char* const* names = m_names;
            StatSlot* slots = m_slots;
            const std::size_t count = m_count;
            lock.unlock();
            statAll(dir, names, slots, count);
            lock.lock();
            m_pending = false;
            m_done.notify_one();
        } else if (m_quit) {
            return;
        }
    }
}

} // namespace keelbox::detail
