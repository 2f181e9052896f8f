#include "fake_pairing_service.h"

#include <QPointer>
#include <QTcpSocket>
#include <QTimer>

#include <memory>

QByteArray FakePairingService::Request::header(const QByteArray& name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

FakePairingService::FakePairingService(TestPki::Leaf leaf, QObject* parent)
    : QObject(parent) {
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

FakePairingService::Reply FakePairingService::nextReply() {
    if (m_replies.empty())
        return Reply(500);
    Reply reply = m_replies.front();
    if (m_replies.size() > 1)
        m_replies.pop_front();
    return reply;
}

void FakePairingService::serve(QTcpSocket* socket, QByteArray& buffer) {
    for (;;) {
        const qsizetype headEnd = buffer.indexOf("\r\n\r\n");
        if (headEnd < 0)
            return;
        const QList<QByteArray> lines = buffer.left(headEnd).split('\n');
        Request request;
        const QList<QByteArray> requestLine = lines.first().trimmed().split(' ');
        request.method = requestLine.value(0);
        request.target = requestLine.value(1);
        qint64 length = 0;
        for (qsizetype i = 1; i < lines.size(); ++i) {
            const qsizetype colon = lines[i].indexOf(':');
            if (colon < 0)
                continue;
            request.headers.append(
                {lines[i].left(colon).trimmed(), lines[i].mid(colon + 1).trimmed()});
        }
        length = request.header("Content-Length").toLongLong();
        const qsizetype bodyStart = headEnd + 4;
        if (buffer.size() < bodyStart + length)
            return;
        request.body = buffer.mid(bodyStart, length);
        buffer.remove(0, bodyStart + length);
        m_requests.append(request);
        answer(socket, nextReply());
    }
}

void FakePairingService::answer(QTcpSocket* socket, const Reply& reply) {
    if (reply.silent)
        return;
    const QPointer<QTcpSocket> guarded(socket);
    QTimer::singleShot(reply.delay, this, [guarded, reply] {
        if (!guarded)
            return;
        if (reply.hangUp) {
            guarded->disconnectFromHost();
            return;
        }
        const qint64 announced =
            reply.announcedLength >= 0 ? reply.announcedLength : reply.body.size();
        QByteArray head = "HTTP/1.1 " + QByteArray::number(reply.status) + " Fake\r\n";
        head += "Content-Length: " + QByteArray::number(announced) + "\r\nConnection: close\r\n";
        for (const auto& [name, value] : reply.headers)
            head += name + ": " + value + "\r\n";
        guarded->write(head + "\r\n");
        const bool complete = announced == reply.body.size();
        if (reply.byteInterval.count() == 0) {
            guarded->write(reply.body);
            if (complete)
                guarded->disconnectFromHost();
            return;
        }
        auto* timer = new QTimer(guarded);
        auto remaining = std::make_shared<QByteArray>(reply.body);
        QObject::connect(timer, &QTimer::timeout, guarded,
                         [socket = guarded.data(), timer, remaining, complete] {
                             if (remaining->isEmpty()) {
                                 timer->stop();
                                 if (complete)
                                     socket->disconnectFromHost();
                                 return;
                             }
                             socket->write(remaining->left(1));
                             remaining->remove(0, 1);
                         });
        timer->start(reply.byteInterval);
    });
}
