#include "handshake.h"

#include "model/constants.h"
#include "model/text_rules.h"
#include "model/validation.h"

#include <QWebSocket>

namespace vindaro {

bool isRelayURL(const QUrl& url) {
    return isTrustedURL(url, u"wss", toQString(socketPath));
}

bool isSendableToken(const std::optional<QString>& bearerToken) {
    return !bearerToken || !containsLineBreak(*bearerToken);
}

QNetworkRequest handshakeRequest(const QUrl& url, const std::optional<QString>& bearerToken,
                                 AgentIdentity identity) {
    QNetworkRequest request(url);
    if (identity == AgentIdentity::sent)
        request.setRawHeader(
            "User-Agent", QByteArray(userAgent.data(), static_cast<qsizetype>(userAgent.size())));
    if (bearerToken)
        request.setRawHeader("Authorization", "Bearer " + bearerToken->toUtf8());
    return request;
}

void limitIncomingMessages(QWebSocket& socket) {
    const auto limit = static_cast<quint64>(maxWebSocketMessageBytes);
    socket.setMaxAllowedIncomingMessageSize(limit);
    socket.setMaxAllowedIncomingFrameSize(limit);
}

} // namespace vindaro
