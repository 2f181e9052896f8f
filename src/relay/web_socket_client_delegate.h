#pragma once

#include "keyboard/key_command.h"

#include <QString>

namespace vindaro {

class WebSocketClient;

// Receives the connection's events, always on the main thread and in this order for an attempt:
// connecting, then connected when the handshake completes, then received for each valid key
// command, then one disconnected when the attempt ends or could not start. Waiting for the
// network comes between attempts, or before the first, and is reported once per wait.
//
// The events are noexcept because they are called from Qt's signal handlers, which an exception
// must never cross. An event may call back into the client (connectTo or disconnect); the client
// then stops whatever it was about to do for the attempt that reported.
class WebSocketClientDelegate {
public:
    virtual ~WebSocketClientDelegate() = default;

    virtual void webSocketClientConnecting(WebSocketClient& client) noexcept = 0;
    virtual void webSocketClientConnected(WebSocketClient& client) noexcept = 0;
    // willReconnect says whether the client will try again by itself.
    virtual void webSocketClientDisconnected(WebSocketClient& client, const QString& message,
                                             bool willReconnect) noexcept = 0;
    virtual void webSocketClientReceived(WebSocketClient& client,
                                         const KeyCommand& command) noexcept = 0;
    // The machine has no network: no attempt is made until it comes back. The message says so.
    virtual void webSocketClientWaitingForNetwork(WebSocketClient& client,
                                                  const QString& message) noexcept = 0;

protected:
    WebSocketClientDelegate() = default;
    WebSocketClientDelegate(const WebSocketClientDelegate&) = default;
    WebSocketClientDelegate& operator=(const WebSocketClientDelegate&) = default;
    WebSocketClientDelegate(WebSocketClientDelegate&&) = default;
    WebSocketClientDelegate& operator=(WebSocketClientDelegate&&) = default;
};

} // namespace vindaro
