#include "app/platform/ConfigWatcher.h"

#include "core/ConfigFile.h"

#include <QSocketNotifier>
#include <QTimer>

#include <cerrno>
#include <climits>
#include <cstring>
#include <map>
#include <set>
#include <sys/inotify.h>
#include <unistd.h>

namespace keelbox::app {

namespace {

// Long enough to take a write and the rename that puts it in place as one change.
constexpr int settleMilliseconds = 300;

class InotifyConfigWatcher : public ConfigWatcher {
public:
    explicit InotifyConfigWatcher(QObject* parent)
        : ConfigWatcher(parent), m_fd(::inotify_init1(IN_NONBLOCK | IN_CLOEXEC)) {
        m_settle.setSingleShot(true);
        m_settle.setInterval(settleMilliseconds);
        connect(&m_settle, &QTimer::timeout, this, [this] { announce(); });
        if (m_fd < 0)
            return; // no inotify (limits reached): changes are seen on the next refresh
        m_notifier = new QSocketNotifier(m_fd, QSocketNotifier::Read, this);
        connect(m_notifier, &QSocketNotifier::activated, this, [this] { readEvents(); });
    }
    ~InotifyConfigWatcher() override {
        if (m_fd >= 0)
            ::close(m_fd);
    }

    void watch(const std::vector<QString>& roots) override {
        if (m_fd < 0)
            return;
        const std::set<QString> wanted(roots.begin(), roots.end());
        for (auto it = m_roots.begin(); it != m_roots.end();) {
            if (wanted.contains(it->second)) {
                ++it;
                continue;
            }
            ::inotify_rm_watch(m_fd, it->first);
            it = m_roots.erase(it);
        }
        for (const QString& root : wanted) {
            if (watching(root))
                continue;
            // Only the folder itself: what happens further down the drive is not looked at.
            const int wd = ::inotify_add_watch(m_fd, root.toLocal8Bit().constData(),
                                               IN_CLOSE_WRITE | IN_MOVED_TO | IN_MOVED_FROM |
                                                   IN_DELETE | IN_ONLYDIR);
            if (wd >= 0)
                m_roots[wd] = root;
        }
    }

private:
    bool watching(const QString& root) const {
        for (const auto& [wd, watched] : m_roots) {
            if (watched == root)
                return true;
        }
        return false;
    }

    void readEvents() {
        alignas(inotify_event) char buffer[16 * (sizeof(inotify_event) + NAME_MAX + 1)];
        for (;;) {
            const ssize_t got = ::read(m_fd, buffer, sizeof buffer);
            if (got <= 0)
                return; // EAGAIN: all read
            for (ssize_t at = 0; at < got;) {
                const auto* event = reinterpret_cast<const inotify_event*>(buffer + at);
                at += static_cast<ssize_t>(sizeof(inotify_event) + event->len);
                const auto root = m_roots.find(event->wd);
                if (root == m_roots.end())
                    continue;
                if (event->mask & IN_IGNORED) {
                    m_roots.erase(root); // unmounted or removed: the kernel dropped the watch
                    continue;
                }
                if (event->len > 0 && configFileName == event->name) {
                    m_pending.insert(root->second);
                    m_settle.start();
                }
            }
        }
    }

    void announce() {
        const std::set<QString> pending = std::move(m_pending);
        m_pending.clear();
        for (const QString& root : pending)
            emit configChanged(root);
    }

    int m_fd;
    QSocketNotifier* m_notifier = nullptr;
    std::map<int, QString> m_roots;
    std::set<QString> m_pending;
    QTimer m_settle;
};

} // namespace

std::unique_ptr<ConfigWatcher> makeConfigWatcher(QObject* parent) {
    return std::make_unique<InotifyConfigWatcher>(parent);
}

} // namespace keelbox::app
