#pragma once
// Helpers for tests that run against the desktop services started by scripts/test-stack.sh.

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QRegularExpression>
#include <QString>
#include <QStringList>
#include <QTest>
#include <QUuid>

// On CI (CI=true) a test that cannot run fails, so that a missing package cannot hide behind a
// skip; on a developer's machine without root or loop devices it is skipped.
#define SKIP_OR_FAIL(reason)                                                                       \
    do {                                                                                           \
        const QByteArray why_ = QString(reason).toUtf8();                                          \
        if (qEnvironmentVariable("CI") == QLatin1String("true"))                                   \
            QFAIL(why_.constData());                                                               \
        QSKIP(why_.constData());                                                                   \
    } while (false)

namespace keelbox::test {

struct Run {
    int exitCode = -1;
    QString out; // stdout and stderr together
    bool ok() const { return exitCode == 0; }
};

inline Run run(const QString& program, const QStringList& args, const QString& workDir = {},
               int timeoutMs = 60000) {
    QProcess process;
    process.setProcessChannelMode(QProcess::MergedChannels);
    if (!workDir.isEmpty())
        process.setWorkingDirectory(workDir);
    process.start(program, args);
    if (!process.waitForStarted())
        return {-1, program + QStringLiteral(": ") + process.errorString()};
    if (!process.waitForFinished(timeoutMs)) {
        process.kill();
        process.waitForFinished();
        return {-1, program + QStringLiteral(": timed out")};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAll())};
}

inline QString stackDir() {
    return qEnvironmentVariable("KEELBOX_STACK_DIR");
}

// Empty when the stack is up, otherwise why it is not.
inline QString stackProblem() {
    const QString dir = stackDir();
    if (dir.isEmpty())
        return QStringLiteral("KEELBOX_STACK_DIR is not set (run through ctest)");
    QFile reason(dir + QStringLiteral("/unavailable"));
    if (reason.open(QIODevice::ReadOnly))
        return QStringLiteral("test stack unavailable: ") +
               QString::fromUtf8(reason.readAll()).trimmed();
    if (!QFile::exists(dir + QStringLiteral("/ready")))
        return QStringLiteral("test stack is not running in ") + dir;
    return {};
}

// A fresh image file in the stack's image folder. `kind` is "removable", "ignored" or "system"
// (the test stack's udev rules key on it); `fs` is "ext4", "vfat", "vfat32" or "exfat".
inline QString makeImage(const QString& fs, const QString& label, const QString& kind,
                         QString* error) {
    const QString path =
        QStringLiteral("%1/img/%2-%3-%4.img")
            .arg(stackDir(), fs, QUuid::createUuid().toString(QUuid::Id128).left(8), kind);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || !file.resize(64 * 1024 * 1024)) {
        *error = file.errorString();
        return {};
    }
    file.close();
    Run made;
    if (fs == QLatin1String("ext4"))
        made = run(QStringLiteral("mkfs.ext4"),
                   {QStringLiteral("-q"), QStringLiteral("-F"), QStringLiteral("-L"), label, path});
    else if (fs == QLatin1String("vfat32"))
        // FAT32 with 512-byte clusters: the FUSE driver reports zero blocks for it.
        made = run(QStringLiteral("mkfs.vfat"),
                   {QStringLiteral("-F"), QStringLiteral("32"), QStringLiteral("-n"), label, path});
    else if (fs == QLatin1String("vfat"))
        // FAT16 on 64 MiB: 2 KiB clusters, which the FUSE driver reports with a proper size.
        made = run(QStringLiteral("mkfs.vfat"), {QStringLiteral("-n"), label, path});
    else
        made = run(QStringLiteral("mkfs.exfat"), {QStringLiteral("-L"), label, path});
    if (!made.ok()) {
        *error = made.out;
        return {};
    }
    return path;
}

// The loop devices backed by `image`.
inline QStringList loopsOf(const QString& image) {
    const Run listed = run(QStringLiteral("losetup"), {QStringLiteral("-j"), image});
    QStringList loops;
    for (const QString& line : listed.out.split(u'\n', Qt::SkipEmptyParts))
        loops.append(line.section(u':', 0, 0));
    return loops;
}

// Unmounts whatever is mounted from `image` and detaches its loops; for test clean-up.
inline void discardImage(const QString& image) {
    for (const QString& loop : loopsOf(image)) {
        QFile table(QStringLiteral("/proc/self/mountinfo"));
        if (table.open(QIODevice::ReadOnly)) {
            const QStringList lines = QString::fromUtf8(table.readAll()).split(u'\n');
            for (const QString& line : lines) {
                const QStringList fields = line.split(u' ');
                if (fields.size() > 4 &&
                    line.contains(QStringLiteral(" ") + loop + QStringLiteral(" "))) {
                    QString point = fields[4];
                    point.replace(QStringLiteral("\\040"), QStringLiteral(" "));
                    if (!run(QStringLiteral("umount"), {point}).ok())
                        run(QStringLiteral("umount"), {QStringLiteral("-l"), point});
                }
            }
        }
        run(QStringLiteral("losetup"), {QStringLiteral("-d"), loop});
    }
    QFile::remove(image);
}

} // namespace keelbox::test
