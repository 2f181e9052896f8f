#include "web_socket_client.h"

#include "relay/handshake.h"
#include "relay/web_socket_client_delegate.h"

#include "keyboard/key_command.h"
#include "model/agent_error.h"
#include "model/constants.h"
#include "model/json_fields.h"

#include <QCoreApplication>
#include <QWebSocket>

#include <algorithm>
#include <limits>
#include <utility>

namespace vindaro {

namespace {

// How long a replaced or stopped connection may take to finish its close handshake.
constexpr std::chrono::seconds closingGrace{5};

QString stoppedMessage() {
    return QStringLiteral("หยุดการเชื่อมต่อแล้ว");
}
QString rejectedMessage() {
    return QStringLiteral("รหัสห้องหรือ Token ไม่ถูกต้อง");
}
QString closedMessage() {
    return QStringLiteral("การเชื่อมต่อถูกปิด");
}
QString waitingForNetworkMessage() {
    return QStringLiteral("ไม่มีเครือข่าย — จะเชื่อมต่อเองเมื่อเครือข่ายกลับมา");
}
QString droppedMessage() {
    // Qt's own words for a peer that hung up, for a connection that ended with neither a close
    // frame nor an error.
    return QCoreApplication::translate("QAbstractSocket", "The remote host closed the connection");
}
QString handshakeTimedOutMessage() {
    // Qt's own words for a socket operation that took too long, so a timeout reads like the other
    // transport failures.
    return QCoreApplication::translate("QAbstractSocket", "Socket operation timed out");
}

} // namespace

WebSocketClient::WebSocketClient()
    : WebSocketClient(Timing{}) {}

WebSocketClient::WebSocketClient(Timing timing)
    : WebSocketClient(std::move(timing), systemNetworkConnectivity()) {}

WebSocketClient::WebSocketClient(Timing timing, std::unique_ptr<NetworkConnectivity> connectivity)
    : m_timing(std::move(timing))
    , m_connectivity(std::move(connectivity)) {
    m_connectivity->setOnChange([this] { connectivityChanged(); });
    m_reconnectTimer.setSingleShot(true);
    // A precise timer never fires early, so the back-off is never shorter than computed.
    m_reconnectTimer.setTimerType(Qt::PreciseTimer);
    QObject::connect(&m_reconnectTimer, &QTimer::timeout, &m_reconnectTimer, [this] { attempt(); });
    QObject::connect(&m_pingTimer, &QTimer::timeout, &m_pingTimer, [this] { sendPing(); });
    m_handshakeTimer.setSingleShot(true);
    QObject::connect(&m_handshakeTimer, &QTimer::timeout, &m_handshakeTimer, [this] {
        handleDisconnect(m_socket, handshakeTimedOutMessage(), false, Ending::abort);
    });
}

WebSocketClient::~WebSocketClient() {
    m_delegate = nullptr;
    m_connectivity->setOnChange({});
    disconnect(false);
}

void WebSocketClient::connectTo(const QUrl& url, const std::optional<QString>& bearerToken) {
    if (!isRelayURL(url)) {
        reportDisconnected(AgentError::invalidServer().description(), false);
        return;
    }
    if (!isSendableToken(bearerToken)) {
        reportDisconnected(AgentError::missingCredentials().description(), false);
        return;
    }
    disconnect(false);
    ++m_generation;
    m_targetURL = url;
    m_targetBearerToken = bearerToken;
    m_reconnectEnabled = true;
    m_reconnectAttempt = 0;
    open();
}

void WebSocketClient::disconnect(bool notify) {
    ++m_generation;
    m_reconnectEnabled = false;
    m_waitingForNetwork = false;
    m_reconnectTimer.stop();
    m_pingTimer.stop();
    m_handshakeTimer.stop();
    if (QWebSocket* socket = std::exchange(m_socket, nullptr))
        retire(socket, Ending::normalClosure);
    if (notify)
        reportDisconnected(stoppedMessage(), false);
}

bool WebSocketClient::isClosing() const {
    return std::any_of(m_closing.begin(), m_closing.end(), [](const QPointer<QWebSocket>& socket) {
        return socket && socket->state() != QAbstractSocket::UnconnectedState;
    });
}

void WebSocketClient::open() {
    if (!m_reconnectEnabled || !m_targetURL)
        return;
    if (m_connectivity->isOffline()) {
        waitForNetwork();
        return;
    }
    attempt();
}

void WebSocketClient::attempt() {
    if (!m_reconnectEnabled || !m_targetURL)
        return;
    m_reconnectTimer.stop();
    // While the machine says there is no network, this is the slow try, and the wait goes on.
    if (!m_connectivity->isOffline())
        m_waitingForNetwork = false;
    const quint64 generation = m_generation;
    if (m_delegate)
        m_delegate->webSocketClientConnecting(*this);
    if (generation != m_generation)
        return;

    // A fresh socket per attempt: it also picks up the process's TLS defaults as they are now.
    auto* socket = new QWebSocket();
    limitIncomingMessages(*socket);
    watch(socket);
    m_socket = socket;
    m_handshakeTimer.start(m_timing.handshakeTimeout);
    socket->open(handshakeRequest(*m_targetURL, m_targetBearerToken, AgentIdentity::sent));
}

void WebSocketClient::watch(QWebSocket* socket) {
    QObject::connect(socket, &QWebSocket::connected, &m_context,
                     [this, socket] { handleOpened(socket); });
    QObject::connect(socket, &QWebSocket::textMessageReceived, &m_context,
                     [this, socket](const QString& text) { handleMessage(socket, text.toUtf8()); });
    QObject::connect(socket, &QWebSocket::binaryMessageReceived, &m_context,
                     [this, socket](const QByteArray& bytes) { handleMessage(socket, bytes); });
    QObject::connect(socket, &QWebSocket::aboutToClose, &m_context,
                     [this, socket] { handleAboutToClose(socket); });
    // Covers refused and failed handshakes, TLS failures, and a connection lost without a close
    // frame. After a handshake answered with anything but 101, Qt leaves the TCP connection open,
    // so the socket is aborted rather than closed.
    QObject::connect(
        socket, qOverload<QAbstractSocket::SocketError>(&QWebSocket::error), &m_context,
        [this, socket] { handleDisconnect(socket, socket->errorString(), false, Ending::abort); });
    // When a connection cannot be made (refused, no such host, unreachable), Qt says
    // disconnected before it says why, and the error that follows is the one to report. So a
    // loss is reported from here only once that error has had its turn.
    QObject::connect(socket, &QWebSocket::disconnected, &m_context, [this, socket] {
        QMetaObject::invokeMethod(
            &m_context,
            [this, socket = QPointer<QWebSocket>(socket)] {
                if (!socket)
                    return;
                const QString message = socket->error() == QAbstractSocket::UnknownSocketError
                                            ? droppedMessage()
                                            : socket->errorString();
                handleDisconnect(socket, message, false, Ending::abort);
            },
            Qt::QueuedConnection);
    });
}

void WebSocketClient::handleOpened(QWebSocket* socket) {
    if (socket != m_socket)
        return;
    m_handshakeTimer.stop();
    m_reconnectAttempt = 0;
    m_waitingForNetwork = false;
    const quint64 generation = m_generation;
    if (m_delegate)
        m_delegate->webSocketClientConnected(*this);
    if (generation != m_generation)
        return;
    // Qt answers the service's pings by itself but never pings on its own; keep-alive is ours.
    m_pingTimer.start(m_timing.pingInterval);
}

void WebSocketClient::handleMessage(QWebSocket* socket, const QByteArray& bytes) {
    if (socket != m_socket)
        return;
    const std::optional<KeyCommand> command = keyCommandIn(bytes);
    if (command && m_delegate)
        m_delegate->webSocketClientReceived(*this, *command);
}

std::optional<KeyCommand> WebSocketClient::keyCommandIn(const QByteArray& message) {
    // The transport already refuses larger messages; this keeps the rule where it is used.
    if (message.size() > maxWebSocketMessageBytes)
        return std::nullopt;
    std::optional<KeyCommand> command;
    try {
        command = KeyCommand::decode(message);
    } catch (const JsonDecodeError&) {
        return std::nullopt;
    }
    if (command->type != QLatin1StringView("key"))
        return std::nullopt;
    return command;
}

void WebSocketClient::handleAboutToClose(QWebSocket* socket) {
    // Qt reports a close frame, or a protocol error it answers with one, while the socket is still
    // open; a connection that simply drops never gets here in that state, and reads as close code
    // 1000 without being one. Drops arrive as errors instead.
    if (socket != m_socket || socket->state() != QAbstractSocket::ConnectedState)
        return;
    const bool rejected = socket->closeCode() == QWebSocketProtocol::CloseCodePolicyViolated;
    // An empty reason cannot be told from none on the wire, so it counts as none.
    const QString reason = socket->closeReason();
    const QString message =
        !reason.isEmpty() ? reason : (rejected ? rejectedMessage() : closedMessage());
    handleDisconnect(socket, message, rejected, Ending::closeHandshakeUnderway);
}

void WebSocketClient::handleDisconnect(QWebSocket* socket, const QString& message, bool terminal,
                                       Ending ending) {
    if (socket == nullptr || socket != m_socket)
        return;
    m_socket = nullptr;
    m_pingTimer.stop();
    m_handshakeTimer.stop();
    retire(socket, ending);
    if (terminal)
        m_reconnectEnabled = false;

    const quint64 generation = m_generation;
    reportDisconnected(message, m_reconnectEnabled);
    if (generation == m_generation && m_reconnectEnabled)
        scheduleReconnect();
}

void WebSocketClient::scheduleReconnect() {
    m_reconnectTimer.stop();
    if (m_connectivity->isOffline()) {
        waitForNetwork();
        return;
    }
    m_waitingForNetwork = false;
    ++m_reconnectAttempt;
    m_reconnectTimer.start(m_timing.reconnectDelay(m_reconnectAttempt));
}

void WebSocketClient::waitForNetwork() {
    // "No network" is only a hint: NetworkManager says so too when the working link is managed
    // by something else (systemd-networkd, a manual set-up, a VPN namespace). So an attempt is
    // still made, at the longest wait of the back-off, and at once when the network is reported.
    m_reconnectTimer.start(m_timing.reconnectDelay(std::numeric_limits<int>::max()));
    if (std::exchange(m_waitingForNetwork, true))
        return;
    if (m_delegate)
        m_delegate->webSocketClientWaitingForNetwork(*this, waitingForNetworkMessage());
}

void WebSocketClient::connectivityChanged() {
    // An attempt under way, or an open connection, finds out about the network by itself; an
    // open one may well outlive a short loss.
    if (!m_reconnectEnabled || m_socket != nullptr)
        return;
    if (m_connectivity->isOffline()) {
        if (m_reconnectTimer.isActive() && !m_waitingForNetwork)
            waitForNetwork();
        return;
    }
    if (m_waitingForNetwork) {
        m_reconnectAttempt = 0;
        open();
    }
}

void WebSocketClient::sendPing() {
    if (m_socket && m_socket->state() == QAbstractSocket::ConnectedState)
        m_socket->ping();
}

void WebSocketClient::retire(QWebSocket* socket, Ending ending) {
    // From here on nothing this socket does can reach the client.
    QObject::disconnect(socket, nullptr, &m_context, nullptr);
    switch (ending) {
    case Ending::normalClosure:
        if (socket->state() == QAbstractSocket::ConnectedState)
            socket->close(QWebSocketProtocol::CloseCodeNormal);
        else
            socket->abort();
        break;
    case Ending::abort:
        socket->abort();
        break;
    case Ending::closeHandshakeUnderway:
        break; // Qt is answering the close frame and shutting the connection itself
    }
    // A close frame may still wait in the TLS socket's buffer, and deleting the socket would drop
    // it: keep the socket until its connection is gone, for a bounded time. Deletion is deferred in
    // any case, as this may run inside one of the socket's own signals.
    if (socket->state() == QAbstractSocket::UnconnectedState) {
        socket->deleteLater();
        return;
    }
    m_closing.removeAll(nullptr);
    m_closing.append(socket);
    QObject::connect(socket, &QWebSocket::disconnected, socket, &QObject::deleteLater);
    QTimer::singleShot(closingGrace, socket, [socket] {
        socket->abort();
        socket->deleteLater();
    });
}

void WebSocketClient::reportDisconnected(const QString& message, bool willReconnect) {
    if (m_delegate)
        m_delegate->webSocketClientDisconnected(*this, message, willReconnect);
}

} // namespace vindaro
