#pragma once

#include "platform/user_defaults.h"

#include <QHash>
#include <QVariant>

namespace vindaro {

// A defaults database in memory for tests, which can be told to fail every flush as a read-only
// settings folder does.
class MemoryUserDefaults final : public UserDefaults {
public:
    bool contains(const QString& key) const override { return m_values.contains(key); }
    std::optional<QString> string(const QString& key) const override;
    qint64 integer(const QString& key) const override;
    void setString(const QString& key, const QString& value) override;
    void setInteger(const QString& key, qint64 value) override;
    void remove(const QString& key) override;
    bool flush() override { return !m_failsFlush; }

    void setFailsFlush(bool fails) { m_failsFlush = fails; }

private:
    QHash<QString, QVariant> m_values;
    bool m_failsFlush = false;
};

} // namespace vindaro
