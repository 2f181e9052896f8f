#pragma once

#include "storage_result.h"

#include <QString>

namespace vindaro {

class KeychainStore;

// The id of this installation, sent with every pairing request: a lower-case UUID kept in the
// keyring under "install-id-v2". Clearing the pairing keeps it.
class InstallationIdentity {
public:
    explicit InstallationIdentity(const KeychainStore& keychain);

    // The stored id; when none is stored, or the stored one is not a lower-case UUID, a new
    // random one is stored and given. A keyring that cannot be read never gets a new id, since
    // the one it holds would be lost: that, like a new id that cannot be stored, is a
    // keychainWrite error, the message the user knows for a keychain that will not keep the id.
    // Answers later, once, on the main thread, and does not need this object to.
    void loadOrCreate(std::function<void(const StorageResult<QString>&)> done) const;

private:
    const KeychainStore& m_keychain;
};

} // namespace vindaro
