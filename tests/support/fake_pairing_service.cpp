#include "fake_pairing_service.h"

#include <QTcpSocket>
#include <QTimer>

#include <memory>

FakePairingService::FakePairingService(TestPki::Leaf leaf) {
    m_server.setSslConfiguration(TestPki::instance().serverConfiguration(leaf));
    connect(&m_server, &QTcpServer::pendingConnectionAvailable, this, [this] {
        while (QTcpSocket* socket = m_server.nextPendingConnection()) {
            socket->setParent(this);
            auto buffer = std::make_shared<QByteArray>();
            connect(socket, &QTcpSocket::readyRead, this, [this, socket, buffer] {
                *buffer += socket->readAll();
                serve(socket, *buffer);
            });
            connect(socket, &QTcpSocket::disconnected, socket, &QObject::deleteLater);
        }
    });
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("fake pairing service: cannot listen on loopback");
}

bool FakePairingService::listen(const QHostAddress& address, quint16 port) {
    m_server.close();
    return m_server.listen(address, port);
}

void FakePairingService::serve(QTcpSocket* socket, QByteArray& buffer) {
    for (qsizetype headEnd; (headEnd = buffer.indexOf("\r\n\r\n")) >= 0;) {
        HttpRequest request = HttpRequest::fromHead(buffer.left(headEnd));
        const qint64 length = request.header("Content-Length").toLongLong();
        if (buffer.size() < headEnd + 4 + length)
            return;
        request.body = buffer.mid(headEnd + 4, length);
        buffer.remove(0, headEnd + 4 + length);
        m_requests.append(request);
        answer(socket, m_replies.empty() ? Reply(500) : m_replies.front());
        if (m_replies.size() > 1)
            m_replies.pop_front();
    }
}

void FakePairingService::answer(QTcpSocket* socket, const Reply& reply) {
    if (reply.silent)
        return;
    QTimer::singleShot(reply.delay, socket, [socket, reply] {
        if (reply.hangUp) {
            socket->disconnectFromHost();
            return;
        }
        const qint64 announced =
            reply.announcedLength >= 0 ? reply.announcedLength : reply.body.size();
        QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " Fake\r\n";
        head += "Content-Length: " + QByteArray::number(announced) + "\r\nConnection: close\r\n";
        for (const auto& [name, value] : reply.headers)
            head += name + ": " + value + "\r\n";
        socket->write(head + "\r\n");
        const bool complete = announced == reply.body.size();
        if (reply.byteInterval.count() == 0) {
            socket->write(reply.body);
            if (complete)
                socket->disconnectFromHost();
            return;
        }
        auto* timer = new QTimer(socket);
        auto remaining = std::make_shared<QByteArray>(reply.body);
        QObject::connect(timer, &QTimer::timeout, socket, [socket, timer, remaining, complete] {
            if (!remaining->isEmpty()) {
                socket->write(remaining->left(1));
                remaining->remove(0, 1);
            } else if (timer->isActive()) {
                timer->stop();
                if (complete)
                    socket->disconnectFromHost();
            }
        });
        timer->start(reply.byteInterval);
    });
}
