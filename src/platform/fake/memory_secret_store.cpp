#include "memory_secret_store.h"

namespace vindaro {

bool MemorySecretStore::store(const QString& service, const QString& account,
                              const QByteArray& value) {
    if (m_refusesWrites)
        return false;
    m_items.insert({service, account}, value);
    return true;
}

std::optional<QByteArray> MemorySecretStore::lookup(const QString& service,
                                                    const QString& account) {
    const auto found = m_items.constFind({service, account});
    if (found == m_items.cend())
        return std::nullopt;
    return found.value();
}

void MemorySecretStore::remove(const QString& service, const QString& account) {
    m_items.remove({service, account});
}

} // namespace vindaro
