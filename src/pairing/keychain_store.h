#pragma once

#include <QString>

#include <optional>

namespace vindaro {

class SecretStore;

// The agent's secrets in the user's keyring: text values under the service "net.vindaro.agent",
// one item per account. Keeps nothing in memory; the keyring is the state.
class KeychainStore {
public:
    explicit KeychainStore(SecretStore& secrets);

    // Stores or replaces the value. Throws KeychainError when it cannot be written.
    void set(const QString& value, const QString& account) const;

    // The stored text; absent when there is none, it cannot be read, it is empty or it is not
    // UTF-8.
    std::optional<QString> get(const QString& account) const;

    // Removes the item if there is one. Never fails.
    void remove(const QString& account) const;

private:
    SecretStore& m_secrets;
};

} // namespace vindaro
