#pragma once
// Volume monitor and ejector that tests drive by hand.

#include "app/platform/Volumes.h"

#include <QMutex>
#include <QMutexLocker>
#include <QStringList>

#include <algorithm>
#include <map>

namespace keelbox::app {

class FakeVolumeMonitor : public VolumeMonitor {
public:
    using VolumeMonitor::VolumeMonitor;

    bool start() override {
        ++startCount;
        return available;
    }
    std::vector<MountedVolume> mountedVolumes() const override { return volumes; }

    // Adds the volume (replacing one at the same path) and announces it.
    void plug(const MountedVolume& volume) {
        std::erase_if(volumes,
                      [&](const MountedVolume& v) { return v.mountPath == volume.mountPath; });
        volumes.push_back(volume);
        emit volumeMounted(volume.mountPath);
    }
    void unplug(const QString& mountPath) {
        std::erase_if(volumes, [&](const MountedVolume& v) { return v.mountPath == mountPath; });
        emit volumeUnmounted(mountPath);
    }

    bool available = true;
    int startCount = 0;
    std::vector<MountedVolume> volumes;
};

// Thread-safe: the application calls eject() on a worker thread.
class FakeVolumeEjector : public VolumeEjector {
public:
    EjectOutcome eject(const QString& mountPath) override {
        QMutexLocker lock(&m_mutex);
        requests.append(mountPath);
        const auto it = outcomes.find(mountPath);
        return it == outcomes.end() ? EjectOutcome{true, {}} : it->second;
    }
    void setOutcome(const QString& mountPath, EjectOutcome outcome) {
        QMutexLocker lock(&m_mutex);
        outcomes[mountPath] = std::move(outcome);
    }
    QStringList ejected() {
        QMutexLocker lock(&m_mutex);
        return requests;
    }

private:
    QMutex m_mutex;
    QStringList requests;
    std::map<QString, EjectOutcome> outcomes;
};

} // namespace keelbox::app
