#include "memory_user_defaults.h"

namespace vindaro {

std::optional<QString> MemoryUserDefaults::string(const QString& key) const {
    const auto found = m_values.constFind(key);
    if (found == m_values.cend() || found->typeId() != QMetaType::QString)
        return std::nullopt;
    return found->toString();
}

qint64 MemoryUserDefaults::integer(const QString& key) const {
    return m_values.value(key).toLongLong();
}

void MemoryUserDefaults::setString(const QString& key, const QString& value) {
    m_values.insert(key, value);
}

void MemoryUserDefaults::setInteger(const QString& key, qint64 value) {
    m_values.insert(key, value);
}

void MemoryUserDefaults::remove(const QString& key) {
    m_values.remove(key);
}

} // namespace vindaro
