#pragma once
// Drives as UDisks2 reports them on the system bus.

#include "app/platform/VolumeRules.h"
#include "app/platform/Volumes.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QMap>
#include <QVariantMap>

namespace keelbox::app {

// Interfaces and properties of one UDisks2 object, as GetManagedObjects hands them out.
using InterfaceMap = QMap<QString, QVariantMap>;
using ManagedObjects = QMap<QString, InterfaceMap>;

// Whether UDisks2 owns its name on this bus, or can be started on it.
bool udisksAvailable(const QDBusConnection& bus);

// Decoders for what QtDBus hands over as a QDBusArgument.
ManagedObjects decodeManagedObjects(const QVariant& value);
InterfaceMap decodeInterfaces(const QVariant& value);
// "aay" (MountPoints, Symlinks): each element up to its NUL.
QStringList decodeByteStringList(const QVariant& value);
// "ay" (Device, PreferredDevice): up to the NUL.
QString decodeByteStringValue(const QVariant& value);

// What one block object says about itself, for the candidate rule.
BlockFacts blockFacts(const InterfaceMap& interfaces);

class UDisks2VolumeMonitor : public VolumeMonitor {
    Q_OBJECT
public:
    explicit UDisks2VolumeMonitor(QDBusConnection bus, QObject* parent = nullptr);

    bool start() override;
    std::vector<MountedVolume> mountedVolumes() const override;
    // Whether UDisks2 answered when last seen (it may leave the bus and come back).
    // The file systems that were mounted but not listed (system devices, hidden ones) when
    // UDisks2 last left the bus: mount path → device number.
    const QMap<QString, quint64>& hiddenWhenLeft() const { return m_hiddenWhenLeft; }

signals:
    // UDisks2 left the bus (what it knew is forgotten, and nothing is announced: the drives did
    // not go anywhere) or came back (what it knows now is read, again without announcements).
    // The owner decides what changed meanwhile.
    void serviceChanged(bool running);

private slots:
    void onInterfacesAdded(const QDBusMessage& message);
    void onInterfacesRemoved(const QDBusMessage& message);
    void onPropertiesChanged(const QDBusMessage& message);
    void onServiceOwnerChanged(const QString& service, const QString& oldOwner,
                               const QString& newOwner);

private:
    struct Seen {
        QString mountPath; // first mount point; empty when not mounted
        bool candidate = false;
    };
    Seen seen(const QString& path) const;
    void announce(const Seen& before, const Seen& after);
    bool isCandidate(const InterfaceMap& interfaces) const;
    // Connects (or disconnects) the bus signals the monitor follows.
    void subscribe(bool on);

    QDBusConnection m_bus;
    ManagedObjects m_objects; // block devices only
    bool m_started = false;
    bool m_serviceRunning = false;
    QMap<QString, quint64> m_hiddenWhenLeft;
};

// Unmounts through UDisks2, then powers the drive off, ejects its medium, or deletes the loop
// device, whichever applies.
class UDisks2VolumeEjector : public VolumeEjector {
public:
    explicit UDisks2VolumeEjector(QDBusConnection bus);
    EjectOutcome eject(const QString& mountPath) override;
    // Nothing when UDisks2 has no file system mounted at `mountPath` (a FUSE mount of an image
    // file, say), so that the caller can try another way.
    std::optional<EjectOutcome> ejectIfKnown(const QString& mountPath);

private:
    QDBusConnection m_bus;
};

} // namespace keelbox::app
