#pragma once

#include "platform/secret_store.h"

#include <chrono>
#include <memory>

namespace vindaro {

// Secrets kept by the desktop's Secret Service (gnome-keyring, KWallet, KeePassXC) through
// libsecret. Items carry the attributes "service" and "account", so
// `secret-tool lookup service <service> account <account>` finds them.
//
// libsecret's calls are synchronous and can wait indefinitely: on a collection locked behind a
// prompt nobody answers, or on a service that never replies. They therefore run on a worker
// thread of this store, and the calling thread waits for at most callLimit; a call still
// running then is cancelled and counts as failed (store) or absent (lookup).
class SecretServiceStore final : public SecretStore {
public:
    explicit SecretServiceStore(std::chrono::milliseconds callLimit = std::chrono::seconds(5));
    ~SecretServiceStore() override;

    SecretServiceStore(const SecretServiceStore&) = delete;
    SecretServiceStore& operator=(const SecretServiceStore&) = delete;

    bool store(const QString& service, const QString& account, const QByteArray& value) override;
    std::optional<QByteArray> lookup(const QString& service, const QString& account) override;
    void remove(const QString& service, const QString& account) override;

private:
    class Worker;
    std::chrono::milliseconds m_callLimit;
    std::shared_ptr<Worker> m_worker;
};

} // namespace vindaro
