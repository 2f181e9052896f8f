#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

namespace vindaro {

// The body the pairing service answers with on success. Decoding only checks shape; what the
// members must contain is judged when the response becomes an AgentSession.
struct PairingResponse {
    QString wsUrl;
    QString sessionId;
    QString agentId;
    QString agentToken;
    qint64 protocolVersion = 0;

    // Throws JsonDecodeError unless the bytes are one JSON object with all five members of the
    // right JSON type.
    static PairingResponse decode(const QByteArray& bytes);
};

} // namespace vindaro
