#include "app/platform/MountTableVolumes.h"

#include <QDir>
#include <QFile>
#include <QFileInfo>
#include <QProcess>
#include <QSocketNotifier>

#include <limits>
#include <utility>
#include <vector>

#include <fcntl.h>
#include <unistd.h>

namespace keelbox::app {

namespace {

std::vector<MountEntry> readTable(const QString& path) {
    return readMountTable(QFile::encodeName(path).toStdString());
}

// Reads the mount table to its end, which clears the kernel's change mark.
void drain(int fd) {
    char buffer[16384];
    ::lseek(fd, 0, SEEK_SET);
    while (readRetrying(fd, buffer, sizeof buffer) > 0) {
    }
}

std::optional<qint64> blockDeviceSize(unsigned major, unsigned minor) {
    // The kernel counts in 512-byte sectors whatever the device's own sector size.
    const std::string path =
        "/sys/dev/block/" + std::to_string(major) + ":" + std::to_string(minor) + "/size";
    // sysfs gives every attribute the size of a page, whatever it holds.
    const FileContent content = major == 0 ? FileContent{{}, ENODEV} : readFile(path, 4096);
    if (!content.ok())
        return std::nullopt;
    bool ok = false;
    const qint64 sectors = QByteArray::fromStdString(content.text).trimmed().toLongLong(&ok);
    if (!ok || sectors <= 0 || sectors > std::numeric_limits<qint64>::max() / 512)
        return std::nullopt;
    return sectors * 512;
}

constexpr int unmountTimeoutMs = 10 * 60 * 1000;

struct ProcessResult {
    bool ok = false;
    QString words;
};

ProcessResult run(const QString& program, const QStringList& arguments) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    process.start(program, arguments);
    if (!process.waitForStarted())
        return {false, QStringLiteral("%1: %2").arg(program, process.errorString())};
    if (!process.waitForFinished(unmountTimeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {false, QStringLiteral("%1: %2").arg(program, process.errorString())};
    }
    const QString output = QString::fromLocal8Bit(process.readAll()).trimmed();
    return {process.exitStatus() == QProcess::NormalExit && process.exitCode() == 0, output};
}

} // namespace

MountTableVolumeMonitor::MountTableVolumeMonitor(QObject* parent, QString mountInfoPath,
                                                 QString labelDir)
    : VolumeMonitor(parent), m_mountInfoPath(std::move(mountInfoPath)),
      m_labelDir(std::move(labelDir)) {}

MountTableVolumeMonitor::~MountTableVolumeMonitor() {
    delete m_notifier;
}

bool MountTableVolumeMonitor::start() {
    if (m_mountTable)
        return true;
    m_mountTable.reset(
        ::open(QFile::encodeName(m_mountInfoPath).constData(), O_RDONLY | O_CLOEXEC));
    if (!m_mountTable)
        return false;
    // The kernel marks the mount table with POLLPRI|POLLERR after every mount and unmount until
    // it has been read again from the start.
    drain(m_mountTable.get());
    m_notifier = new QSocketNotifier(m_mountTable.get(), QSocketNotifier::Exception);
    connect(m_notifier, &QSocketNotifier::activated, this, [this] {
        drain(m_mountTable.get());
        rescan();
    });
    for (MountEntry& entry : readCandidates())
        m_known.insert(mountPathOf(entry), std::move(entry));
    return true;
}

std::vector<MountEntry> MountTableVolumeMonitor::readCandidates() const {
    std::vector<MountEntry> candidates;
    for (MountEntry& entry : readTable(m_mountInfoPath)) {
        if (!isMountTableCandidate(entry))
            continue;
        // A later mount on the same point hides the earlier one.
        const QString point = mountPathOf(entry);
        std::erase_if(candidates,
                      [&](const MountEntry& other) { return mountPathOf(other) == point; });
        candidates.push_back(std::move(entry));
    }
    return candidates;
}

void MountTableVolumeMonitor::rescan() {
    QMap<QString, MountEntry> now;
    for (MountEntry& entry : readCandidates())
        now.insert(mountPathOf(entry), std::move(entry));
    const QMap<QString, MountEntry> before = std::exchange(m_known, now);
    for (auto it = before.constBegin(); it != before.constEnd(); ++it) {
        const auto current = now.constFind(it.key());
        if (current == now.constEnd() || current->mountId != it->mountId)
            emit volumeUnmounted(it.key());
    }
    for (auto it = now.constBegin(); it != now.constEnd(); ++it) {
        const auto previous = before.constFind(it.key());
        if (previous == before.constEnd() || previous->mountId != it->mountId)
            emit volumeMounted(it.key());
    }
}

QString labelForDevice(const QString& device, const QString& labelDir) {
    if (!device.startsWith(u'/'))
        return {};
    const QString canonical = QFileInfo(device).canonicalFilePath();
    if (canonical.isEmpty())
        return {};
    const QDir dir(labelDir);
    const QFileInfoList links =
        dir.entryInfoList(QDir::Files | QDir::System | QDir::NoDotAndDotDot);
    for (const QFileInfo& link : links) {
        if (link.canonicalFilePath() == canonical)
            return decodeUdevEscapes(link.fileName());
    }
    return {};
}

std::vector<MountedVolume> MountTableVolumeMonitor::mountedVolumes() const {
    std::vector<MountedVolume> volumes;
    for (const MountEntry& entry : readCandidates()) {
        const QString mountPath = mountPathOf(entry);
        const std::optional<FsStats> stats = readFsStats(mountPath);
        if (!stats)
            continue;
        const Capacities capacities =
            volumeCapacities(stats, blockDeviceSize(entry.major, entry.minor));
        MountedVolume volume;
        volume.mountPath = mountPath;
        volume.device = entry.source.starts_with('/') ? decodedName(entry.source) : QString();
        volume.name = volumeDisplayName(labelForDevice(volume.device, m_labelDir), {}, mountPath);
        volume.totalCapacity = capacities.total;
        volume.availableCapacity = capacities.available;
        volumes.push_back(std::move(volume));
    }
    return volumes;
}

MountTableVolumeEjector::MountTableVolumeEjector(QString mountInfoPath)
    : m_mountInfoPath(std::move(mountInfoPath)) {}

EjectOutcome MountTableVolumeEjector::eject(const QString& mountPath) {
    const QString wanted = normalizeMountPath(mountPath);
    std::optional<MountEntry> mounted;
    for (MountEntry& entry : readTable(m_mountInfoPath)) {
        if (mountPathOf(entry) == wanted)
            mounted = std::move(entry);
    }
    if (!mounted)
        return {false, QStringLiteral("%1: not mounted.").arg(wanted)};

    const ProcessResult unmounted = run(QStringLiteral("umount"), {wanted});
    if (unmounted.ok)
        return {true, {}};
    // A FUSE drive mounted by the user comes off with fusermount, without privileges.
    if (mounted->fsType == "fuseblk" || mounted->fsType.starts_with("fuse.")) {
        for (const QString& tool : {QStringLiteral("fusermount3"), QStringLiteral("fusermount")}) {
            if (run(tool, {QStringLiteral("-u"), wanted}).ok)
                return {true, {}};
        }
    }
    return {false, unmounted.words.isEmpty() ? QStringLiteral("%1: umount failed.").arg(wanted)
                                             : unmounted.words};
}

} // namespace keelbox::app
