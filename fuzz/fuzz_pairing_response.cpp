// A pairing answer from the network: decoding and turning it into a session never crash, and the
// only outcomes are a valid session or one of the two errors a response can cause.
#include "fuzz_check.h"
#include "model/agent_error.h"
#include "model/agent_session.h"
#include "model/json_fields.h"
#include "pairing/pairing_response.h"

#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    using Kind = vindaro::AgentError::Kind;
    try {
        const auto response = vindaro::PairingResponse::decode(
            QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)));
        const vindaro::AgentSession session(response.wsUrl, response.sessionId, response.agentId,
                                            response.agentToken, response.protocolVersion);
        FUZZ_CHECK(session.token() == response.agentToken);
    } catch (const vindaro::JsonDecodeError&) {
    } catch (const vindaro::AgentError& error) {
        FUZZ_CHECK(error.kind() == Kind::invalidPairingResponse ||
                   error.kind() == Kind::unsupportedProtocol);
    }
    return 0;
}
