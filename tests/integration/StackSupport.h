#pragma once
// Helpers for tests that run against the desktop services started by scripts/test-stack.sh.

#include "../support/QtFiles.h"
#include "core/ConfigFile.h"

#include <QDir>
#include <QFileInfo>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QMap>
#include <QProcess>
#include <QRegularExpression>
#include <QTest>
#include <QUuid>

#include <csignal>
#include <unistd.h>

using namespace Qt::StringLiterals;

// With CI=true a test that cannot run fails, so a missing package cannot hide behind a skip.
#define SKIP_OR_FAIL(reason)                                                                       \
    do {                                                                                           \
        const QByteArray why_ = QString(reason).toUtf8();                                          \
        if (qEnvironmentVariable("CI") == "true"_L1)                                               \
            QFAIL(why_.constData());                                                               \
        QSKIP(why_.constData());                                                                   \
    } while (false)

#define REQUIRE_STACK()                                                                            \
    do {                                                                                           \
        const QString problem_ = keelbox::test::stackProblem();                                    \
        if (!problem_.isEmpty())                                                                   \
            SKIP_OR_FAIL(problem_);                                                                \
    } while (false)

namespace keelbox::test {

struct Run {
    int exitCode = -1;
    QString out;
    bool ok() const { return exitCode == 0; }
};

// Runs `program` a minute at most; `out` is both channels, or standard output if not `merged`.
inline Run run(const QString& program, const QStringList& args,
               const QProcessEnvironment& environment = QProcessEnvironment::systemEnvironment(),
               bool merged = true) {
    QProcess process;
    process.setProcessEnvironment(environment);
    process.setProcessChannelMode(merged ? QProcess::MergedChannels : QProcess::SeparateChannels);
    process.start(program, args);
    if (!process.waitForStarted())
        return {-1, program + u": "_s + process.errorString()};
    if (!process.waitForFinished(60000)) {
        process.kill();
        process.waitForFinished();
        return {-1, program + u": timed out"_s};
    }
    return {process.exitStatus() == QProcess::NormalExit ? process.exitCode() : -1,
            QString::fromLocal8Bit(process.readAllStandardOutput())};
}

inline QString stackDir() {
    return qEnvironmentVariable("KEELBOX_STACK_DIR");
}

// Empty when the stack is up, otherwise why it is not.
inline QString stackProblem() {
    const QString dir = stackDir();
    if (dir.isEmpty())
        return u"KEELBOX_STACK_DIR is not set (run through ctest)"_s;
    if (QFile reason(dir + u"/unavailable"_s); reason.open(QIODevice::ReadOnly))
        return u"test stack unavailable: "_s + QString::fromUtf8(reason.readAll()).trimmed();
    return QFile::exists(dir + u"/ready"_s) ? QString() : u"test stack is not running in "_s + dir;
}

inline QString shortId() {
    return QUuid::createUuid().toString(QUuid::Id128).left(8);
}

// A fresh 64 MiB image, empty on failure; `kind` (removable, ignored, system) keys the stack's udev
// rules; an ext4 image starts with the files of `content` when given.
inline QString makeImage(const QString& fs, const QString& label, const QString& kind,
                         const QString& content = {}) {
    const QString path = u"%1/img/%2-%3-%4.img"_s.arg(stackDir(), fs, shortId(), kind);
    if (QFile file(path); !file.open(QIODevice::WriteOnly) || !file.resize(64 * 1024 * 1024)) {
        qWarning("%s: %s", qPrintable(path), qPrintable(file.errorString()));
        return {};
    }
    QStringList args;
    if (fs == "ext4"_L1)
        args = QStringList{u"mkfs.ext4"_s, u"-q"_s, u"-F"_s, u"-L"_s, label} +
               (content.isEmpty() ? QStringList{} : QStringList{u"-d"_s, content});
    else if (fs == "vfat32"_L1) // 512-byte clusters: the FUSE driver reports zero blocks for it
        args = {u"mkfs.vfat"_s, u"-F"_s, u"32"_s, u"-n"_s, label};
    else if (fs == "vfat"_L1) // FAT16 with 2 KiB clusters, which FUSE reports with a proper size
        args = {u"mkfs.vfat"_s, u"-n"_s, label};
    else // NTFS: labels of up to 128 characters, any text
        args = {u"mkntfs"_s, u"-q"_s, u"-F"_s, u"-f"_s, u"-L"_s, label};
    const QString tool = args.takeFirst();
    if (const Run made = run(tool, args << path); !made.ok()) {
        qWarning("%s", qPrintable(made.out));
        QFile::remove(path);
        return {};
    }
    return path;
}

// An environment whose home, XDG folders and runtime folder are below `root`.
inline QProcessEnvironment privateSession(const QString& root) {
    QProcessEnvironment env = QProcessEnvironment::systemEnvironment();
    env.insert(u"HOME"_s, root);
    for (const QString& kind : {u"CONFIG"_s, u"DATA"_s, u"CACHE"_s})
        env.insert(u"XDG_%1_HOME"_s.arg(kind), root + u'/' + kind);
    env.insert(u"XDG_RUNTIME_DIR"_s, root + u"/runtime"_s);
    QDir().mkpath(root + u"/runtime"_s);
    QFile::setPermissions(root + u"/runtime"_s,
                          QFileDevice::ReadOwner | QFileDevice::WriteOwner | QFileDevice::ExeOwner);
    return env;
}

// What the stack's notification daemon was sent so far, oldest first.
inline QList<QJsonObject> notifications() {
    QList<QJsonObject> notes;
    for (const QByteArray& line :
         readFile(qEnvironmentVariable("KEELBOX_NOTIFICATIONS_FILE")).split('\n'))
        if (!line.trimmed().isEmpty())
            notes.append(QJsonDocument::fromJson(line).object());
    return notes;
}

// An ext4 stick holding `files` (written under `content` first) whose rules back it all up to
// `destination` on connect; empty on failure.
inline QString configuredStick(const QString& content, const QString& label,
                               const QString& destination, const QMap<QString, QByteArray>& files,
                               bool mirror = false) {
    for (auto it = files.constBegin(); it != files.constEnd(); ++it)
        if (!writeFile(content + u'/' + it.key(), it.value()))
            return {};
    DriveConfig config = DriveConfig::makeNew(label.toStdString(), now());
    config.destinationPath = destination.toStdString();
    config.deleteRemovedFiles = mirror;
    config.sources = {{Uuid::random(), ""}};
    return QDir().mkpath(content) && !writeConfig(config, content.toStdString())
               ? makeImage(u"ext4"_s, label, u"removable"_s, content)
               : QString();
}

// Waits until udev has handled the devices that came and went (labels published, rules applied).
inline void settleUdev() {
    run(u"udevadm"_s, {u"settle"_s, u"-t"_s, u"30"_s});
}

inline QStringList loopsOf(const QString& image) {
    QStringList loops;
    for (const QString& line :
         run(u"losetup"_s, {u"-j"_s, image}).out.split(u'\n', Qt::SkipEmptyParts))
        loops.append(line.section(u':', 0, 0));
    return loops;
}

// Test clean-up: unmounts `image`, detaches its loops and removes it.
inline void discardImage(const QString& image) {
    if (image.isEmpty())
        return;
    for (const QString& loop : loopsOf(image)) {
        if (!run(u"umount"_s, {u"--all-targets"_s, loop}).ok())
            run(u"umount"_s, {u"--all-targets"_s, u"--lazy"_s, loop});
        run(u"losetup"_s, {u"-d"_s, loop});
    }
    QFile::remove(image);
}

// Test clean-up: unmounts and removes a folder mounted by hand.
inline void discardFolder(const QString& folder) {
    if (folder.isEmpty())
        return;
    run(u"umount"_s, {folder});
    QDir().rmdir(folder);
}

// An image attached and mounted through UDisks2, as a desktop does with a stick that is plugged in.
struct Plugged {
    QString device, mountPath, error; // mountPath empty on failure, the tools' words in `error`
};

inline Plugged plugIn(const QString& image) {
    Plugged plugged;
    const Run setup =
        run(u"udisksctl"_s, {u"loop-setup"_s, u"-f"_s, image, u"--no-user-interaction"_s});
    plugged.device = QRegularExpression(u"(/dev/loop\\d+)"_s).match(setup.out).captured(1);
    if (!setup.ok() || plugged.device.isEmpty()) {
        plugged.error = setup.out;
        return plugged;
    }
    settleUdev(); // the rules that mark the image removable run before udisks mounts it
    const Run mounted =
        run(u"udisksctl"_s, {u"mount"_s, u"-b"_s, plugged.device, u"--no-user-interaction"_s});
    const QRegularExpressionMatch at = // a label, and so its mount path, may hold a line break
        QRegularExpression(u" at (/.*?)\\.?\\s*$"_s, QRegularExpression::DotMatchesEverythingOption)
            .match(mounted.out.trimmed());
    plugged.mountPath = mounted.ok() && at.hasMatch() ? at.captured(1) : QString();
    if (plugged.mountPath.isEmpty())
        plugged.error = mounted.out;
    return plugged;
}

// A background process in a group of its own, ended with everything it started.
struct Background {
    QProcess process;
    Background() {
        process.setChildProcessModifier([] { ::setpgid(0, 0); });
    }
    ~Background() { stop(); }
    void stop() {
        if (process.state() == QProcess::NotRunning)
            return;
        const auto group = static_cast<pid_t>(process.processId());
        ::kill(-group, SIGTERM);
        if (!process.waitForFinished(3000)) {
            ::kill(-group, SIGKILL);
            process.waitForFinished();
        }
    }
};

} // namespace keelbox::test
