#pragma once

#include "platform/secret_store.h"

#include <QHash>
#include <QPair>

namespace vindaro {

// A keyring in memory for tests, which can be told to refuse every write as a locked or missing
// Secret Service does.
class MemorySecretStore final : public SecretStore {
public:
    bool store(const QString& service, const QString& account, const QByteArray& value) override;
    std::optional<QByteArray> lookup(const QString& service, const QString& account) override;
    void remove(const QString& service, const QString& account) override;

    void setRefusesWrites(bool refuses) { m_refusesWrites = refuses; }
    qsizetype itemCount() const { return m_items.size(); }

private:
    QHash<QPair<QString, QString>, QByteArray> m_items;
    bool m_refusesWrites = false;
};

} // namespace vindaro
