#include "app/platform/UDisks2Volumes.h"

#include <QDBusArgument>
#include <QDBusConnectionInterface>
#include <QDBusMetaType>
#include <QDBusObjectPath>
#include <QDBusReply>
#include <QDBusServiceWatcher>
#include <QDBusVariant>

#include <algorithm>
#include <limits>

namespace keelbox::app {

namespace {

const QString kService = QStringLiteral("org.freedesktop.UDisks2");
const QString kRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString kBlockDevices = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");
const QString kObjectManager = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString kProperties = QStringLiteral("org.freedesktop.DBus.Properties");
const QString kBlock = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString kFilesystem = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString kPartition = QStringLiteral("org.freedesktop.UDisks2.Partition");
const QString kLoop = QStringLiteral("org.freedesktop.UDisks2.Loop");
const QString kEncrypted = QStringLiteral("org.freedesktop.UDisks2.Encrypted");
const QString kDrive = QStringLiteral("org.freedesktop.UDisks2.Drive");

// Unmounting flushes the drive's write cache, which takes minutes on a slow stick; the call runs
// off the main thread, so waiting long is harmless.
constexpr int kEjectCallTimeoutMs = 10 * 60 * 1000;

InterfaceMap readInterfaces(const QDBusArgument& arg) {
    InterfaceMap interfaces;
    arg.beginMap();
    while (!arg.atEnd()) {
        QString name;
        QVariantMap properties;
        arg.beginMapEntry();
        arg >> name >> properties;
        arg.endMapEntry();
        interfaces.insert(name, properties);
    }
    arg.endMap();
    return interfaces;
}

QString objectPathValue(const QVariant& value) {
    if (value.canConvert<QDBusObjectPath>()) {
        const QString path = value.value<QDBusObjectPath>().path();
        return path == QLatin1String("/") ? QString() : path;
    }
    return {};
}

QVariantMap decodeProperties(const QVariant& value) {
    if (value.userType() == qMetaTypeId<QDBusArgument>())
        return qdbus_cast<QVariantMap>(value.value<QDBusArgument>());
    return value.toMap();
}

QString firstMountPoint(const InterfaceMap& interfaces) {
    const auto fs = interfaces.constFind(kFilesystem);
    if (fs == interfaces.constEnd())
        return {};
    const QStringList points = decodeByteStringList(fs->value(QStringLiteral("MountPoints")));
    return points.isEmpty() ? QString() : normalizeMountPath(points.first());
}

std::optional<qint64> positiveSize(const QVariant& value) {
    bool ok = false;
    const qulonglong size = value.toULongLong(&ok);
    if (!ok || size == 0 || size > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
        return std::nullopt;
    return static_cast<qint64>(size);
}

} // namespace

bool udisksAvailable(const QDBusConnection& bus) {
    if (!bus.isConnected() || bus.interface() == nullptr)
        return false;
    if (bus.interface()->isServiceRegistered(kService).value())
        return true;
    const QDBusReply<QStringList> activatable =
        bus.interface()->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(kService);
}

ManagedObjects decodeManagedObjects(const QVariant& value) {
    ManagedObjects objects;
    if (value.userType() != qMetaTypeId<QDBusArgument>())
        return objects;
    const QDBusArgument arg = value.value<QDBusArgument>();
    if (arg.currentType() != QDBusArgument::MapType)
        return objects;
    arg.beginMap();
    while (!arg.atEnd()) {
        QDBusObjectPath path;
        arg.beginMapEntry();
        arg >> path;
        InterfaceMap interfaces = readInterfaces(arg);
        arg.endMapEntry();
        objects.insert(path.path(), interfaces);
    }
    arg.endMap();
    return objects;
}

InterfaceMap decodeInterfaces(const QVariant& value) {
    if (value.userType() != qMetaTypeId<QDBusArgument>())
        return {};
    const QDBusArgument arg = value.value<QDBusArgument>();
    if (arg.currentType() != QDBusArgument::MapType)
        return {};
    return readInterfaces(arg);
}

QStringList decodeByteStringList(const QVariant& value) {
    QStringList result;
    if (value.userType() == qMetaTypeId<QDBusArgument>()) {
        const QDBusArgument arg = value.value<QDBusArgument>();
        if (arg.currentType() != QDBusArgument::ArrayType)
            return result;
        arg.beginArray();
        while (!arg.atEnd()) {
            QByteArray bytes;
            arg >> bytes;
            const QString text = decodeByteString(bytes);
            if (!text.isEmpty())
                result.append(text);
        }
        arg.endArray();
    } else if (value.userType() == QMetaType::QByteArrayList) {
        for (const QByteArray& bytes : value.value<QByteArrayList>()) {
            const QString text = decodeByteString(bytes);
            if (!text.isEmpty())
                result.append(text);
        }
    }
    return result;
}

QString decodeByteStringValue(const QVariant& value) {
    if (value.userType() == QMetaType::QByteArray)
        return decodeByteString(value.toByteArray());
    return {};
}

BlockFacts blockFacts(const InterfaceMap& interfaces) {
    BlockFacts facts;
    const QVariantMap block = interfaces.value(kBlock);
    facts.hintSystem = block.value(QStringLiteral("HintSystem")).toBool();
    facts.hintIgnore = block.value(QStringLiteral("HintIgnore")).toBool();
    facts.idUsage = block.value(QStringLiteral("IdUsage")).toString();
    facts.idLabel = block.value(QStringLiteral("IdLabel")).toString();
    facts.hintName = block.value(QStringLiteral("HintName")).toString();
    const auto fs = interfaces.constFind(kFilesystem);
    facts.hasFilesystem = fs != interfaces.constEnd();
    if (facts.hasFilesystem)
        facts.mountPoints = decodeByteStringList(fs->value(QStringLiteral("MountPoints")));
    return facts;
}

UDisks2VolumeMonitor::UDisks2VolumeMonitor(QDBusConnection bus, QObject* parent)
    : VolumeMonitor(parent), m_bus(std::move(bus)) {}

bool UDisks2VolumeMonitor::start() {
    if (m_started)
        return true;
    if (!udisksAvailable(m_bus))
        return false;
    // Subscribe before the first read so that nothing between the two is missed.
    m_bus.connect(kService, kRoot, kObjectManager, QStringLiteral("InterfacesAdded"), this,
                  SLOT(onInterfacesAdded(QDBusMessage)));
    m_bus.connect(kService, kRoot, kObjectManager, QStringLiteral("InterfacesRemoved"), this,
                  SLOT(onInterfacesRemoved(QDBusMessage)));
    m_bus.connect(kService, QString(), kProperties, QStringLiteral("PropertiesChanged"), this,
                  SLOT(onPropertiesChanged(QDBusMessage)));
    auto* watcher =
        new QDBusServiceWatcher(kService, m_bus, QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &UDisks2VolumeMonitor::onServiceOwnerChanged);

    const QDBusMessage call = QDBusMessage::createMethodCall(kService, kRoot, kObjectManager,
                                                             QStringLiteral("GetManagedObjects"));
    const QDBusMessage reply = m_bus.call(call);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
        m_bus.disconnect(kService, kRoot, kObjectManager, QStringLiteral("InterfacesAdded"), this,
                         SLOT(onInterfacesAdded(QDBusMessage)));
        m_bus.disconnect(kService, kRoot, kObjectManager, QStringLiteral("InterfacesRemoved"), this,
                         SLOT(onInterfacesRemoved(QDBusMessage)));
        m_bus.disconnect(kService, QString(), kProperties, QStringLiteral("PropertiesChanged"),
                         this, SLOT(onPropertiesChanged(QDBusMessage)));
        delete watcher;
        return false;
    }
    // Drives already mounted are not announced: the caller scans once after starting.
    const ManagedObjects all = decodeManagedObjects(reply.arguments().constFirst());
    for (auto it = all.constBegin(); it != all.constEnd(); ++it) {
        if (it.key().startsWith(kBlockDevices))
            m_objects.insert(it.key(), it.value());
    }
    m_started = true;
    m_serviceRunning = true;
    return true;
}

bool UDisks2VolumeMonitor::isCandidate(const InterfaceMap& interfaces) const {
    if (!isUDisksCandidate(blockFacts(interfaces)))
        return false;
    // A mount point that does not answer statvfs is gone or unreachable.
    return readFsStats(firstMountPoint(interfaces)).has_value();
}

UDisks2VolumeMonitor::Seen UDisks2VolumeMonitor::seen(const QString& path) const {
    const auto it = m_objects.constFind(path);
    if (it == m_objects.constEnd())
        return {};
    Seen result;
    result.mountPath = firstMountPoint(*it);
    result.candidate = !result.mountPath.isEmpty() && isCandidate(*it);
    return result;
}

void UDisks2VolumeMonitor::announce(const Seen& before, const Seen& after) {
    const bool wasListed = !before.mountPath.isEmpty();
    const bool moved = before.mountPath != after.mountPath;
    // Every unmount is announced, candidate or not, so that the list is rebuilt; a drive that
    // stops being a candidate (it was hidden by a rule) counts as gone.
    if (wasListed && (moved || (before.candidate && !after.candidate)))
        emit volumeUnmounted(before.mountPath);
    if (!after.mountPath.isEmpty() && after.candidate && (moved || !before.candidate))
        emit volumeMounted(after.mountPath);
}

void UDisks2VolumeMonitor::onInterfacesAdded(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2)
        return;
    const QString path = args.at(0).value<QDBusObjectPath>().path();
    if (!path.startsWith(kBlockDevices))
        return;
    const Seen before = seen(path);
    const InterfaceMap added = decodeInterfaces(args.at(1));
    InterfaceMap& interfaces = m_objects[path];
    for (auto it = added.constBegin(); it != added.constEnd(); ++it)
        interfaces.insert(it.key(), it.value());
    announce(before, seen(path));
}

