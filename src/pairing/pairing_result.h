#pragma once

#include "model/agent_error.h"
#include "model/agent_session.h"

#include <QNetworkReply>
#include <QString>

#include <variant>

namespace vindaro {

// The exchange never produced an HTTP answer to judge: no connection, TLS refused, timed out,
// cancelled. Carries Qt's error and Qt's own words for it, shown to the user as they are.
struct TransportError {
    QNetworkReply::NetworkError code;
    QString description;

    friend bool operator==(const TransportError&, const TransportError&) = default;
};

// The one outcome of a pairing exchange: the paired session, or why there is none.
class PairingResult {
public:
    PairingResult(AgentSession session)
        : m_value(std::move(session)) {}
    PairingResult(AgentError error)
        : m_value(std::move(error)) {}
    PairingResult(TransportError error)
        : m_value(std::move(error)) {}

    bool isSuccess() const { return std::holds_alternative<AgentSession>(m_value); }

    // Each is null unless the result is of that kind.
    const AgentSession* session() const { return std::get_if<AgentSession>(&m_value); }
    const AgentError* agentError() const { return std::get_if<AgentError>(&m_value); }
    const TransportError* transportError() const { return std::get_if<TransportError>(&m_value); }

    // What the user is shown for a failure; empty on success.
    QString errorDescription() const {
        if (const auto* error = agentError())
            return error->description();
        if (const auto* error = transportError())
            return error->description;
        return {};
    }

private:
    std::variant<AgentSession, AgentError, TransportError> m_value;
};

} // namespace vindaro
