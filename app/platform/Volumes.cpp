#include "app/platform/Volumes.h"

#include "app/platform/MountTableVolumes.h"
#include "app/platform/UDisks2Volumes.h"

#include <QDBusConnection>
#include <QDBusServiceWatcher>
#include <QFile>
#include <QMap>

#include <optional>

#include <utility>

#include <sys/stat.h>

namespace keelbox::app {

namespace {

// Mount path → device number of what is mounted there, for what the active backend lists.
using Listing = QMap<QString, quint64>;

std::optional<quint64> deviceNumber(const QString& path) {
    struct stat info {};
    if (::stat(QFile::encodeName(path).constData(), &info) != 0)
        return std::nullopt;
    return info.st_dev;
}

// UDisks2 while it answers on the system bus, otherwise the kernel's mount table. Either way
// round, a switch announces only what changed in between: drives that stayed mounted are neither
// disconnected nor connected again (which would back them up twice), drives mounted or
// unmounted meanwhile are. UDisks2 is taken up when it appears after start too.
class FallbackVolumeMonitor : public VolumeMonitor {
public:
    FallbackVolumeMonitor(QDBusConnection bus, QString mountInfoPath, QObject* parent)
        : VolumeMonitor(parent), m_bus(std::move(bus)), m_mountInfoPath(std::move(mountInfoPath)) {}

    bool start() override {
        if (m_active)
            return true;
        m_udisks = new UDisks2VolumeMonitor(m_bus, this);
        follow(m_udisks);
        connect(m_udisks, &UDisks2VolumeMonitor::serviceChanged, this, [this](bool running) {
            // What UDisks2 kept off the list (system devices, hidden ones) stays off while the
            // mount table stands in for it.
            m_hidden = running ? QMap<QString, quint64>() : m_udisks->hiddenWhenLeft();
            if (running)
                switchTo(m_udisks);
            else
                switchTo(table());
        });
        if (m_udisks->start()) {
            m_active = m_udisks;
            m_listed = listing();
            return true;
        }
        if (m_bus.isConnected()) {
            auto* watcher =
                new QDBusServiceWatcher(QStringLiteral("org.freedesktop.UDisks2"), m_bus,
                                        QDBusServiceWatcher::WatchForRegistration, this);
            connect(watcher, &QDBusServiceWatcher::serviceRegistered, this, [this, watcher] {
                if (m_udisks->start()) {
                    watcher->deleteLater();
                    switchTo(m_udisks);
                }
            });
        }
        if (!table())
            return false;
        m_active = m_table;
        m_listed = listing();
        return true;
    }

    std::vector<MountedVolume> mountedVolumes() const override {
        std::vector<MountedVolume> volumes =
            m_active ? m_active->mountedVolumes() : std::vector<MountedVolume>{};
        std::erase_if(volumes, [this](const MountedVolume& v) { return hidden(v.mountPath); });
        return volumes;
    }

private:
    bool hidden(const QString& path) const {
        // The same device at the same place: a device number freed and given to another drive
        // meanwhile does not hide that drive.
        const auto it = m_hidden.constFind(path);
        return it != m_hidden.constEnd() && deviceNumber(path) == *it;
    }

    Listing listing() const {
        Listing result;
        for (const MountedVolume& volume : mountedVolumes()) {
            if (const std::optional<quint64> device = deviceNumber(volume.mountPath))
                result.insert(volume.mountPath, *device);
        }
        return result;
    }

    MountTableVolumeMonitor* table() {
        if (!m_table) {
            m_table = new MountTableVolumeMonitor(this, m_mountInfoPath);
            follow(m_table);
        }
        return m_table->start() ? m_table : nullptr;
    }

    // The active backend's announcements pass on as they are.
    void follow(VolumeMonitor* backend) {
        connect(backend, &VolumeMonitor::volumeMounted, this, [this, backend](const QString& path) {
            if (backend != m_active || hidden(path))
                return;
            m_listed = listing();
            emit volumeMounted(path);
        });
        connect(backend, &VolumeMonitor::volumeUnmounted, this,
                [this, backend](const QString& path) {
                    if (backend != m_active)
                        return;
                    m_listed = listing();
                    emit volumeUnmounted(path);
                });
    }

    void switchTo(VolumeMonitor* next) {
        if (!next)
            return;
        m_active = next;
        const Listing before = std::exchange(m_listed, listing());
        for (auto it = before.constBegin(); it != before.constEnd(); ++it) {
            const auto now = m_listed.constFind(it.key());
            if (now == m_listed.constEnd() || *now != *it)
                emit volumeUnmounted(it.key());
        }
        for (auto it = m_listed.constBegin(); it != m_listed.constEnd(); ++it) {
            const auto then = before.constFind(it.key());
            if (then == before.constEnd() || *then != *it)
                emit volumeMounted(it.key());
        }
    }

    QDBusConnection m_bus;
    QString m_mountInfoPath;
    UDisks2VolumeMonitor* m_udisks = nullptr; // children of this object
    MountTableVolumeMonitor* m_table = nullptr;
    VolumeMonitor* m_active = nullptr;
    Listing m_listed;
    QMap<QString, quint64> m_hidden;
};

class FallbackVolumeEjector : public VolumeEjector {
public:
    EjectOutcome eject(const QString& mountPath) override {
        // Runs on a worker thread; QtDBus's shared system connection may be used from any thread.
        QDBusConnection bus = QDBusConnection::systemBus();
        if (udisksAvailable(bus)) {
            if (std::optional<EjectOutcome> outcome =
                    UDisks2VolumeEjector(bus).ejectIfKnown(mountPath))
                return *outcome;
        }
        // No UDisks2, or a mount it does not manage.
        return MountTableVolumeEjector().eject(mountPath);
    }
};

} // namespace

std::unique_ptr<VolumeMonitor> makeVolumeMonitor(QObject* parent) {
    return makeVolumeMonitor(QDBusConnection::systemBus(), QStringLiteral("/proc/self/mountinfo"),
                             parent);
}

std::unique_ptr<VolumeMonitor> makeVolumeMonitor(QDBusConnection bus, QString mountInfoPath,
                                                 QObject* parent) {
    return std::make_unique<FallbackVolumeMonitor>(std::move(bus), std::move(mountInfoPath),
                                                   parent);
}

std::unique_ptr<VolumeEjector> makeVolumeEjector() {
    return std::make_unique<FallbackVolumeEjector>();
}

} // namespace keelbox::app
