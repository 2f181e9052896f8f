#pragma once

#include "model/agent_pairing.h"
#include "model/agent_session.h"

#include <QByteArray>
#include <QString>

namespace vindaro::test {

// One set of credentials every test uses. The tokens never show up anywhere the user can see,
// so tests search the log, the window and the settings file for them.
inline const QString sampleToken = QStringLiteral("tok-SESSION-7f3a9c");
inline const QString sampleLegacyToken = QStringLiteral("TOKEN-xyz1");

// A session on the relay's www form, as the service hands them out.
inline AgentSession sampleSession() {
    return AgentSession(QStringLiteral("wss://www.vindaro.net/ws"), QStringLiteral("session_123"),
                        QStringLiteral("agent_456"), sampleToken, 2);
}

// What the pairing endpoint answers with sampleSession().
inline QByteArray pairingAnswer(const QByteArray& protocolVersion = "2",
                                const QByteArray& wsUrl = "wss://www.vindaro.net/ws") {
    return R"({"wsUrl":")" + wsUrl +
           R"(","sessionId":"session_123","agentId":"agent_456","agentToken":")" +
           sampleToken.toUtf8() + R"(","protocolVersion":)" + protocolVersion + "}";
}

// A legacy bundle as older versions of the service's page showed it.
inline const QString sampleBundle = QStringLiteral("wss://www.vindaro.net/ws|ROOM1|TOKEN-xyz1");

inline AgentPairing samplePairing() {
    return AgentPairing::fromBundle(sampleBundle);
}

} // namespace vindaro::test
