#pragma once
// Launch at login: the application's entry in the user's XDG autostart folder.

#include <QString>
#include <QStringList>

#include <memory>
#include <optional>

namespace keelbox::app {

class LoginItem {
public:
    virtual ~LoginItem() = default;
    // On only when the desktop will start the application at login.
    virtual bool isEnabled() const = 0;
    // Both give a readable message when they fail.
    virtual std::optional<QString> enable() = 0;
    virtual std::optional<QString> disable() = 0;
};

// $XDG_CONFIG_HOME/autostart/keelbox.desktop. An entry counts as on unless it says Hidden=true or
// X-GNOME-Autostart-enabled=false; the user's entry overrides one of the same name in the system's
// autostart folders ($XDG_CONFIG_DIRS), so turning off writes a hidden entry when a system one
// exists and removes the user's entry otherwise.
class XdgAutostartLoginItem : public LoginItem {
public:
    XdgAutostartLoginItem(QString configHome, QStringList systemConfigDirs, QString executable);

    bool isEnabled() const override;
    std::optional<QString> enable() override;
    std::optional<QString> disable() override;

    QString entryPath() const;

private:
    std::optional<QString> systemEntryPath() const;
    std::optional<QString> writeEntry(bool hidden) const;

    QString m_configHome;
    QStringList m_systemConfigDirs;
    QString m_executable;
};

// The autostart entry for the running executable, under the folders the environment names.
std::unique_ptr<LoginItem> makeLoginItem();

// The text of an autostart entry that starts `executable` (quoted as the desktop entry format
// wants it); `hidden` writes one that keeps a system entry from starting.
QString autostartEntryText(const QString& executable, bool hidden);
// Whether an entry's text asks to be started: not Hidden=true, not X-GNOME-Autostart-enabled=false.
bool autostartEntryEnabled(const QString& text);
// One Exec argument, quoted and escaped as the desktop entry format requires.
QString quoteExecArgument(const QString& argument);

} // namespace keelbox::app
