#pragma once

#include "support/connect_proxy.h"
#include "support/test_pki.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QSslServer>
#include <QWebSocketServer>

#include <deque>
#include <optional>
#include <utility>

QT_BEGIN_NAMESPACE
class QSslSocket;
class QWebSocket;
QT_END_NAMESPACE

// What the fake relay does with one incoming TCP connection.
enum class RelayAnswer {
    upgrade,       // completes the WebSocket handshake
    refuse,        // answers the upgrade with 403, then keeps the TCP connection open
    ignoreRequest, // completes TLS, reads the upgrade request and never answers it
    dropRequest,   // reads the upgrade request, then drops the connection without an answer
};

// One upgraded connection, seen from the service; it records the client's pings and closes.
class FakeRelayPeer : public QObject {
public:
    FakeRelayPeer(QWebSocket* webSocket, QSslSocket* tcp, QObject* parent);

    void sendText(const QString& text);
    void sendBinary(const QByteArray& bytes);
    // A close frame with the code and, when not empty, the reason.
    void close(quint16 code, const QString& reason = {});
    // Ends the TCP connection at once, without a close frame.
    void drop();

    bool isOpen() const;
    int pingsReceived() const;
    // The code of the first close frame the client sent; nothing if it sent none.
    std::optional<quint16> closeCodeReceived() const;

private:
    friend class FakeRelayService;
    void snoop();

    QPointer<QWebSocket> m_webSocket;
    QPointer<QSslSocket> m_tcp;
    qsizetype m_seenUnread = 0; // bytes still buffered in the socket that snoop() has parsed
    QByteArray m_partial;
    QList<std::pair<quint8, QByteArray>> m_controlFrames; // opcode, unmasked payload
};

// A relay service on loopback: real TLS with a test CA certificate, Qt's WebSocket handshake,
// what each connection gets set per test, and every upgrade request recorded.
class FakeRelayService : public QObject {
public:
    explicit FakeRelayService(TestPki::Leaf leaf = TestPki::Leaf::service,
                              QObject* parent = nullptr);

    // Port 0 takes any free port. False when the address and port cannot be had.
    bool listen(quint16 port = 0, const QHostAddress& address = QHostAddress::LocalHost);
    quint16 port() const { return m_listener.serverPort(); }

    // The answer for connections with no queued answer; upgrade unless set.
    void setAnswer(RelayAnswer answer) { m_answer = answer; }
    // Answers for the next connections, in order, before the default applies again.
    void queueAnswers(std::initializer_list<RelayAnswer> answers) {
        m_queued.insert(m_queued.end(), answers);
    }

    int acceptedConnections() const { return static_cast<int>(m_connections.size()); }
    // Connections past TLS not yet closed by either side, refused and ignored ones included.
    int openConnections() const;
    const QList<HttpRequest>& requests() const { return m_requests; }
    qsizetype peerCount() const { return m_peers.size(); }
    FakeRelayPeer& peer(qsizetype index) const { return *m_peers.at(index); }
    FakeRelayPeer& lastPeer() const { return *m_peers.last(); }

private:
    void accept();
    void readRequest(QSslSocket* socket, RelayAnswer answer);
    void adoptUpgraded();

    QSslServer m_listener;
    QWebSocketServer m_handshaker;
    RelayAnswer m_answer = RelayAnswer::upgrade;
    std::deque<RelayAnswer> m_queued;
    QList<QPointer<QSslSocket>> m_connections;
    QList<QPointer<QSslSocket>> m_upgrading;
    QList<HttpRequest> m_requests;

    QList<FakeRelayPeer*> m_peers;
};
