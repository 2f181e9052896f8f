#pragma once

#include "support/connect_proxy.h"
#include "support/test_pki.h"

#include <QByteArray>
#include <QList>
#include <QObject>
#include <QSslServer>

#include <chrono>
#include <deque>
#include <utility>

class QTcpSocket;

// The pairing endpoint over TLS on loopback (reach it through ConnectProxy). Each request is
// recorded and gets the next planned reply; the last one answers every request after it.
class FakePairingService : public QObject {
public:
    using Headers = QList<std::pair<QByteArray, QByteArray>>;

    struct Reply {
        explicit Reply(int replyStatus = 200, QByteArray replyBody = {}, Headers replyHeaders = {})
            : status(replyStatus)
            , body(std::move(replyBody))
            , headers(std::move(replyHeaders)) {}

        int status;
        QByteArray body;
        Headers headers;                           // sent after Content-Length and Connection
        qint64 announcedLength = -1;               // Content-Length; -1: the body's size
        std::chrono::milliseconds delay{0};        // before anything is sent
        std::chrono::milliseconds byteInterval{0}; // sends the body one byte at a time
        bool silent = false;                       // reads the request, never answers
        bool hangUp = false;                       // closes the connection instead of answering
    };

    explicit FakePairingService(TestPki::Leaf leaf = TestPki::Leaf::service);

    quint16 port() const { return m_server.serverPort(); }
    // Moves it from the free loopback port it starts on; false when that cannot be had.

    bool listen(const QHostAddress& address, quint16 port);
    void plan(std::deque<Reply> replies) { m_replies = std::move(replies); }
    const QList<HttpRequest>& requests() const { return m_requests; }

private:
    void serve(QTcpSocket* socket, QByteArray& buffer);
    void answer(QTcpSocket* socket, const Reply& reply);

    QSslServer m_server;
    std::deque<Reply> m_replies;
    QList<HttpRequest> m_requests;
};
