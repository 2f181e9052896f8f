#pragma once

#include <QString>
#include <QUrl>

#include <chrono>
#include <optional>

namespace vindaro {

// One WebSocket handshake to answer "does a connection open with these credentials?".
class ConnectionProbe {
public:
    // Blocks the calling thread for at most about the timeout; true only when the socket opened.
    bool run(const QUrl& url, const std::optional<QString>& bearerToken,
             std::chrono::milliseconds timeout);
};

} // namespace vindaro
