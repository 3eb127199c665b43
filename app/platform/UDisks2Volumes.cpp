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
#include <variant>

namespace keelbox::app {

namespace {

const QString udisksService = QStringLiteral("org.freedesktop.UDisks2");
const QString udisksRoot = QStringLiteral("/org/freedesktop/UDisks2");
const QString blockDevicesPrefix = QStringLiteral("/org/freedesktop/UDisks2/block_devices/");
const QString objectManagerInterface = QStringLiteral("org.freedesktop.DBus.ObjectManager");
const QString propertiesInterface = QStringLiteral("org.freedesktop.DBus.Properties");
const QString blockInterface = QStringLiteral("org.freedesktop.UDisks2.Block");
const QString filesystemInterface = QStringLiteral("org.freedesktop.UDisks2.Filesystem");
const QString partitionInterface = QStringLiteral("org.freedesktop.UDisks2.Partition");
const QString loopInterface = QStringLiteral("org.freedesktop.UDisks2.Loop");
const QString encryptedInterface = QStringLiteral("org.freedesktop.UDisks2.Encrypted");
const QString driveInterface = QStringLiteral("org.freedesktop.UDisks2.Drive");

// Unmounting flushes the drive's write cache, which takes minutes on a slow stick; the call runs
// off the main thread, so waiting long is harmless.
constexpr int ejectCallTimeoutMs = 10 * 60 * 1000;

// The D-Bus map `value` holds, if it holds one.
std::optional<QDBusArgument> mapArgument(const QVariant& value) {
    if (value.userType() != qMetaTypeId<QDBusArgument>())
        return std::nullopt;
    QDBusArgument arg = value.value<QDBusArgument>();
    if (arg.currentType() != QDBusArgument::MapType)
        return std::nullopt;
    return arg;
}

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

QStringList mountPointsOf(const InterfaceMap& interfaces) {
    return decodeByteStringList(
        interfaces.value(filesystemInterface).value(QStringLiteral("MountPoints")));
}

QString firstMountPoint(const InterfaceMap& interfaces) {
    const QStringList points = mountPointsOf(interfaces);
    return points.isEmpty() ? QString() : normalizeMountPath(points.first());
}

std::optional<qint64> positiveSize(const QVariant& value) {
    bool ok = false;
    const qulonglong size = value.toULongLong(&ok);
    if (!ok || size == 0 || size > static_cast<qulonglong>(std::numeric_limits<qint64>::max()))
        return std::nullopt;
    return static_cast<qint64>(size);
}

// Every object UDisks2 manages, or the error's words when it does not answer.
std::variant<ManagedObjects, QString> fetchManagedObjects(const QDBusConnection& bus,
                                                          int timeoutMs = -1) {
    const QDBusMessage reply =
        bus.call(QDBusMessage::createMethodCall(udisksService, udisksRoot, objectManagerInterface,
                                                QStringLiteral("GetManagedObjects")),
                 QDBus::Block, timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return reply.errorMessage().isEmpty() ? reply.errorName() : reply.errorMessage();
    return decodeManagedObjects(reply.arguments().constFirst());
}

ManagedObjects blockDevicesOf(const ManagedObjects& all) {
    ManagedObjects blocks;
    for (auto it = all.constBegin(); it != all.constEnd(); ++it) {
        if (it.key().startsWith(blockDevicesPrefix))
            blocks.insert(it.key(), it.value());
    }
    return blocks;
}

} // namespace

bool udisksAvailable(const QDBusConnection& bus) {
    if (!bus.isConnected() || bus.interface() == nullptr)
        return false;
    if (bus.interface()->isServiceRegistered(udisksService).value())
        return true;
    const QDBusReply<QStringList> activatable =
        bus.interface()->call(QStringLiteral("ListActivatableNames"));
    return activatable.isValid() && activatable.value().contains(udisksService);
}

ManagedObjects decodeManagedObjects(const QVariant& value) {
    ManagedObjects objects;
    const std::optional<QDBusArgument> arg = mapArgument(value);
    if (!arg)
        return objects;
    arg->beginMap();
    while (!arg->atEnd()) {
        QDBusObjectPath path;
        arg->beginMapEntry();
        *arg >> path;
        InterfaceMap interfaces = readInterfaces(*arg);
        arg->endMapEntry();
        objects.insert(path.path(), interfaces);
    }
    arg->endMap();
    return objects;
}

InterfaceMap decodeInterfaces(const QVariant& value) {
    const std::optional<QDBusArgument> arg = mapArgument(value);
    return arg ? readInterfaces(*arg) : InterfaceMap();
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
    const QVariantMap block = interfaces.value(blockInterface);
    facts.hintSystem = block.value(QStringLiteral("HintSystem")).toBool();
    facts.hintIgnore = block.value(QStringLiteral("HintIgnore")).toBool();
    facts.idUsage = block.value(QStringLiteral("IdUsage")).toString();
    facts.idLabel = block.value(QStringLiteral("IdLabel")).toString();
    facts.hintName = block.value(QStringLiteral("HintName")).toString();
    const auto fs = interfaces.constFind(filesystemInterface);
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
    subscribe(true);
    auto* watcher = new QDBusServiceWatcher(udisksService, m_bus,
                                            QDBusServiceWatcher::WatchForOwnerChange, this);
    connect(watcher, &QDBusServiceWatcher::serviceOwnerChanged, this,
            &UDisks2VolumeMonitor::onServiceOwnerChanged);
    const auto all = fetchManagedObjects(m_bus);
    if (!std::holds_alternative<ManagedObjects>(all)) {
        subscribe(false);
        delete watcher;
        return false;
    }
    // Drives already mounted are not announced: the caller scans once after starting.
    m_objects = blockDevicesOf(std::get<ManagedObjects>(all));
    m_started = true;
    m_serviceRunning = true;
    return true;
}

void UDisks2VolumeMonitor::subscribe(bool on) {
    struct Subscription {
        QString path;
        QString interface;
        const char* name;
        const char* slot;
    };
    const Subscription subscriptions[] = {
        {udisksRoot, objectManagerInterface, "InterfacesAdded",
         SLOT(onInterfacesAdded(QDBusMessage))},
        {udisksRoot, objectManagerInterface, "InterfacesRemoved",
         SLOT(onInterfacesRemoved(QDBusMessage))},
        {QString(), propertiesInterface, "PropertiesChanged",
         SLOT(onPropertiesChanged(QDBusMessage))},
    };
    for (const Subscription& s : subscriptions) {
        const QString name = QString::fromLatin1(s.name);
        if (on)
            m_bus.connect(udisksService, s.path, s.interface, name, this, s.slot);
        else
            m_bus.disconnect(udisksService, s.path, s.interface, name, this, s.slot);
    }
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
    if (!path.startsWith(blockDevicesPrefix))
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
    if (!path.startsWith(blockDevicesPrefix) || args.size() < 2)
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
        QDBusMessage get = QDBusMessage::createMethodCall(udisksService, path, propertiesInterface,
                                                          QStringLiteral("GetAll"));
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
            const quint64 device = interfaces.value(blockInterface)
                                       .value(QStringLiteral("DeviceNumber"))
                                       .toULongLong(&ok);
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
    const auto all = fetchManagedObjects(m_bus);
    m_serviceRunning = std::holds_alternative<ManagedObjects>(all);
    m_objects = m_serviceRunning ? blockDevicesOf(std::get<ManagedObjects>(all)) : ManagedObjects();
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
        const QVariantMap block = it->value(blockInterface);
        std::optional<qint64> deviceSize =
            positiveSize(it->value(filesystemInterface).value(QStringLiteral("Size")));
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

namespace {

struct Call {
    const QDBusConnection& bus;

    // The system's words when the call fails, nothing when it succeeds.
    std::optional<QString> operator()(const QString& path, const QString& interface,
                                      const QString& method) const {
        QDBusMessage message =
            QDBusMessage::createMethodCall(udisksService, path, interface, method);
        // Interaction stays allowed: a desktop's authentication agent may ask the user.
        const QVariantMap options{{QStringLiteral("auth.no_user_interaction"), false}};
        message << options;
        const QDBusMessage reply = bus.call(message, QDBus::Block, ejectCallTimeoutMs);
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
        const QString backing = objectPathValue(
            interfaces.value(blockInterface).value(QStringLiteral("CryptoBackingDevice")));
        if (!backing.isEmpty() && backing != path) {
            path = backing;
            continue;
        }
        const QString table =
            objectPathValue(interfaces.value(partitionInterface).value(QStringLiteral("Table")));
        if (!table.isEmpty() && table != path) {
            path = table;
            continue;
        }
        break;
    }
    return path;
}

// The block object whose file system is mounted at `wanted`; empty when there is none.
QString fileSystemMountedAt(const ManagedObjects& objects, const QString& wanted) {
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        for (const QString& point : mountPointsOf(*it)) {
            if (normalizeMountPath(point) == wanted)
                return it.key();
        }
    }
    return {};
}

// The device can only be removed whole: the other file systems on it are unmounted too, and its
// unlocked containers locked.
std::optional<QString> releaseSiblings(const Call& call, const ManagedObjects& objects,
                                       const QString& unmounted, const QString& whole) {
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        if (it.key() == unmounted || topDevice(objects, it.key()) != whole ||
            mountPointsOf(*it).isEmpty())
            continue;
        if (auto error = call(it.key(), filesystemInterface, QStringLiteral("Unmount")))
            return error;
    }
    for (auto it = objects.constBegin(); it != objects.constEnd(); ++it) {
        const auto encrypted = it->constFind(encryptedInterface);
        if (encrypted == it->constEnd() || topDevice(objects, it.key()) != whole ||
            objectPathValue(encrypted->value(QStringLiteral("CleartextDevice"))).isEmpty())
            continue;
        if (auto error = call(it.key(), encryptedInterface, QStringLiteral("Lock")))
            return error;
    }
    return std::nullopt;
}

// Detaches a loop device, or powers the drive off, or ejects its medium, whichever applies.
std::optional<QString> removeDevice(const Call& call, const ManagedObjects& objects,
                                    const QString& whole) {
    const InterfaceMap wholeInterfaces = objects.value(whole);
    if (wholeInterfaces.contains(loopInterface)) {
        // A loop device set to clear itself (what `mount -o loop` and most image mounters make)
        // is detached by the kernel as soon as it is unmounted; deleting it once more would only
        // fail with "No such device or address".
        if (wholeInterfaces.value(loopInterface).value(QStringLiteral("Autoclear")).toBool())
            return std::nullopt;
        return call(whole, loopInterface, QStringLiteral("Delete"));
    }
    const QString drive =
        objectPathValue(wholeInterfaces.value(blockInterface).value(QStringLiteral("Drive")));
    if (drive.isEmpty())
        return std::nullopt;
    const QVariantMap driveProperties = objects.value(drive).value(driveInterface);
    if (driveProperties.value(QStringLiteral("CanPowerOff")).toBool())
        return call(drive, driveInterface, QStringLiteral("PowerOff"));
    if (driveProperties.value(QStringLiteral("Ejectable")).toBool())
        return call(drive, driveInterface, QStringLiteral("Eject"));
    return std::nullopt;
}

} // namespace

UDisks2VolumeEjector::UDisks2VolumeEjector(QDBusConnection bus) : m_bus(std::move(bus)) {}

EjectOutcome UDisks2VolumeEjector::eject(const QString& mountPath) {
    if (std::optional<EjectOutcome> outcome = ejectIfKnown(mountPath))
        return *outcome;
    return {false, QStringLiteral("%1: not mounted.").arg(normalizeMountPath(mountPath))};
}

std::optional<EjectOutcome> UDisks2VolumeEjector::ejectIfKnown(const QString& mountPath) {
    const auto fetched = fetchManagedObjects(m_bus, ejectCallTimeoutMs);
    if (const QString* error = std::get_if<QString>(&fetched))
        return EjectOutcome{false, *error};
    const ManagedObjects& objects = std::get<ManagedObjects>(fetched);
    const QString target = fileSystemMountedAt(objects, normalizeMountPath(mountPath));
    if (target.isEmpty())
        return std::nullopt;
    const Call call{m_bus};
    const QString whole = topDevice(objects, target);
    std::optional<QString> error = call(target, filesystemInterface, QStringLiteral("Unmount"));
    if (!error)
        error = releaseSiblings(call, objects, target, whole);
    if (!error)
        error = removeDevice(call, objects, whole);
    if (error)
        return EjectOutcome{false, *error};
    return EjectOutcome{true, {}};
}

} // namespace keelbox::app
