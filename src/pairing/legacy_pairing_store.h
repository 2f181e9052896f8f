#pragma once

#include "model/agent_pairing.h"

#include <optional>

namespace vindaro {

class KeychainStore;
class UserDefaults;

// The pairing made from a legacy bundle: the token in the keyring ("agent-token"), the server
// and room in the defaults database. Keeps nothing in memory.
class LegacyPairingStore {
public:
    LegacyPairingStore(const KeychainStore& keychain, UserDefaults& defaults);

    // The token first, so that a token that cannot be stored never leaves a new server and room
    // paired with the old token: KeychainError is thrown and nothing else is written.
    void save(const AgentPairing& pairing) const;

    // Absent when any part is missing or the server is not a URL. The values are taken as they
    // are; the pairing is judged when it is used.
    std::optional<AgentPairing> load() const;

    // Removes every value the store holds; nothing stored is fine.
    void clear() const;

private:
    const KeychainStore& m_keychain;
    UserDefaults& m_defaults;
};

} // namespace vindaro
