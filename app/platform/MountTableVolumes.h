#pragma once
// Drives as the kernel's mount table shows them, for systems without UDisks2.

#include "app/platform/VolumeRules.h"
#include "app/platform/Volumes.h"
#include "core/PosixFile.h"

#include <QMap>

class QSocketNotifier;

namespace keelbox::app {

// The label udev published for `device` in `labelDir` (/dev/disk/by-label), decoded; empty when
// there is none.
QString labelForDevice(const QString& device, const QString& labelDir);

class MountTableVolumeMonitor : public VolumeMonitor {
    Q_OBJECT
public:
    // `mountInfoPath` and `labelDir` are replaceable for tests; a plain file never signals a
    // change, so tests call rescan() themselves.
    explicit MountTableVolumeMonitor(QObject* parent = nullptr,
                                     QString mountInfoPath = QStringLiteral("/proc/self/mountinfo"),
                                     QString labelDir = QStringLiteral("/dev/disk/by-label"));
    ~MountTableVolumeMonitor() override;

    bool start() override;
    std::vector<MountedVolume> mountedVolumes() const override;

    // Reads the mount table again and announces what was mounted or unmounted since the last read.
    void rescan();

private:
    std::vector<MountEntry> readCandidates() const;

    QString m_mountInfoPath;
    QString m_labelDir;
    UniqueFd m_mountTable;
    QSocketNotifier* m_notifier = nullptr;
    QMap<QString, MountEntry> m_known; // candidates by mount path
};

// Unmounts with the system's `umount` (or `fusermount` for a FUSE drive the user mounted).
class MountTableVolumeEjector : public VolumeEjector {
public:
    explicit MountTableVolumeEjector(
        QString mountInfoPath = QStringLiteral("/proc/self/mountinfo"));
    EjectOutcome eject(const QString& mountPath) override;

private:
    QString m_mountInfoPath;
};

} // namespace keelbox::app
