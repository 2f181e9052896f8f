#pragma once

#include "model/agent_session.h"
#include "stored_credential.h"

namespace vindaro {

class KeychainStore;
class UserDefaults;

// The paired session between launches: the token in the keyring ("agent-token-v2"), the rest
// in the defaults database. Keeps nothing in memory. Every operation answers later, once, on
// the main thread; the answer does not need this object (see StoredCredential).
class SessionStore {
public:
    using Load = StorageResult<AgentSession>;

    SessionStore(const KeychainStore& keychain, UserDefaults& defaults);

    // The token first: when it cannot be stored, a keychainWrite error and nothing else is
    // written. When the settings cannot be written, a settingsWrite error, and the session
    // stored before, if any, is put back.
    void save(const AgentSession& session, StorageDone done) const;

    // Absent when any part is missing or the stored values no longer make a valid session
    // (the stored values are then left as they are); a keychainRead error when the token could
    // not be read, which says nothing about whether a session is stored.
    void load(std::function<void(const Load&)> done) const;

    // Removes the token, then the settings; done only when both are gone. When the token cannot
    // be removed, the settings are left as they are. Nothing stored is fine.
    void clear(StorageDone done) const;

private:
    StoredCredential m_credential;
    UserDefaults& m_defaults;
};

} // namespace vindaro
