#pragma once

#include "storage_result.h"

#include <QString>

namespace vindaro {

class SecretStore;

// The agent's secrets in the user's keyring: text values under the service "net.vindaro.agent",
// one item per account. Keeps nothing in memory; the keyring is the state. Every operation
// answers later, once, on the main thread (see SecretStore); the answer never needs this object,
// only the SecretStore, which must outlive it.
class KeychainStore {
public:
    using Read = StorageResult<QString>;

    explicit KeychainStore(SecretStore& secrets);

    // Stores or replaces the value; a keychainWrite error when it cannot be written.
    void set(const QString& value, const QString& account, StorageDone done) const;

    // The stored text; absent when there is none, it is empty or it is not UTF-8; a keychainRead
    // error when the keyring could not be read (locked and not unlocked, no service, no answer).
    void get(const QString& account, std::function<void(const Read&)> done) const;

    // Removes the item; done only when it is really gone (nothing stored is done too), a
    // keychainRemove error otherwise.
    void remove(const QString& account, StorageDone done) const;

private:
    SecretStore& m_secrets;
};

} // namespace vindaro
