#pragma once

#include "platform/user_defaults.h"

#include <QHash>
#include <QVariant>

namespace vindaro {

// A defaults database in memory for tests.
class MemoryUserDefaults final : public UserDefaults {
public:
    std::optional<QString> string(const QString& key) const override;
    qint64 integer(const QString& key) const override;
    void setString(const QString& key, const QString& value) override;
    void setInteger(const QString& key, qint64 value) override;
    void remove(const QString& key) override;
    void flush() override {}

    bool contains(const QString& key) const { return m_values.contains(key); }

private:
    QHash<QString, QVariant> m_values;
};

} // namespace vindaro
