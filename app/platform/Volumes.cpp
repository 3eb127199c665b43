#include "app/platform/Volumes.h"

#include "app/platform/MountTableVolumes.h"
#include "app/platform/UDisks2Volumes.h"

#include <QDBusConnection>

namespace keelbox::app {

namespace {

// UDisks2 when it answers on the system bus, otherwise the kernel's mount table. The choice is
// made when watching starts, so a monitor created early still finds a bus that came up later.
class FallbackVolumeMonitor : public VolumeMonitor {
public:
    explicit FallbackVolumeMonitor(QObject* parent) : VolumeMonitor(parent) {}

    bool start() override {
        if (m_active)
            return true;
        auto udisks = std::make_unique<UDisks2VolumeMonitor>(QDBusConnection::systemBus(), this);
        if (udisks->start()) {
            adopt(udisks.release());
            return true;
        }
        udisks.reset();
        auto table = std::make_unique<MountTableVolumeMonitor>(this);
        if (table->start()) {
            adopt(table.release());
            return true;
        }
        return false;
    }

    std::vector<MountedVolume> mountedVolumes() const override {
        return m_active ? m_active->mountedVolumes() : std::vector<MountedVolume>{};
    }

private:
    void adopt(VolumeMonitor* monitor) {
        m_active = monitor;
        connect(monitor, &VolumeMonitor::volumeMounted, this, &VolumeMonitor::volumeMounted);
        connect(monitor, &VolumeMonitor::volumeUnmounted, this, &VolumeMonitor::volumeUnmounted);
    }

    VolumeMonitor* m_active = nullptr; // a child of this object
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
    return std::make_unique<FallbackVolumeMonitor>(parent);
}

std::unique_ptr<VolumeEjector> makeVolumeEjector() {
    return std::make_unique<FallbackVolumeEjector>();
}

} // namespace keelbox::app
