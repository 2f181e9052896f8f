#include "agent_session.h"

#include "agent_error.h"
#include "constants.h"
#include "query_text.h"
#include "text_rules.h"
#include "validation.h"

namespace vindaro {

namespace {

constexpr qsizetype maxIdentifierLength = 128;
constexpr qsizetype minTokenLength = 8;
constexpr qsizetype maxTokenLength = 2048;

QUrl checkedBaseURL(const QString& wsURLText) {
    QUrl url = parseURL(wsURLText);
    if (!isTrustedURL(url, u"wss", toQString(socketPath)))
        throw AgentError::invalidPairingResponse();
    url.setQuery(QString());
    url.setFragment(QString());
    if (!url.isValid())
        throw AgentError::invalidPairingResponse();
    return url;
}

} // namespace

AgentSession::AgentSession(const QString& wsURLText, const QString& sessionId,
                           const QString& agentId, const QString& token, qint64 protocolVersion)
    : m_sessionId(sessionId)
    , m_agentId(agentId)
    , m_token(token)
    , m_protocolVersion(protocolVersion) {
    if (protocolVersion != pairingProtocolVersion)
        throw AgentError::unsupportedProtocol();
    if (!isAllowedIdentifier(sessionId, maxIdentifierLength) ||
        !isAllowedIdentifier(agentId, maxIdentifierLength))
        throw AgentError::invalidPairingResponse();
    const qsizetype tokenLength = characterCount(token);
    if (tokenLength < minTokenLength || tokenLength > maxTokenLength || containsLineBreak(token))
        throw AgentError::invalidPairingResponse();
    m_baseURL = checkedBaseURL(wsURLText);
}

std::optional<QUrl> AgentSession::socketURL() const {
    QUrl url = m_baseURL;
    url.setQuery(QString());
    QueryText query;
    query.append(u"role", u"agent");
    query.append(u"sessionId", m_sessionId);
    query.append(u"agentId", m_agentId);
    return query.applyTo(std::move(url));
}

} // namespace vindaro
