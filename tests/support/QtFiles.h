#pragma once
// Whole-file reads and writes for the tests built on Qt.

#include <QDir>
#include <QFile>
#include <QFileInfo>

namespace keelbox::test {

// Replaces what `path` holds with `bytes`, making its folder first.
inline bool writeFile(const QString& path, const QByteArray& bytes) {
    QDir().mkpath(QFileInfo(path).absolutePath());
    QFile file(path);
    return file.open(QIODevice::WriteOnly | QIODevice::Truncate) &&
           file.write(bytes) == bytes.size();
}

// What `path` holds, empty when it does not read.
inline QByteArray readFile(const QString& path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

} // namespace keelbox::test
