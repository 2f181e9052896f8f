#include "legacy_pairing_store.h"

#include "keychain_store.h"
#include "model/validation.h"
#include "platform/user_defaults.h"

namespace vindaro {

namespace {

QString tokenAccount() {
    return QStringLiteral("agent-token");
}
QString serverKey() {
    return QStringLiteral("vindaro.agent.server");
}
QString roomKey() {
    return QStringLiteral("vindaro.agent.room");
}

} // namespace

LegacyPairingStore::LegacyPairingStore(const KeychainStore& keychain, UserDefaults& defaults)
    : m_keychain(keychain)
    , m_defaults(defaults) {}

void LegacyPairingStore::save(const AgentPairing& pairing) const {
    m_keychain.set(pairing.token(), tokenAccount());
    m_defaults.setString(serverKey(), pairing.baseURL().toString(QUrl::FullyEncoded));
    m_defaults.setString(roomKey(), pairing.room());
    m_defaults.flush();
}

std::optional<AgentPairing> LegacyPairingStore::load() const {
    const std::optional<QString> server = m_defaults.string(serverKey());
    if (!server)
        return std::nullopt;
    const QUrl baseURL = parseURL(*server);
    if (!baseURL.isValid() || baseURL.isEmpty())
        return std::nullopt;
    const std::optional<QString> room = m_defaults.string(roomKey());
    if (!room)
        return std::nullopt;
    const std::optional<QString> token = m_keychain.get(tokenAccount());
    if (!token)
        return std::nullopt;
    return AgentPairing(baseURL, *room, *token);
}

void LegacyPairingStore::clear() const {
    m_defaults.remove(serverKey());
    m_defaults.remove(roomKey());
    m_defaults.flush();
    m_keychain.remove(tokenAccount());
}

} // namespace vindaro
