#pragma once
// Finding connected drives and ejecting them: the interface the application state uses, with a
// UDisks2 backend, a kernel-mount-table fallback and a fake for tests.

#include <QDBusConnection>
#include <QObject>
#include <QString>

#include <memory>
#include <optional>
#include <vector>

namespace keelbox::app {

// One mounted file system that may be a removable drive, as the platform reports it.
struct MountedVolume {
    QString mountPath;  // identity of the drive in the running application
    QString name;       // label, hint name, or the mount point's last component
    QString device;     // e.g. "/dev/sdb1" or "/dev/loop3"; may be empty
    QString objectPath; // the backend's handle (UDisks2 block object path); may be empty
    std::optional<qint64> totalCapacity;
    std::optional<qint64> availableCapacity;
};

class VolumeMonitor : public QObject {
    Q_OBJECT
public:
    using QObject::QObject;
    ~VolumeMonitor() override = default;

    // Starts listening; returns false when the backend is not available (e.g. no UDisks2 on the
    // system bus), so the caller can pick another.
    virtual bool start() = 0;
    // The candidate drives mounted now: local, not system devices, not hidden.
    virtual std::vector<MountedVolume> mountedVolumes() const = 0;

signals:
    // A candidate drive was mounted at `mountPath`.
    void volumeMounted(const QString& mountPath);
    // The drive at `mountPath` was unmounted or removed.
    void volumeUnmounted(const QString& mountPath);
};

struct EjectOutcome {
    bool ok = false;
    QString errorMessage; // the system's words when not ok
};

// Unmounts the drive and powers it off (or deletes the loop device). Blocking: call it off the
// main thread.
class VolumeEjector {
public:
    virtual ~VolumeEjector() = default;
    virtual EjectOutcome eject(const QString& mountPath) = 0;
};

} // namespace keelbox::app

namespace keelbox::app {

// The UDisks2 backend while UDisks2 answers on the system bus, otherwise the kernel mount table;
// it follows UDisks2 leaving and coming back, or appearing after start.
std::unique_ptr<VolumeMonitor> makeVolumeMonitor(QObject* parent = nullptr);
// The same on another bus and mount table (tests).
std::unique_ptr<VolumeMonitor> makeVolumeMonitor(QDBusConnection bus, QString mountInfoPath,
                                                 QObject* parent = nullptr);
std::unique_ptr<VolumeEjector> makeVolumeEjector();

} // namespace keelbox::app
