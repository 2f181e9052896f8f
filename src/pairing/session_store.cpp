#include "session_store.h"

#include "keychain_store.h"
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

} // namespace

SessionStore::SessionStore(const KeychainStore& keychain, UserDefaults& defaults)
    : m_keychain(keychain)
    , m_defaults(defaults) {}

void SessionStore::save(const AgentSession& session) const {
    m_keychain.set(session.token(), tokenAccount());
    m_defaults.setString(wsURLKey(), session.baseURL().toString(QUrl::FullyEncoded));
    m_defaults.setString(sessionIdKey(), session.sessionId());
    m_defaults.setString(agentIdKey(), session.agentId());
    m_defaults.setInteger(protocolKey(), session.protocolVersion());
    m_defaults.flush();
}

std::optional<AgentSession> SessionStore::load() const {
    const std::optional<QString> wsURL = m_defaults.string(wsURLKey());
    if (!wsURL)
        return std::nullopt;
    const std::optional<QString> sessionId = m_defaults.string(sessionIdKey());
    if (!sessionId)
        return std::nullopt;
    const std::optional<QString> agentId = m_defaults.string(agentIdKey());
    if (!agentId)
        return std::nullopt;
    const std::optional<QString> token = m_keychain.get(tokenAccount());
    if (!token)
        return std::nullopt;
    try {
        return AgentSession(*wsURL, *sessionId, *agentId, *token,
                            m_defaults.integer(protocolKey()));
    } catch (const AgentError&) {
        return std::nullopt;
    }
}

void SessionStore::clear() const {
    m_defaults.remove(wsURLKey());
    m_defaults.remove(sessionIdKey());
    m_defaults.remove(agentIdKey());
    m_defaults.remove(protocolKey());
    m_defaults.flush();
    m_keychain.remove(tokenAccount());
}

} // namespace vindaro
