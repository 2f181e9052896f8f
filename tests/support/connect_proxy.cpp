#include "connect_proxy.h"

#include <QNetworkProxy>
#include <QTcpSocket>

namespace {

constexpr qsizetype maxRequestBytes = 8192;

bool isServiceTunnel(const QString& authority) {
    return authority == u"vindaro.net:443" || authority == u"www.vindaro.net:443";
}

// Copies bytes both ways until either side closes, then closes the other.
void pipe(QTcpSocket* client, QTcpSocket* upstream) {
    const auto forward = [](QTcpSocket* from, QTcpSocket* to) {
        QObject::connect(from, &QTcpSocket::readyRead, to,
                         [from, to] { to->write(from->readAll()); });
        QObject::connect(from, &QTcpSocket::disconnected, to, [from, to] {
            to->write(from->readAll());
            to->disconnectFromHost();
        });
    };
    forward(client, upstream);
    forward(upstream, client);
    QObject::connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    QObject::connect(upstream, &QTcpSocket::disconnected, upstream, &QObject::deleteLater);
}

} // namespace

ConnectProxy::ConnectProxy(quint16 targetPort, QObject* parent)
    : QObject(parent)
    , m_targetPort(targetPort) {
    if (!m_server.listen(QHostAddress::LocalHost, 0))
        qFatal("connect proxy: cannot listen on loopback");
    connect(&m_server, &QTcpServer::newConnection, this, &ConnectProxy::accept);
}

ConnectProxy::~ConnectProxy() {
    QNetworkProxy::setApplicationProxy(QNetworkProxy::NoProxy);
}

void ConnectProxy::installAsApplicationProxy() const {
    QNetworkProxy::setApplicationProxy(QNetworkProxy(
        QNetworkProxy::HttpProxy, QStringLiteral("127.0.0.1"), m_server.serverPort()));
}

void ConnectProxy::accept() {
    while (QTcpSocket* client = m_server.nextPendingConnection()) {
        client->setParent(this);
        // Relayed frames are small; without this each would wait for the previous one's
        // delayed acknowledgement.
        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(client, &QTcpSocket::readyRead, this, [this, client] { readRequest(client); });
        connect(client, &QTcpSocket::disconnected, client, &QObject::deleteLater);
    }
}

void ConnectProxy::readRequest(QTcpSocket* client) {
    const QByteArray buffered = client->peek(maxRequestBytes);
    const qsizetype end = buffered.indexOf("\r\n\r\n");
    if (end < 0) {
        if (buffered.size() >= maxRequestBytes)
            client->abort();
        return;
    }
    const QByteArray head = client->read(end + 4);
    disconnect(client, &QTcpSocket::readyRead, this, nullptr);

    const QList<QByteArray> requestLine = head.left(head.indexOf("\r\n")).split(' ');
    const QString authority = requestLine.size() == 3 && requestLine[0] == "CONNECT"
                                  ? QString::fromLatin1(requestLine[1]).toLower()
                                  : QString();
    m_requested.append(authority);
    if (!isServiceTunnel(authority) || m_hostsUnknown) {
        client->write(m_hostsUnknown ? "HTTP/1.1 404 Not Found\r\nContent-Length: 0\r\n\r\n"
                                     : "HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
        client->disconnectFromHost();
        return;
    }

    auto* upstream = new QTcpSocket(this);
    const QPointer<QTcpSocket> guardedClient(client);
    connect(upstream, &QTcpSocket::connected, this, [guardedClient, upstream] {
        upstream->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        if (!guardedClient) {
            upstream->abort();
            return;
        }
        upstream->setProperty("tunnel", true);
        guardedClient->write("HTTP/1.1 200 Connection established\r\n\r\n");
        pipe(guardedClient, upstream);
        // Bytes the client sent right after its request belong to the tunnel.
        if (guardedClient->bytesAvailable() > 0)
            upstream->write(guardedClient->readAll());
    });
    connect(upstream, &QTcpSocket::errorOccurred, this, [guardedClient, upstream] {
        // Only a failure to reach the fake service is answered; after that, the tunnel is bytes.
        if (upstream->property("tunnel").toBool())
            return;
        upstream->deleteLater();
        if (guardedClient) {
            guardedClient->write(
                upstream->error() == QAbstractSocket::ConnectionRefusedError
                    ? "HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n"
                    : "HTTP/1.1 502 Bad Gateway\r\nContent-Length: 0\r\n\r\n");
            guardedClient->disconnectFromHost();
        }
    });
    const QString host = authority.left(authority.lastIndexOf(u':'));
    upstream->connectToHost(QHostAddress::LocalHost, m_hostPorts.value(host, m_targetPort));
}
