#include "settings_user_defaults.h"

namespace vindaro {

SettingsUserDefaults::SettingsUserDefaults()
    : m_settings(QSettings::NativeFormat, QSettings::UserScope, QStringLiteral("vindaro"),
                 QStringLiteral("agent")) {}

std::optional<QString> SettingsUserDefaults::string(const QString& key) const {
    const QVariant value = m_settings.value(key);
    if (!value.isValid())
        return std::nullopt;
    return value.toString();
}

qint64 SettingsUserDefaults::integer(const QString& key) const {
    // A missing key or a value edited into something that is not a whole number reads as 0.
    bool isNumber = false;
    const qint64 value = m_settings.value(key).toLongLong(&isNumber);
    return isNumber ? value : 0;
}

void SettingsUserDefaults::setString(const QString& key, const QString& value) {
    m_settings.setValue(key, value);
}

void SettingsUserDefaults::setInteger(const QString& key, qint64 value) {
    m_settings.setValue(key, value);
}

void SettingsUserDefaults::remove(const QString& key) {
    m_settings.remove(key);
}

bool SettingsUserDefaults::flush() {
    m_settings.sync();
    return m_settings.status() == QSettings::NoError;
}

} // namespace vindaro
