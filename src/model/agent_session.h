#pragma once

#include <QString>
#include <QUrl>
#include <QtGlobal>

#include <optional>

namespace vindaro {

// What a successful pairing yields. The constructor is the single gate every session passes,
// fresh from the service or restored from storage: a session that exists has the supported
// protocol, safe identifiers, a sane token and a WebSocket URL on the trusted host.
class AgentSession {
public:
    // Throws AgentError: unsupportedProtocol for a foreign version, invalidPairingResponse for
    // anything else. Nothing is trimmed or case-converted.
    AgentSession(const QString& wsURLText, const QString& sessionId, const QString& agentId,
                 const QString& token, qint64 protocolVersion);

    const QUrl& baseURL() const { return m_baseURL; }
    const QString& sessionId() const { return m_sessionId; }
    const QString& agentId() const { return m_agentId; }
    const QString& token() const { return m_token; }
    qint64 protocolVersion() const { return m_protocolVersion; }

    // baseURL with exactly role, sessionId and agentId as its query. It never carries the
    // token: that goes in the handshake's Authorization header.
    std::optional<QUrl> socketURL() const;

    friend bool operator==(const AgentSession&, const AgentSession&) = default;

private:
    QUrl m_baseURL;
    QString m_sessionId;
    QString m_agentId;
    QString m_token;
    qint64 m_protocolVersion;
};

} // namespace vindaro
