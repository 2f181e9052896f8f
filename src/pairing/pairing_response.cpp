#include "pairing_response.h"

#include "model/json_fields.h"

namespace vindaro {

PairingResponse PairingResponse::decode(const QByteArray& bytes) {
    const QJsonObject object = decodeJsonObject(bytes);
    // Braced initialisation evaluates in order, so the first failing member is the one reported.
    return PairingResponse{
        requiredString(object, QLatin1StringView("wsUrl")),
        requiredString(object, QLatin1StringView("sessionId")),
        requiredString(object, QLatin1StringView("agentId")),
        requiredString(object, QLatin1StringView("agentToken")),
        requiredInteger(object, QLatin1StringView("protocolVersion")),
    };
}

} // namespace vindaro
