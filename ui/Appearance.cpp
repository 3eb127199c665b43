#include "ui/Appearance.h"

#include "app/Localizer.h"
#include "ui/Style.h"

#include <QApplication>
#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusVariant>
#include <QDir>
#include <QFile>
#include <QLibraryInfo>
#include <QRegularExpression>
#include <QSettings>
#include <QStyle>

namespace keelbox::ui {

namespace {

const QString portalService = QStringLiteral("org.freedesktop.portal.Desktop");
const QString portalPath = QStringLiteral("/org/freedesktop/portal/desktop");
const QString portalSettings = QStringLiteral("org.freedesktop.portal.Settings");
const QString appearanceGroup = QStringLiteral("org.freedesktop.appearance");
const QString schemeKey = QStringLiteral("color-scheme");

// The portal wraps the value in one or two variants, depending on its version.
uint unwrapped(QVariant value) {
    while (value.canConvert<QDBusVariant>() && value.userType() == qMetaTypeId<QDBusVariant>())
        value = value.value<QDBusVariant>().variant();
    return value.toUInt();
}

std::optional<Scheme> fromThemeName(const QString& name) {
    if (name.isEmpty())
        return std::nullopt;
    // "Adwaita-dark", "Adwaita:dark" (GTK_THEME), "Greybird-dark", "HighContrastInverse".
    static const QRegularExpression dark(QStringLiteral("[-_:]dark\\b|dark$|inverse"),
                                         QRegularExpression::CaseInsensitiveOption);
    return dark.match(name).hasMatch() ? Scheme::dark : Scheme::light;
}

} // namespace

std::optional<Scheme> schemeFromPortalValue(uint value) {
    if (value == 1)
        return Scheme::dark;
    if (value == 2)
        return Scheme::light;
    return std::nullopt;
}

std::optional<Scheme> portalScheme() {
    QDBusConnection bus = QDBusConnection::sessionBus();
    if (!bus.isConnected())
        return std::nullopt;
    QDBusMessage read = QDBusMessage::createMethodCall(portalService, portalPath, portalSettings,
                                                       QStringLiteral("Read"));
    read << appearanceGroup << schemeKey;
    // Short: a desktop without the portal must not hold up the start.
    const QDBusMessage reply = bus.call(read, QDBus::Block, 500);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return std::nullopt;
    return schemeFromPortalValue(unwrapped(reply.arguments().constFirst()));
}

std::optional<Scheme> gtkScheme(const QString& configHome) {
    if (const auto scheme = fromThemeName(qEnvironmentVariable("GTK_THEME")))
        return scheme;
    // XFCE keeps its theme in xfconf's xsettings channel.
    QFile xsettings(configHome + QStringLiteral("/xfce4/xfconf/xfce-perchannel-xml/xsettings.xml"));
    if (xsettings.open(QIODevice::ReadOnly)) {
        static const QRegularExpression theme(
            QStringLiteral("<property name=\"ThemeName\" type=\"string\" value=\"([^\"]*)\""));
        if (const auto match = theme.match(QString::fromUtf8(xsettings.readAll()));
            match.hasMatch())
            if (const auto scheme = fromThemeName(match.captured(1)))
                return scheme;
    }
    for (const char* version : {"gtk-4.0", "gtk-3.0"}) {
        const QString file =
            configHome + u'/' + QLatin1String(version) + QStringLiteral("/settings.ini");
        if (!QFile::exists(file))
            continue;
        const QSettings ini(file, QSettings::IniFormat);
        const QString preferDark =
            ini.value(QStringLiteral("Settings/gtk-application-prefer-dark-theme")).toString();
        if (preferDark == QLatin1String("1") ||
            preferDark.compare(QLatin1String("true"), Qt::CaseInsensitive) == 0)
            return Scheme::dark;
        if (const auto scheme =
                fromThemeName(ini.value(QStringLiteral("Settings/gtk-theme-name")).toString()))
            return scheme;
    }
    return std::nullopt;
}

Appearance::Appearance(app::Localizer& localizer, bool followScheme, QObject* parent)
    : QObject(parent), m_localizer(localizer), m_original(QApplication::palette()) {
    loadTranslations();
    connect(&m_localizer, &app::Localizer::languageChanged, this, &Appearance::loadTranslations);
    if (!followScheme)
        return;
    std::optional<Scheme> scheme = portalScheme();
    if (!scheme) {
        const QString home =
            qEnvironmentVariable("XDG_CONFIG_HOME", QDir::homePath() + QStringLiteral("/.config"));
        scheme = gtkScheme(home);
    }
    applyScheme(scheme);
    QDBusConnection::sessionBus().connect(
        portalService, portalPath, portalSettings, QStringLiteral("SettingChanged"), this,
        SLOT(portalSettingChanged(QString, QString, QDBusVariant)));
}

Appearance::~Appearance() {
    if (m_installed)
        QCoreApplication::removeTranslator(&m_qt);
}

void Appearance::loadTranslations() {
    if (m_installed)
        QCoreApplication::removeTranslator(&m_qt);
    m_installed = false;
    if (m_localizer.language() != AppLanguage::polish)
        return;
    if (m_qt.load(QStringLiteral("qt_pl"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)) ||
        m_qt.load(QStringLiteral("qtbase_pl"), QLibraryInfo::path(QLibraryInfo::TranslationsPath)))
        m_installed = QCoreApplication::installTranslator(&m_qt);
}

void Appearance::applyScheme(std::optional<Scheme> scheme) {
    // Where the desktop says nothing, or Qt's palette already matches, Qt's palette stays.
    const bool originalDark = isDark(m_original);
    QPalette wanted = m_original;
    if (scheme == Scheme::dark && !originalDark)
        wanted = darkPalette();
    else if (scheme == Scheme::light && originalDark)
        wanted = QApplication::style()->standardPalette();
    if (wanted != QApplication::palette())
        QApplication::setPalette(wanted);
}

void Appearance::portalSettingChanged(const QString& group, const QString& key,
                                      const QDBusVariant& value) {
    if (group == appearanceGroup && key == schemeKey)
        applyScheme(schemeFromPortalValue(unwrapped(value.variant())));
}

} // namespace keelbox::ui
