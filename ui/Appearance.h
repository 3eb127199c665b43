#pragma once
// What the application takes from the desktop besides Qt's own theme: Qt's translations in the
// interface language (its file dialogs and standard buttons), and the desktop's colour scheme
// where Qt does not follow it (Qt 6.4 takes no dark palette from GTK desktops).

#include <QObject>
#include <QPalette>
#include <QString>
#include <QTranslator>

#include <optional>

class QDBusVariant;

namespace keelbox::app {
class Localizer;
}

namespace keelbox::ui {

// The colour scheme the desktop asks for; nullopt where it says nothing.
enum class Scheme { light, dark };

// The portal's `org.freedesktop.appearance` `color-scheme` value: 1 prefers dark, 2 prefers light,
// 0 (no preference) and anything else say nothing.
std::optional<Scheme> schemeFromPortalValue(uint value);
// The desktop's colour scheme from the xdg-desktop-portal settings, read over the session bus.
std::optional<Scheme> portalScheme();
// From the GTK settings: the GTK_THEME variable, then XFCE's xsettings and the GTK 3 and 4
// settings.ini files below `configHome` ("…-dark" theme names, gtk-application-prefer-dark-theme).
std::optional<Scheme> gtkScheme(const QString& configHome);

class Appearance : public QObject {
    Q_OBJECT

public:
    // Installs Qt's translations for the localizer's language and follows its changes; follows
    // the desktop's colour scheme while `followScheme`.
    Appearance(app::Localizer& localizer, bool followScheme, QObject* parent = nullptr);
    ~Appearance() override;

    // Sets the application palette for `scheme`: the one Qt chose when it matches, else Keelbox's
    // own dark palette (or Qt's style palette for light).
    void applyScheme(std::optional<Scheme> scheme);

private slots:
    void portalSettingChanged(const QString& group, const QString& key, const QDBusVariant& value);

private:
    void loadTranslations();

    app::Localizer& m_localizer;
    QTranslator m_qt;
    bool m_installed = false;
    QPalette m_original;
};

} // namespace keelbox::ui
