#pragma once

#include "model/agent_pairing.h"
#include "stored_credential.h"

namespace vindaro {

class KeychainStore;
class UserDefaults;

// The pairing made from a legacy bundle: the token in the keyring ("agent-token"), the server
// and room in the defaults database. Keeps nothing in memory. Every operation answers later,
// once, on the main thread; the answer does not need this object (see StoredCredential).
class LegacyPairingStore {
public:
    using Load = StorageResult<AgentPairing>;

    LegacyPairingStore(const KeychainStore& keychain, UserDefaults& defaults);

    // The token first, so that a token that cannot be stored never leaves a new server and room
    // paired with the old token: a keychainWrite error and nothing else is written. When the
    // settings cannot be written, a settingsWrite error, and the pairing stored before, if any,
    // is put back.
    void save(const AgentPairing& pairing, StorageDone done) const;

    // Absent when any part is missing or the server is not a URL. The values are taken as they
    // are; the pairing is judged when it is used. A keychainRead error when the token could not
    // be read.
    void load(std::function<void(const Load&)> done) const;

    // Removes the token, then the settings; done only when both are gone. When the token cannot
    // be removed, the settings are left as they are. Nothing stored is fine.
    void clear(StorageDone done) const;

private:
    StoredCredential m_credential;
    UserDefaults& m_defaults;
};

} // namespace vindaro
