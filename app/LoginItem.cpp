#include "app/LoginItem.h"

#include "core/PosixFile.h"
#include "engine/PathSafety.h"

#include <QCoreApplication>
#include <QDir>
#include <QFile>
#include <QFileInfo>

#include <cerrno>
#include <unistd.h>

namespace keelbox::app {

namespace {

const QString entryName = QStringLiteral("keelbox.desktop");

std::filesystem::path filePath(const QString& path) {
    return QFile::encodeName(path).toStdString();
}

std::optional<QString> describe(const std::optional<FileError>& error) {
    if (!error)
        return std::nullopt;
    return QString::fromStdString(error->message());
}

// A string value of a desktop entry: backslashes and control characters escaped.
QString escapeValue(const QString& value) {
    QString out;
    for (QChar c : value) {
        if (c == QLatin1Char('\\'))
            out += QLatin1String("\\\\");
        else if (c == QLatin1Char('\n'))
            out += QLatin1String("\\n");
        else if (c == QLatin1Char('\t'))
            out += QLatin1String("\\t");
        else if (c == QLatin1Char('\r'))
            out += QLatin1String("\\r");
        else
            out += c;
    }
    return out;
}

std::optional<QString> readText(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return std::nullopt;
    return QString::fromUtf8(file.read(64 * 1024));
}

} // namespace

QString quoteExecArgument(const QString& argument) {
    static const QString reserved = QStringLiteral(" \t\n\"'\\><~|&;$*?#()`");
    bool needsQuotes = argument.isEmpty();
    QString inner;
    for (QChar c : argument) {
        if (reserved.contains(c))
            needsQuotes = true;
        if (c == QLatin1Char('"') || c == QLatin1Char('`') || c == QLatin1Char('$') ||
            c == QLatin1Char('\\'))
            inner += QLatin1Char('\\');
        inner += c;
    }
    inner.replace(QLatin1String("%"), QLatin1String("%%"));
    return needsQuotes ? QLatin1Char('"') + inner + QLatin1Char('"') : inner;
}

QString autostartEntryText(const QString& executable, bool hidden) {
    QString text = QStringLiteral("[Desktop Entry]\n"
                                  "Type=Application\n"
                                  "Name=Keelbox\n"
                                  "Comment=Back up removable drives when they are connected\n"
                                  "Comment[pl]=Kopia zapasowa nośników wymiennych po podłączeniu\n"
                                  "Icon=keelbox\n"
                                  "Terminal=false\n");
    text += QStringLiteral("Exec=%1\n").arg(escapeValue(quoteExecArgument(executable)));
    if (hidden)
        text += QStringLiteral("Hidden=true\n");
    text += QStringLiteral("X-GNOME-Autostart-enabled=%1\n")
                .arg(hidden ? QStringLiteral("false") : QStringLiteral("true"));
    return text;
}

bool autostartEntryEnabled(const QString& text) {
    bool inMainGroup = false;
    bool enabled = true;
    for (const QString& rawLine : text.split(QLatin1Char('\n'))) {
        const QString line = rawLine.trimmed();
        if (line.isEmpty() || line.startsWith(QLatin1Char('#')))
            continue;
        if (line.startsWith(QLatin1Char('['))) {
            inMainGroup = line == QLatin1String("[Desktop Entry]");
            continue;
        }
        if (!inMainGroup)
            continue;
        const qsizetype equals = line.indexOf(QLatin1Char('='));
        if (equals < 0)
            continue;
        const QString key = line.left(equals).trimmed();
        const QString value = line.mid(equals + 1).trimmed();
        if (key == QLatin1String("Hidden") && value == QLatin1String("true"))
            enabled = false;
        if (key == QLatin1String("X-GNOME-Autostart-enabled") && value == QLatin1String("false"))
            enabled = false;
    }
    return enabled;
}

XdgAutostartLoginItem::XdgAutostartLoginItem(QString configHome, QStringList systemConfigDirs,
                                             QString executable)
    : m_configHome(std::move(configHome)), m_systemConfigDirs(std::move(systemConfigDirs)),
      m_executable(std::move(executable)) {}

QString XdgAutostartLoginItem::entryPath() const {
    return m_configHome + QStringLiteral("/autostart/") + entryName;
}

std::optional<QString> XdgAutostartLoginItem::systemEntryPath() const {
    for (const QString& dir : m_systemConfigDirs) {
        const QString path = dir + QStringLiteral("/autostart/") + entryName;
        if (QFileInfo(path).isFile())
            return path;
    }
    return std::nullopt;
}

bool XdgAutostartLoginItem::isEnabled() const {
    QString path = entryPath();
    if (!QFileInfo::exists(path)) {
        const auto systemPath = systemEntryPath();
        if (!systemPath)
            return false;
        path = *systemPath;
    }
    const auto text = readText(path);
    return text && autostartEntryEnabled(*text);
}

std::optional<QString> XdgAutostartLoginItem::writeEntry(bool hidden) const {
    if (const auto error =
            createFolders(filePath(m_configHome + QStringLiteral("/autostart")), 0700))
        return describe(error);
    // All or nothing, so that the session manager never reads half an entry.
    return describe(writeFileAtomically(filePath(entryPath()),
                                        autostartEntryText(m_executable, hidden).toStdString()));
}

std::optional<QString> XdgAutostartLoginItem::enable() {
    return writeEntry(false);
}

std::optional<QString> XdgAutostartLoginItem::disable() {
    const auto systemPath = systemEntryPath();
    if (systemPath) {
        const auto text = readText(*systemPath);
        if (text && autostartEntryEnabled(*text))
            return writeEntry(true);
    }
    const std::filesystem::path path = filePath(entryPath());
    if (::unlink(path.c_str()) != 0 && errno != ENOENT)
        return describe(FileError{errno, "remove", path});
    return std::nullopt;
}

std::unique_ptr<LoginItem> makeLoginItem() {
    QString configHome = qEnvironmentVariable("XDG_CONFIG_HOME");
    if (!QDir::isAbsolutePath(configHome))
        configHome = QFile::decodeName(homeFolder().c_str()) + QStringLiteral("/.config");
    QStringList systemDirs;
    for (const QString& dir :
         qEnvironmentVariable("XDG_CONFIG_DIRS").split(QLatin1Char(':'), Qt::SkipEmptyParts)) {
        if (QDir::isAbsolutePath(dir))
            systemDirs << dir;
    }
    if (systemDirs.isEmpty())
        systemDirs << QStringLiteral("/etc/xdg");
    return std::make_unique<XdgAutostartLoginItem>(configHome, systemDirs,
                                                   QCoreApplication::applicationFilePath());
}

} // namespace keelbox::app
