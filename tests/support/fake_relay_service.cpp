#include "fake_relay_service.h"

#include <QSslSocket>
#include <QWebSocket>
#include <QtEndian>

#include <algorithm>

namespace {

constexpr quint8 opClose = 0x8;
constexpr quint8 opPing = 0x9;
constexpr qsizetype maxRequestBytes = 64 * 1024;

} // namespace

FakeRelayPeer::FakeRelayPeer(QWebSocket* webSocket, QSslSocket* tcp, QObject* parent)
    : QObject(parent)
    , m_webSocket(webSocket)
    , m_tcp(tcp) {
    webSocket->setParent(this);
    // Connected after the WebSocket's own slot: what it left buffered has been seen.
    connect(tcp, &QSslSocket::readyRead, this, [this] { m_seenUnread = m_tcp->bytesAvailable(); });
    m_seenUnread = tcp->bytesAvailable();
}

void FakeRelayPeer::sendText(const QString& text) {
    if (m_webSocket)
        m_webSocket->sendTextMessage(text);
}

void FakeRelayPeer::sendBinary(const QByteArray& bytes) {
    if (m_webSocket)
        m_webSocket->sendBinaryMessage(bytes);
}

void FakeRelayPeer::close(quint16 code, const QString& reason) {
    if (m_webSocket)
        m_webSocket->close(static_cast<QWebSocketProtocol::CloseCode>(code), reason);
}

void FakeRelayPeer::drop() {
    if (m_tcp)
        m_tcp->abort();
}

bool FakeRelayPeer::isOpen() const {
    return m_tcp && m_tcp->state() == QAbstractSocket::ConnectedState;
}

int FakeRelayPeer::pingsReceived() const {
    return static_cast<int>(std::count_if(m_controlFrames.begin(), m_controlFrames.end(),
                                          [](const auto& frame) { return frame.first == opPing; }));
}

std::optional<quint16> FakeRelayPeer::closeCodeReceived() const {
    for (const auto& [opcode, payload] : m_controlFrames) {
        if (opcode == opClose)
            return payload.size() >= 2 ? std::optional(qFromBigEndian<quint16>(payload.data()))
                                       : std::nullopt;
    }
    return std::nullopt;
}

// Runs on every readyRead before the WebSocket reads: whatever is buffered beyond what was seen
// last time is new. The agent sends only control frames: masked, with at most 125 bytes.
void FakeRelayPeer::snoop() {
    if (!m_tcp)
        return;
    const qsizetype available = m_tcp->bytesAvailable();
    m_partial += m_tcp->peek(available).mid(m_seenUnread);
    m_seenUnread = available;
    qsizetype length = 0;
    while (m_partial.size() >= 6 && m_partial.size() >= 6 + (length = m_partial[1] & 0x7f)) {
        QByteArray payload = m_partial.mid(6, length);
        for (qsizetype i = 0; i < length; ++i)
            payload[i] = static_cast<char>(payload[i] ^ m_partial[2 + i % 4]);
        m_controlFrames.append({static_cast<quint8>(m_partial[0] & 0x0f), payload});
        m_partial.remove(0, 6 + length);
    }
}

FakeRelayService::FakeRelayService(TestPki::Leaf leaf, QObject* parent)
    : QObject(parent)
    , m_handshaker(QStringLiteral("fake relay"), QWebSocketServer::SecureMode) {
    m_listener.setSslConfiguration(TestPki::instance().serverConfiguration(leaf));
    connect(&m_listener, &QSslServer::pendingConnectionAvailable, this, &FakeRelayService::accept);
    connect(&m_handshaker, &QWebSocketServer::newConnection, this,
            &FakeRelayService::adoptUpgraded);
}

bool FakeRelayService::listen(quint16 port, const QHostAddress& address) {
    return m_listener.listen(address, port);
}

int FakeRelayService::openConnections() const {
    return static_cast<int>(std::count_if(m_connections.begin(), m_connections.end(), [](auto& c) {
        return c && c->state() != QAbstractSocket::UnconnectedState;
    }));
}

// Each connection once its TLS handshake is done, which the test CA's leaf may not survive.
void FakeRelayService::accept() {
    while (auto* socket = static_cast<QSslSocket*>(m_listener.nextPendingConnection())) {
        socket->setParent(this);
        // As a real service would: no Nagle delay on the small frames it sends.
        socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        m_connections.append(socket);
        RelayAnswer answer = m_answer;
        if (!m_queued.empty()) {
            answer = m_queued.front();
            m_queued.pop_front();
        }
        connect(socket, &QSslSocket::readyRead, this,
                [this, socket, answer] { readRequest(socket, answer); });
        readRequest(socket, answer);
    }
}

void FakeRelayService::readRequest(QSslSocket* socket, RelayAnswer answer) {
    const QByteArray buffered = socket->peek(maxRequestBytes);
    const qsizetype end = buffered.indexOf("\r\n\r\n");
    if (end < 0) {
        if (buffered.size() >= maxRequestBytes)
            socket->abort();
        return;
    }
    // From here a slot connected before the WebSocket's own sees each batch of frames first.

    disconnect(socket, &QSslSocket::readyRead, this, nullptr);
    connect(socket, &QSslSocket::readyRead, this, [this, socket] {
        for (FakeRelayPeer* peer : std::as_const(m_peers)) {
            if (peer->m_tcp == socket)
                peer->snoop();
        }
    });
    m_requests.append(HttpRequest::fromHead(buffered.left(end)));
    if (answer == RelayAnswer::upgrade) {
        // The request stays buffered for Qt's handshake, which reads it from the start.
        m_upgrading.append(socket);
        m_handshaker.handleConnection(socket);
    } else if (answer == RelayAnswer::dropRequest) {
        socket->abort();
    } else {
        socket->read(end + 4);
        if (answer == RelayAnswer::refuse)
            socket->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
    }
}

void FakeRelayService::adoptUpgraded() {
    while (QWebSocket* webSocket = m_handshaker.nextPendingConnection()) {
        const auto tcp = std::find_if(m_upgrading.begin(), m_upgrading.end(), [&](auto& c) {
            return c && c->peerPort() == webSocket->peerPort() &&
                   c->peerAddress() == webSocket->peerAddress();
        });
        if (tcp == m_upgrading.end()) {
            webSocket->abort();
            webSocket->deleteLater();
            continue;
        }
        m_peers.append(new FakeRelayPeer(webSocket, *tcp, this));
        m_upgrading.erase(tcp);
    }
}
