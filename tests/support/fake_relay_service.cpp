#include "fake_relay_service.h"

#include <QSslSocket>
#include <QTcpServer>
#include <QWebSocket>
#include <QtEndian>

#include <algorithm>

namespace {

constexpr quint8 opClose = 0x8;
constexpr quint8 opPing = 0x9;
constexpr qsizetype maxRequestBytes = 64 * 1024;

// Hands every accepted descriptor to the service, which decides whether TLS starts at all.
class DescriptorListener : public QTcpServer {
public:
    explicit DescriptorListener(std::function<void(qintptr)> accept)
        : m_accept(std::move(accept)) {}

protected:
    void incomingConnection(qintptr descriptor) override { m_accept(descriptor); }

private:
    std::function<void(qintptr)> m_accept;
};

QByteArray serverFrame(quint8 opcode, const QByteArray& payload, bool final) {
    QByteArray frame;
    frame.append(static_cast<char>((final ? 0x80 : 0x00) | (opcode & 0x0f)));
    const auto length = static_cast<quint64>(payload.size());
    if (length <= 125) {
        frame.append(static_cast<char>(length));
    } else if (length <= 0xffff) {
        frame.append(static_cast<char>(126));
        frame.append(static_cast<char>(length >> 8));
        frame.append(static_cast<char>(length & 0xff));
    } else {
        frame.append(static_cast<char>(127));
        for (int shift = 56; shift >= 0; shift -= 8)
            frame.append(static_cast<char>((length >> shift) & 0xff));
    }
    return frame + payload;
}

// Takes one whole client frame off the front of buffer; false while it is incomplete.
bool takeClientFrame(QByteArray& buffer, ClientFrame& frame) {
    if (buffer.size() < 2)
        return false;
    const auto* bytes = reinterpret_cast<const uchar*>(buffer.constData());
    const bool masked = (bytes[1] & 0x80) != 0;
    quint64 length = bytes[1] & 0x7f;
    qsizetype offset = 2;
    if (length == 126) {
        if (buffer.size() < 4)
            return false;
        length = qFromBigEndian<quint16>(bytes + 2);
        offset = 4;
    } else if (length == 127) {
        if (buffer.size() < 10)
            return false;
        length = qFromBigEndian<quint64>(bytes + 2);
        offset = 10;
    }
    const qsizetype maskOffset = offset;
    if (masked)
        offset += 4;
    if (length > static_cast<quint64>(buffer.size() - offset))
        return false;
    frame.final = (bytes[0] & 0x80) != 0;
    frame.opcode = bytes[0] & 0x0f;
    frame.payload = buffer.mid(offset, static_cast<qsizetype>(length));
    if (masked) {
        for (qsizetype i = 0; i < frame.payload.size(); ++i)
            frame.payload[i] = static_cast<char>(frame.payload[i] ^ buffer[maskOffset + i % 4]);
    }
    buffer.remove(0, offset + static_cast<qsizetype>(length));
    return true;
}

RelayRequest parseRequest(const QByteArray& head) {
    RelayRequest request;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    const QByteArray target = requestLine.value(1);
    const qsizetype question = target.indexOf('?');
    request.path = question < 0 ? target : target.left(question);
    request.query = question < 0 ? QByteArray() : target.mid(question + 1);
    for (qsizetype i = 1; i < lines.size(); ++i) {
        const QByteArray line = lines[i].trimmed();
        const qsizetype colon = line.indexOf(':');
        if (colon > 0)
            request.headers.append({line.left(colon), line.mid(colon + 1).trimmed()});
    }
    return request;
}

} // namespace

std::optional<QByteArray> RelayRequest::header(QByteArrayView name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return std::nullopt;
}

QList<QByteArray> RelayRequest::headerNames() const {
    QList<QByteArray> names;
    for (const auto& header : headers)
        names.append(header.first);
    return names;
}

