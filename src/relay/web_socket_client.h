#pragma once

#include "keyboard/key_command.h"
#include "relay/back_off.h"
#include "relay/network_connectivity.h"

#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QTimer>
#include <QUrl>

#include <chrono>
#include <functional>
#include <memory>
#include <optional>

QT_BEGIN_NAMESPACE
class QWebSocket;
QT_END_NAMESPACE

namespace vindaro {

class WebSocketClientDelegate;

// Keeps one authenticated WebSocket to the relay open for as long as the user wants to be
// connected: opens it with the agent's headers, hands each valid key command to the delegate,
// pings every 20 seconds, and after any loss reconnects by itself with an exponential back-off,
// except when the service rejects the credentials (close code 1008). While the machine says it
// has no network, it says once that it waits and tries only at the back-off's longest interval;
// when the network is reported back it tries at once, from the first delay again.
//
// Lives on the main thread; call it only from there. Each connection attempt is a socket object
// of its own, and a socket's events count only while it is the current one, so an attempt that
// was replaced or stopped can never reach the delegate. Every attempt ends in exactly one
// disconnected report, from whichever of close, error, timeout or stop comes first.
class WebSocketClient {
public:
    // The defaults are the agent's; tests shorten them so they need not wait 20 seconds.
    struct Timing {
        std::chrono::milliseconds pingInterval{std::chrono::seconds(20)};
        // QtWebSockets has no handshake timeout of its own.
        std::chrono::milliseconds handshakeTimeout{std::chrono::seconds(20)};
        // The wait before reconnect attempt n, counted since the last open or connect; a number
        // past every doubling asks for the longest wait.
        std::function<std::chrono::milliseconds(int attempt)> reconnectDelay = randomizedBackOff;
    };

    WebSocketClient();
    explicit WebSocketClient(Timing timing);
    // The machine's own connectivity unless tests give another.
    WebSocketClient(Timing timing, std::unique_ptr<NetworkConnectivity> connectivity);
    // Ends the connection silently, like disconnect(false).
    ~WebSocketClient();

    WebSocketClient(const WebSocketClient&) = delete;
    WebSocketClient& operator=(const WebSocketClient&) = delete;

    // Not owned; it must outlive the client, or be replaced before it goes.
    void setDelegate(WebSocketClientDelegate* delegate) { m_delegate = delegate; }

    // Starts, or restarts, the connection. A URL that is not "wss" on the trusted host with the
    // socket path is reported as disconnected at once and changes nothing else: an existing
    // connection stays as it was. Otherwise the current connection, if any, is replaced without a
    // report, and reconnecting starts over from the first delay.
    void connectTo(const QUrl& url, const std::optional<QString>& bearerToken);

    // Ends the connection with close code 1000 and all automatic reconnecting; with notify,
    // reports "หยุดการเชื่อมต่อแล้ว".
    void disconnect(bool notify);

    // Whether a connection that was ended is still finishing its close handshake. A process that
    // is quitting lets the event loop run until this is false (for a bounded time), or the close
    // frame may never leave.
    bool isClosing() const;

    // The key command one relay message carries, if it is one: at most the message size limit,
    // valid JSON of the command's shape, and of type exactly "key". Anything else is dropped
    // without a word.
    static std::optional<KeyCommand> keyCommandIn(const QByteArray& message);

private:
    enum class Ending { normalClosure, abort, closeHandshakeUnderway };

    // open() holds back while the machine says there is no network; attempt() does not.
    void open();
    void attempt();
    void watch(QWebSocket* socket);
    void handleOpened(QWebSocket* socket);
    void handleMessage(QWebSocket* socket, const QByteArray& bytes);
    void handleAboutToClose(QWebSocket* socket);
    void handleDisconnect(QWebSocket* socket, const QString& message, bool terminal, Ending ending);
    void scheduleReconnect();
    void waitForNetwork();
    void connectivityChanged();
    void sendPing();
    void retire(QWebSocket* socket, Ending ending);

    void reportDisconnected(const QString& message, bool willReconnect);

    Timing m_timing;
    std::unique_ptr<NetworkConnectivity> m_connectivity;
    WebSocketClientDelegate* m_delegate = nullptr;
    QWebSocket* m_socket = nullptr;        // the current attempt; deleted later once retired
    QList<QPointer<QWebSocket>> m_closing; // retired attempts still finishing their close
    std::optional<QUrl> m_targetURL;
    std::optional<QString> m_targetBearerToken;
    bool m_reconnectEnabled = false;
    int m_reconnectAttempt = 0;
    // The machine says there is no network, and the client has said that it waits: the
    // reconnect timer, when it runs, is the slow try.
    bool m_waitingForNetwork = false;
    // Changes on every connectTo and disconnect, so work that follows a delegate report can tell
    // whether the delegate started or stopped a connection meanwhile.
    quint64 m_generation = 0;
    QTimer m_reconnectTimer;
    QTimer m_pingTimer;
    QTimer m_handshakeTimer;
    // Context of every socket connection: destroyed first, it cuts them all when the client goes.
    QObject m_context;
};

} // namespace vindaro
