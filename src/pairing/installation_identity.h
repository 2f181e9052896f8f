#pragma once

#include <QString>

namespace vindaro {

class KeychainStore;

// The id of this installation, sent with every pairing request: a lower-case UUID kept in the
// keyring under "install-id-v2". Clearing the pairing keeps it.
class InstallationIdentity {
public:
    explicit InstallationIdentity(const KeychainStore& keychain);

    // The stored id; when none is stored, or the stored one is not a lower-case UUID, a new
    // random one is stored and returned. Throws KeychainError when the new id cannot be stored.
    QString loadOrCreate() const;

private:
    const KeychainStore& m_keychain;
};

} // namespace vindaro
