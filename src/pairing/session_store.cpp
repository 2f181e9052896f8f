#include "session_store.h"

#include "model/agent_error.h"
#include "platform/user_defaults.h"

namespace vindaro {

namespace {

QString tokenAccount() {
    return QStringLiteral("agent-token-v2");
}
QString wsURLKey() {
    return QStringLiteral("vindaro.agent.v2.ws-url");
}
QString sessionIdKey() {
    return QStringLiteral("vindaro.agent.v2.session-id");
}
QString agentIdKey() {
    return QStringLiteral("vindaro.agent.v2.agent-id");
}
QString protocolKey() {
    return QStringLiteral("vindaro.agent.v2.protocol");
}

// The session the settings and the token make, as the settings are now: a long unlock prompt
// leaves time for them to change.
SessionStore::Load session(const UserDefaults& defaults, const QString& token) {
    const std::optional<QString> wsURL = defaults.string(wsURLKey());
    const std::optional<QString> sessionId = defaults.string(sessionIdKey());
    const std::optional<QString> agentId = defaults.string(agentIdKey());
    if (!wsURL || !sessionId || !agentId)
        return SessionStore::Load::absent();
    try {
        return AgentSession(*wsURL, *sessionId, *agentId, token, defaults.integer(protocolKey()));
    } catch (const AgentError&) {
        return SessionStore::Load::absent();
    }
}

} // namespace

SessionStore::SessionStore(const KeychainStore& keychain, UserDefaults& defaults)
    : m_credential(keychain, defaults, tokenAccount(), {wsURLKey(), sessionIdKey(), agentIdKey()},
                   {protocolKey()})
    , m_defaults(defaults) {}

void SessionStore::save(const AgentSession& session, StorageDone done) const {
    m_credential.save(session.token(),
                      {{wsURLKey(), session.baseURL().toString(QUrl::FullyEncoded)},
                       {sessionIdKey(), session.sessionId()},
                       {agentIdKey(), session.agentId()},
                       {protocolKey(), qint64(session.protocolVersion())}},
                      std::move(done));
}

void SessionStore::load(std::function<void(const Load&)> done) const {
    const bool stored = m_defaults.contains(wsURLKey()) && m_defaults.contains(sessionIdKey()) &&
                        m_defaults.contains(agentIdKey());
    m_credential.loadToken(
        stored, [&defaults = m_defaults, done = std::move(done)](const KeychainStore::Read& token) {
            if (const StorageError* error = token.error())
                done(*error);
            else if (const QString* text = token.value())
                done(session(defaults, *text));
            else
                done(Load::absent());
        });
}

void SessionStore::clear(StorageDone done) const {
    m_credential.clear(std::move(done));
}

} // namespace vindaro