FakeRelayPeer::FakeRelayPeer(QWebSocket* webSocket, QSslSocket* tcp, QObject* parent)
    : QObject(parent)
    , m_webSocket(webSocket)
    , m_tcp(tcp) {
    webSocket->setParent(this);
    // Runs after the WebSocket has taken what it wanted from this batch.
    connect(tcp, &QSslSocket::readyRead, this, &FakeRelayPeer::markConsumed);
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

void FakeRelayPeer::sendFrame(quint8 opcode, const QByteArray& payload, bool final) {
    if (m_tcp) {
        m_tcp->write(serverFrame(opcode, payload, final));
        m_tcp->flush();
    }
}

void FakeRelayPeer::close(quint16 code, const QString& reason) {
    QByteArray payload(2, '\0');
    qToBigEndian(code, payload.data());
    sendFrame(opClose, payload + reason.toUtf8());
}

void FakeRelayPeer::drop() {
    if (m_tcp)
        m_tcp->abort();
}

bool FakeRelayPeer::isOpen() const {
    return m_tcp && m_tcp->state() == QAbstractSocket::ConnectedState;
}

int FakeRelayPeer::pingsReceived() const {
    return static_cast<int>(std::count_if(m_frames.begin(), m_frames.end(),
                                          [](const ClientFrame& f) { return f.opcode == opPing; }));
}

std::optional<quint16> FakeRelayPeer::closeCodeReceived() const {
    for (const ClientFrame& frame : m_frames) {
        if (frame.opcode == opClose && frame.payload.size() >= 2)
            return qFromBigEndian<quint16>(frame.payload.constData());
        if (frame.opcode == opClose)
            return std::nullopt;
    }
    return std::nullopt;
}

// Called on every readyRead before the WebSocket reads: whatever is buffered beyond what was
// seen last time is new, whatever the WebSocket chose to consume meanwhile.
void FakeRelayPeer::snoop() {
    if (!m_tcp)
        return;
    const qsizetype available = m_tcp->bytesAvailable();
    m_partial += m_tcp->peek(available).mid(m_seenUnread);
    m_seenUnread = available;
    ClientFrame frame;
    while (takeClientFrame(m_partial, frame))
        m_frames.append(frame);
}

void FakeRelayPeer::markConsumed() {
    if (m_tcp)
        m_seenUnread = m_tcp->bytesAvailable();
}

FakeRelayService::FakeRelayService(TestPki::Leaf leaf, QObject* parent)
    : QObject(parent)
    , m_leaf(leaf)
    , m_listener(std::make_unique<DescriptorListener>([this](qintptr d) { accept(d); }))
    , m_handshaker(QStringLiteral("fake relay"), QWebSocketServer::SecureMode) {
    setRefusal("403 Forbidden");
    m_handshaker.setSslConfiguration(TestPki::instance().serverConfiguration(leaf));
    connect(&m_handshaker, &QWebSocketServer::newConnection, this,
            &FakeRelayService::adoptUpgraded);
}

FakeRelayService::~FakeRelayService() {
    for (const QPointer<QTcpSocket>& connection : std::as_const(m_connections)) {
        if (connection)
            connection->abort();
    }
}

bool FakeRelayService::listen(quint16 port, const QHostAddress& address) {
    return m_listener->listen(address, port);
}

quint16 FakeRelayService::port() const {
    return m_listener->serverPort();
}

void FakeRelayService::queueAnswers(std::initializer_list<RelayAnswer> answers) {
    m_queued.insert(m_queued.end(), answers.begin(), answers.end());
}

void FakeRelayService::setRefusal(const QByteArray& status,
                                  QList<std::pair<QByteArray, QByteArray>> headers) {
    m_refusal = "HTTP/1.1 " + status + "\r\n";
    for (const auto& [name, value] : headers)
        m_refusal += name + ": " + value + "\r\n";
    m_refusal += "Content-Length: 0\r\n\r\n";
}

int FakeRelayService::openConnections() const {
    return static_cast<int>(
        std::count_if(m_connections.begin(), m_connections.end(), [](const auto& connection) {
            return connection && connection->state() != QAbstractSocket::UnconnectedState;
        }));
}

void FakeRelayService::accept(qintptr descriptor) {
    auto* socket = new QSslSocket(this);
    if (!socket->setSocketDescriptor(descriptor)) {
        delete socket;
        return;
    }
    // As a real service would: no Nagle delay on the small frames it sends.
    socket->setSocketOption(QAbstractSocket::LowDelayOption, 1);
    ++m_accepted;
    m_connections.append(socket);
    RelayAnswer answer = m_answer;
    if (!m_queued.empty()) {
        answer = m_queued.front();
        m_queued.pop_front();
    }
    if (answer == RelayAnswer::ignoreTcp)
        return;

    socket->setSslConfiguration(TestPki::instance().serverConfiguration(m_leaf));
    connect(socket, &QSslSocket::readyRead, this,
            [this, socket, answer] { readRequest(socket, answer); });
    socket->startServerEncryption();
}

void FakeRelayService::readRequest(QSslSocket* socket, RelayAnswer answer) {
    const QByteArray buffered = socket->peek(maxRequestBytes);
    const qsizetype end = buffered.indexOf("\r\n\r\n");
    if (end < 0) {
        if (buffered.size() >= maxRequestBytes)
            socket->abort();
        return;
    }
    // From here on the request is not ours to read again. What follows an upgrade is watched
    // by a slot connected before the WebSocket's own, so it sees each batch of client frames
    // before the WebSocket reads it.
    disconnect(socket, &QSslSocket::readyRead, this, nullptr);
    connect(socket, &QSslSocket::readyRead, this, [this, socket] {
        for (FakeRelayPeer* peer : std::as_const(m_peers)) {
            if (peer->m_tcp == socket)
                peer->snoop();
        }
    });
    m_requests.append(parseRequest(buffered.left(end)));

    switch (answer) {
    case RelayAnswer::upgrade:
        // The request stays buffered for Qt's handshake, which reads it from the start.
        m_upgrading.append(socket);
        m_handshaker.handleConnection(socket);
        break;
    case RelayAnswer::refuse:
        socket->read(end + 4);
        socket->write(m_refusal);
        break;
    case RelayAnswer::ignoreRequest:
        socket->read(end + 4);
        break;
    case RelayAnswer::dropRequest:
        socket->abort();
        break;
    case RelayAnswer::ignoreTcp:
        break;
    }
}

void FakeRelayService::adoptUpgraded() {
    while (QWebSocket* webSocket = m_handshaker.nextPendingConnection()) {
        QSslSocket* tcp = nullptr;
        for (qsizetype i = 0; i < m_upgrading.size(); ++i) {
            QSslSocket* candidate = m_upgrading[i];
            if (candidate && candidate->peerPort() == webSocket->peerPort() &&
                candidate->peerAddress() == webSocket->peerAddress()) {
                tcp = candidate;
                m_upgrading.removeAt(i);
                break;
            }
        }
        if (!tcp) {
            webSocket->abort();
            webSocket->deleteLater();
            continue;
        }
        auto* peer = new FakeRelayPeer(webSocket, tcp, this);
        m_peers.append(peer);
        if (m_onUpgrade)
            m_onUpgrade(*peer);
    }
}
