#pragma once

#include "support/test_pki.h"

#include <QByteArray>
#include <QHostAddress>
#include <QList>
#include <QObject>
#include <QPointer>
#include <QString>
#include <QWebSocketServer>

#include <deque>
#include <functional>
#include <memory>
#include <optional>
#include <utility>

QT_BEGIN_NAMESPACE
class QSslSocket;
class QTcpServer;
class QTcpSocket;
class QWebSocket;
QT_END_NAMESPACE

// What the fake relay does with one incoming TCP connection.
enum class RelayAnswer {
    upgrade,       // completes the WebSocket handshake
    refuse,        // answers the upgrade request with the refusal (403 unless set) and then
                   // keeps the TCP connection open, to see whether the client closes it
    ignoreRequest, // completes TLS, reads the upgrade request and never answers it
    ignoreTcp,     // accepts TCP and never sends a byte, not even the TLS handshake
    dropRequest,   // reads the upgrade request, then drops the TCP connection without an answer
};

// One upgrade request as the service received it.
struct RelayRequest {
    QByteArray method;
    QByteArray path;  // before "?", as sent
    QByteArray query; // after "?", as sent; empty when there is none
    QList<std::pair<QByteArray, QByteArray>> headers; // in the order sent

    // The value of the header, names compared without regard to case; nothing when absent.
    std::optional<QByteArray> header(QByteArrayView name) const;
    QList<QByteArray> headerNames() const;
};

// A frame the client sent on an upgraded connection, unmasked.
struct ClientFrame {
    quint8 opcode = 0;
    bool final = true;
    QByteArray payload;
};

// One upgraded connection, seen from the service. It can send what a real service sends and
// what a broken or hostile one might, and records every frame the client sent, pings and close
// frames included (Qt answers those itself and would not tell).
class FakeRelayPeer : public QObject {
public:
    FakeRelayPeer(QWebSocket* webSocket, QSslSocket* tcp, QObject* parent);

    void sendText(const QString& text);
    void sendBinary(const QByteArray& bytes);
    // Any frame, written as is (a service's frames are not masked).
    void sendFrame(quint8 opcode, const QByteArray& payload, bool final = true);
    // A close frame with the code and, when not empty, the reason.
    void close(quint16 code, const QString& reason = {});
    // Ends the TCP connection at once, without a close frame.
    void drop();

    bool isOpen() const;
    const QList<ClientFrame>& framesReceived() const { return m_frames; }
    int pingsReceived() const;
    // The code of the first close frame the client sent; nothing if it sent none.
    std::optional<quint16> closeCodeReceived() const;

private:
    friend class FakeRelayService;
    void snoop();
    void markConsumed();

    QPointer<QWebSocket> m_webSocket;
    QPointer<QSslSocket> m_tcp;
    qsizetype m_seenUnread = 0; // bytes still buffered in the socket that snoop() has parsed
    QByteArray m_partial;
    QList<ClientFrame> m_frames;
};

// A relay service on loopback for tests: real TLS with a certificate from the test CA, a real
// WebSocket handshake by Qt's QWebSocketServer in secure mode, and a script per test of what each
// connection gets. It records every upgrade request it reads. Lives on the thread that created
// it; read it there (or after that thread's work is done).
class FakeRelayService : public QObject {
public:
    explicit FakeRelayService(TestPki::Leaf leaf = TestPki::Leaf::service,
                              QObject* parent = nullptr);
    ~FakeRelayService() override;

    // Port 0 takes any free port. False when the address and port cannot be had.
    bool listen(quint16 port = 0, const QHostAddress& address = QHostAddress::LocalHost);
    quint16 port() const;

    // The answer for connections with no queued answer; upgrade unless set.
    void setAnswer(RelayAnswer answer) { m_answer = answer; }
    // Answers for the next connections, in order, before the default applies again.
    void queueAnswers(std::initializer_list<RelayAnswer> answers);
    // What refuse writes: a status line such as "302 Found" and any headers (e.g. "Location").
    void setRefusal(const QByteArray& status,
                    QList<std::pair<QByteArray, QByteArray>> headers = {});
    // Runs on every connection right after its upgrade, e.g. to send messages at once.
    void onUpgrade(std::function<void(FakeRelayPeer&)> script) { m_onUpgrade = std::move(script); }

    int acceptedConnections() const { return m_accepted; }
    // TCP connections not yet closed by either side, refused and ignored ones included.
    int openConnections() const;
    const QList<RelayRequest>& requests() const { return m_requests; }
    qsizetype peerCount() const { return m_peers.size(); }
    FakeRelayPeer& peer(qsizetype index) const { return *m_peers.at(index); }
    FakeRelayPeer& lastPeer() const { return *m_peers.last(); }

private:
    void accept(qintptr descriptor);
    void readRequest(QSslSocket* socket, RelayAnswer answer);
    void adoptUpgraded();

    TestPki::Leaf m_leaf;
    std::unique_ptr<QTcpServer> m_listener;
    QWebSocketServer m_handshaker;
    RelayAnswer m_answer = RelayAnswer::upgrade;
    std::deque<RelayAnswer> m_queued;
    QByteArray m_refusal;
    std::function<void(FakeRelayPeer&)> m_onUpgrade;
    int m_accepted = 0;
    QList<QPointer<QTcpSocket>> m_connections;
    QList<QPointer<QSslSocket>> m_upgrading;
    QList<RelayRequest> m_requests;
    QList<FakeRelayPeer*> m_peers;
};
