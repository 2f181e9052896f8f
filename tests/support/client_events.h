#pragma once

#include "relay/web_socket_client_delegate.h"

#include <QStringList>

#include <algorithm>
#include <vector>

namespace vindaro::test {

// Everything a WebSocketClient reported, in order.
class ClientEvents final : public WebSocketClientDelegate {
public:
    enum class Kind { connecting, connected, disconnected, received, waiting };
    struct Event {
        Kind kind;
        QString message; // disconnected, waiting: the message; received: the command's source
        bool willReconnect = false;
    };

    void webSocketClientConnecting(WebSocketClient&) noexcept override {
        events.push_back({Kind::connecting, {}, false});
    }
    void webSocketClientConnected(WebSocketClient&) noexcept override {
        events.push_back({Kind::connected, {}, false});
    }
    void webSocketClientDisconnected(WebSocketClient&, const QString& message,
                                     bool willReconnect) noexcept override {
        events.push_back({Kind::disconnected, message, willReconnect});
    }
    void webSocketClientWaitingForNetwork(WebSocketClient&,
                                          const QString& message) noexcept override {
        events.push_back({Kind::waiting, message, false});
    }
    void webSocketClientReceived(WebSocketClient&, const KeyCommand& command) noexcept override {
        events.push_back({Kind::received, command.source.value_or(QString()), false});
    }

    int count(Kind kind) const {
        return static_cast<int>(
            std::ranges::count_if(events, [kind](const Event& e) { return e.kind == kind; }));
    }
    std::vector<Kind> kinds(std::size_t from = 0) const {
        std::vector<Kind> result;
        for (std::size_t i = from; i < events.size(); ++i)
            result.push_back(events[i].kind);
        return result;
    }
    const Event& last() const { return events.back(); }
    QStringList receivedSources() const {
        QStringList sources;
        for (const Event& e : events) {
            if (e.kind == Kind::received)
                sources.append(e.message);
        }
        return sources;
    }

    std::vector<Event> events;
};

} // namespace vindaro::test
