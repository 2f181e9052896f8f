#pragma once

#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

namespace vindaro {

// Answers one question: does a WebSocket to this URL open right now? One handshake, bounded by
// the timeout, closed with 1000 if it opened; no messages, no reconnecting.
class ConnectionProbe {
public:
    // Blocks the calling thread for at most about the timeout; true only when the socket opened.
    // The handshake runs on a thread of its own, so the caller's thread need not run an event
    // loop, and must not be the one a fake service in the same process answers on. An untrusted
    // URL gives false without any network activity. Without a token the request carries no
    // header of its own; with one it carries "Authorization" "Bearer <token>".
    bool run(const QUrl& url, const std::optional<QString>& bearerToken,
             std::chrono::milliseconds timeout);
};

} // namespace vindaro
