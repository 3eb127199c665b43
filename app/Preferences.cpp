#include "app/Preferences.h"

#include <QSettings>

namespace keelbox::app {

Preferences::Preferences()
    : m_settings(std::make_unique<QSettings>(QSettings::NativeFormat, QSettings::UserScope,
                                             QStringLiteral("keelbox"),
                                             QStringLiteral("keelbox"))) {}

Preferences::Preferences(const QString& iniFile)
    : m_settings(std::make_unique<QSettings>(iniFile, QSettings::IniFormat)) {}

Preferences::~Preferences() = default;

std::shared_ptr<Preferences> Preferences::shared() {
    static const std::shared_ptr<Preferences> instance = std::make_shared<Preferences>();
    return instance;
}

std::optional<bool> storedBoolean(const QVariant& value) {
    if (!value.isValid())
        return std::nullopt;
    if (value.typeId() == QMetaType::Bool)
        return value.toBool();
    if (value.typeId() == QMetaType::QString) {
        const QString text = value.toString();
        if (text == QLatin1String("true"))
            return true;
        if (text == QLatin1String("false"))
            return false;
    }
    return std::nullopt;
}

std::optional<bool> Preferences::boolValue(const QString& key) const {
    return storedBoolean(m_settings->value(key));
}

bool Preferences::boolValue(const QString& key, bool fallback) const {
    return boolValue(key).value_or(fallback);
}

std::optional<QString> Preferences::store(const QString& key, const QVariant& value) {
    m_settings->setValue(key, value);
    m_settings->sync();
    if (m_settings->status() == QSettings::NoError)
        return std::nullopt;
    return QStringLiteral("Could not save the settings to “%1”").arg(m_settings->fileName());
}

std::optional<QString> Preferences::setBool(const QString& key, bool value) {
    return store(key, value);
}

std::optional<QString> Preferences::stringValue(const QString& key) const {
    const QVariant value = m_settings->value(key);
    if (!value.isValid() || value.typeId() != QMetaType::QString)
        return std::nullopt;
    return value.toString();
}

std::optional<QString> Preferences::setString(const QString& key, const QString& value) {
    return store(key, value);
}

QString Preferences::fileName() const {
    return m_settings->fileName();
}

} // namespace keelbox::app