void UDisks2VolumeMonitor::onInterfacesRemoved(const QDBusMessage& message) {
    const QList<QVariant> args = message.arguments();
    if (args.size() < 2)
        return;
    const QString path = args.at(0).value<QDBusObjectPath>().path();
    const auto it = m_objects.find(path);
    if (it == m_objects.end())
        return;
    const Seen before = seen(path);
    for (const QString& name : args.at(1).toStringList())
        it->remove(name);
    if (it->isEmpty())
        m_objects.erase(it);
    announce(before, seen(path));
}

void UDisks2VolumeMonitor::onPropertiesChanged(const QDBusMessage& message) {
    const QString path = message.path();
    const QList<QVariant> args = message.arguments();
    if (!path.startsWith(kBlockDevices) || args.size() < 2)
        return;
    const auto object = m_objects.find(path);
    if (object == m_objects.end())
        return;
    const QString interfaceName = args.at(0).toString();
    const auto interface = object->find(interfaceName);
    // A late change for an interface already removed must not bring it back.
    if (interface == object->end())
        return;
    const Seen before = seen(path);
    const QVariantMap changed = decodeProperties(args.at(1));
    for (auto it = changed.constBegin(); it != changed.constEnd(); ++it)
        interface->insert(it.key(), it.value());
    const QStringList invalidated = args.size() > 2 ? args.at(2).toStringList() : QStringList();
    if (!invalidated.isEmpty()) {
        QDBusMessage get =
            QDBusMessage::createMethodCall(kService, path, kProperties, QStringLiteral("GetAll"));
        get << interfaceName;
        const QDBusMessage reply = m_bus.call(get);
        if (reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty()) {
            const QVariantMap all = decodeProperties(reply.arguments().constFirst());
            for (const QString& name : invalidated)
                interface->insert(name, all.value(name));
        }
    }
    announce(before, seen(path));
}

