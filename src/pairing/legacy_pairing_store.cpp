#include "legacy_pairing_store.h"

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

std::optional<QUrl> storedServer(const UserDefaults& defaults) {
    const std::optional<QString> server = defaults.string(serverKey());
    if (!server)
        return std::nullopt;
    const QUrl baseURL = parseURL(*server);
    if (!baseURL.isValid() || baseURL.isEmpty())
        return std::nullopt;
    return baseURL;
}

} // namespace

LegacyPairingStore::LegacyPairingStore(const KeychainStore& keychain, UserDefaults& defaults)
    : m_credential(keychain, defaults, tokenAccount(), {serverKey(), roomKey()})
    , m_defaults(defaults) {}

void LegacyPairingStore::save(const AgentPairing& pairing, StorageDone done) const {
    m_credential.save(pairing.token(),
                      {{serverKey(), pairing.baseURL().toString(QUrl::FullyEncoded)},
                       {roomKey(), pairing.room()}},
                      std::move(done));
}

void LegacyPairingStore::load(std::function<void(const Load&)> done) const {
    // A server that is not a URL is nothing stored.
    const bool stored = storedServer(m_defaults) && m_defaults.string(roomKey());
    m_credential.loadToken(
        stored, [&defaults = m_defaults, done = std::move(done)](const KeychainStore::Read& token) {
            if (const StorageError* error = token.error()) {
                done(*error);
                return;
            }
            // Read again: a long unlock prompt leaves time for them to change.
            const std::optional<QUrl> server = storedServer(defaults);
            const std::optional<QString> room = defaults.string(roomKey());
            if (const QString* text = token.value(); text && server && room)
                done(AgentPairing(*server, *room, *text));
            else
                done(Load::absent());
        });
}

void LegacyPairingStore::clear(StorageDone done) const {
    m_credential.clear(std::move(done));
}

} // namespace vindaro
