#pragma once

#include <QNetworkRequest>
#include <QString>
#include <QUrl>

#include <optional>

QT_BEGIN_NAMESPACE
class QWebSocket;
QT_END_NAMESPACE

namespace vindaro {

// What the relay's WebSocket upgrade carries, shared by the long-lived client and the one-shot
// connection probe.

enum class AgentIdentity { sent, omitted };

// The URL and the destination rule every relay connection must pass: "wss", a trusted host,
// the socket path.
bool isRelayURL(const QUrl& url);

// Qt copies header values into the request verbatim, so a line break in a token would end the
// header early and let the rest be read as headers of their own. Session and bundle rules already
// refuse such tokens; this keeps any other caller from sending one.
bool isSendableToken(const std::optional<QString>& bearerToken);

// The upgrade request: "User-Agent" naming the agent when identity is sent, "Authorization"
// "Bearer <token>" when a token is given, and no other header or subprotocol of our own.
QNetworkRequest handshakeRequest(const QUrl& url, const std::optional<QString>& bearerToken,
                                 AgentIdentity identity);

// Refuses incoming messages above the agent's limit at the transport, for whole messages and for
// single frames alike: an oversized one closes the socket with 1009 instead of being buffered.
void limitIncomingMessages(QWebSocket& socket);

} // namespace vindaro