void UDisks2VolumeMonitor::onServiceOwnerChanged(const QString&, const QString&,
                                                 const QString& newOwner) {
    if (newOwner.isEmpty()) {
        m_hiddenWhenLeft.clear();
        for (const InterfaceMap& interfaces : std::as_const(m_objects)) {
            const BlockFacts facts = blockFacts(interfaces);
            bool ok = false;
            const quint64 device =
                interfaces.value(kBlock).value(QStringLiteral("DeviceNumber")).toULongLong(&ok);
            if (!ok || device == 0 || isUDisksCandidate(facts))
                continue;
            for (const QString& point : facts.mountPoints)
                m_hiddenWhenLeft.insert(normalizeMountPath(point), device);
        }
        m_objects.clear();
        m_serviceRunning = false;
        emit serviceChanged(false);
        return;
    }
    // A restarted service announces nothing for drives that were mounted all along.
    const QDBusMessage call = QDBusMessage::createMethodCall(kService, kRoot, kObjectManager,
                                                             QStringLiteral("GetManagedObjects"));
    const QDBusMessage reply = m_bus.call(call);
    m_objects.clear();
    m_serviceRunning = reply.type() == QDBusMessage::ReplyMessage && !reply.arguments().isEmpty();
    if (m_serviceRunning) {
        const ManagedObjects all = decodeManagedObjects(reply.arguments().constFirst());
        for (auto it = all.constBegin(); it != all.constEnd(); ++it) {
            if (it.key().startsWith(kBlockDevices))
                m_objects.insert(it.key(), it.value());
        }
    }
    emit serviceChanged(m_serviceRunning);
}

