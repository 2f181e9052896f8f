#pragma once

#include "platform/user_defaults.h"

#include <QSettings>

namespace vindaro {

// The agent's defaults database: the settings file $XDG_CONFIG_HOME/vindaro/agent.conf.
class SettingsUserDefaults final : public UserDefaults {
public:
    SettingsUserDefaults();

    bool contains(const QString& key) const override { return m_settings.contains(key); }
    std::optional<QString> string(const QString& key) const override;
    qint64 integer(const QString& key) const override;
    void setString(const QString& key, const QString& value) override;
    void setInteger(const QString& key, qint64 value) override;
    void remove(const QString& key) override;
    bool flush() override;

    // Where the values live on disk.
    QString fileName() const { return m_settings.fileName(); }

private:
    QSettings m_settings;
};

} // namespace vindaro
