#pragma once

#include "model/agent_session.h"

#include <optional>

namespace vindaro {

class KeychainStore;
class UserDefaults;

// The paired session between launches: the token in the keyring ("agent-token-v2"), the rest
// in the defaults database. Keeps nothing in memory.
class SessionStore {
public:
    SessionStore(const KeychainStore& keychain, UserDefaults& defaults);

    // The token first: when it cannot be stored, KeychainError is thrown and nothing else is
    // written.
    void save(const AgentSession& session) const;

    // Absent when any part is missing or the stored values no longer make a valid session;
    // the stored values are then left as they are.
    std::optional<AgentSession> load() const;

    // Removes every value the store holds; nothing stored is fine.
    void clear() const;

private:
    const KeychainStore& m_keychain;
    UserDefaults& m_defaults;
};

} // namespace vindaro