std::vector<MountedVolume> UDisks2VolumeMonitor::mountedVolumes() const {
    std::vector<MountedVolume> volumes;
    for (auto it = m_objects.constBegin(); it != m_objects.constEnd(); ++it) {
        const BlockFacts facts = blockFacts(*it);
        if (!isUDisksCandidate(facts))
            continue;
        const QString mountPath = normalizeMountPath(facts.mountPoints.first());
        const std::optional<FsStats> stats = readFsStats(mountPath);
        if (!stats)
            continue;
        const QVariantMap block = it->value(kBlock);
        std::optional<qint64> deviceSize =
            positiveSize(it->value(kFilesystem).value(QStringLiteral("Size")));
        if (!deviceSize)
            deviceSize = positiveSize(block.value(QStringLiteral("Size")));
        const Capacities capacities = volumeCapacities(stats, deviceSize);

        MountedVolume volume;
        volume.mountPath = mountPath;
        volume.name = volumeDisplayName(facts.idLabel, facts.hintName, mountPath);
        volume.device = decodeByteStringValue(block.value(QStringLiteral("PreferredDevice")));
        if (volume.device.isEmpty())
            volume.device = decodeByteStringValue(block.value(QStringLiteral("Device")));
        volume.objectPath = it.key();
        volume.totalCapacity = capacities.total;
        volume.availableCapacity = capacities.available;
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

// --- ejection ---

namespace {

struct Call {
    QDBusConnection& bus;

    // The system's words when the call fails, nothing when it succeeds.
    std::optional<QString> operator()(const QString& path, const QString& interface,
                                      const QString& method) const {
        QDBusMessage message = QDBusMessage::createMethodCall(kService, path, interface, method);
        // Interaction stays allowed: a desktop's authentication agent may ask the user.
        const QVariantMap options{{QStringLiteral("auth.no_user_interaction"), false}};
        message << options;
        const QDBusMessage reply = bus.call(message, QDBus::Block, kEjectCallTimeoutMs);
        if (reply.type() == QDBusMessage::ReplyMessage)
            return std::nullopt;
        QString words = reply.errorMessage().trimmed();
        if (words.isEmpty())
            words = reply.errorName();
        return words;
    }
};

// The device that leaves the computer when `path` is ejected: the backing device of an unlocked
// container, the whole disk of a partition.
QString topDevice(const ManagedObjects& objects, QString path) {
    for (int depth = 0; depth < 8; ++depth) {
        const InterfaceMap interfaces = objects.value(path);
        const QString backing =
            objectPathValue(interfaces.value(kBlock).value(QStringLiteral("CryptoBackingDevice")));
        if (!backing.isEmpty() && backing != path) {
            path = backing;
            continue;
        }
        const QString table =
            objectPathValue(interfaces.value(kPartition).value(QStringLiteral("Table")));
        if (!table.isEmpty() && table != path) {
            path = table;
            continue;
        }
        break;
    }
    return path;
}

} // namespace

UDisks2VolumeEjector::UDisks2VolumeEjector(QDBusConnection bus) : m_bus(std::move(bus)) {}

EjectOutcome UDisks2VolumeEjector::eject(const QString& mountPath) {
    if (std::optional<EjectOutcome> outcome = ejectIfKnown(mountPath))
        return *outcome;
    return {false, QStringLiteral("%1: not mounted.").arg(normalizeMountPath(mountPath))};
}

std::optional<EjectOutcome> UDisks2VolumeEjector::ejectIfKnown(const QString& mountPath) {
    const QString wanted = normalizeMountPath(mountPath);
    const QDBusMessage reply =
        m_bus.call(QDBusMessage::createMethodCall(kService, kRoot, kObjectManager,
                                                  QStringLiteral("GetManagedObjects")),
                   QDBus::Block, kEjectCallTimeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return EjectOutcome{false, reply.errorMessage().isEmpty() ? reply.errorName()
                                                                  : reply.errorMessage()};
    const ManagedObjects objects = decodeManagedObjects(reply.arguments().constFirst());

    QString target;
    for (auto it = objects.constBegin(); it != objects.constEnd() && target.isEmpty(); ++it) {
        const QStringList points =
            decodeByteStringList(it->value(kFilesystem).value(QStringLiteral("MountPoints")));
        for (const QString& point : points) {
            if (normalizeMountPath(point) == wanted) {
                target = it.key();
                break;
            }
        }
    }
    if (target.isEmpty())
        return std::nullopt;

    const Call call{m_bus};
    if (auto error = call(target, kFilesystem, QStringLiteral("Unmount")))
        return EjectOutcome{false, *error};

    // The other file systems of the same device go too: the device can only be removed whole.
    const QString whole = topDevice(objects, target);
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        if (it.key() == target || topDevice(objects, it.key()) != whole)
            continue;
        if (decodeByteStringList(it->value(kFilesystem).value(QStringLiteral("MountPoints")))
                .isEmpty())
            continue;
        if (auto error = call(it.key(), kFilesystem, QStringLiteral("Unmount")))
            return EjectOutcome{false, *error};
    }
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        const auto encrypted = it->constFind(kEncrypted);
        if (encrypted == it->constEnd() || topDevice(objects, it.key()) != whole)
            continue;
        if (objectPathValue(encrypted->value(QStringLiteral("CleartextDevice"))).isEmpty())
            continue;
        if (auto error = call(it.key(), kEncrypted, QStringLiteral("Lock")))
            return EjectOutcome{false, *error};
    }

    const InterfaceMap wholeInterfaces = objects.value(whole);
    if (wholeInterfaces.contains(kLoop)) {
        // A loop device set to clear itself (what `mount -o loop` and most image mounters make)
        // is detached by the kernel as soon as it is unmounted; deleting it once more would only
        // fail with "No such device or address".
        if (wholeInterfaces.value(kLoop).value(QStringLiteral("Autoclear")).toBool())
            return EjectOutcome{true, {}};
        if (auto error = call(whole, kLoop, QStringLiteral("Delete")))
            return EjectOutcome{false, *error};
        return EjectOutcome{true, {}};
    }
    const QString drive =
        objectPathValue(wholeInterfaces.value(kBlock).value(QStringLiteral("Drive")));
    if (drive.isEmpty())
        return EjectOutcome{true, {}};
    const QVariantMap driveProperties = objects.value(drive).value(kDrive);
    if (driveProperties.value(QStringLiteral("CanPowerOff")).toBool()) {
        if (auto error = call(drive, kDrive, QStringLiteral("PowerOff")))
            return EjectOutcome{false, *error};
    } else if (driveProperties.value(QStringLiteral("Ejectable")).toBool()) {
        if (auto error = call(drive, kDrive, QStringLiteral("Eject")))
            return EjectOutcome{false, *error};
    }
    return EjectOutcome{true, {}};
}

} // namespace keelbox::app
