#include "connect_proxy.h"

#include <QNetworkProxy>
#include <QTcpSocket>

namespace {

constexpr qsizetype maxRequestBytes = 8192;

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

HttpRequest HttpRequest::fromHead(const QByteArray& head) {
    HttpRequest request;
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    request.method = requestLine.value(0);
    request.target = requestLine.value(1);
    const qsizetype question = request.target.indexOf('?');
    request.query = question < 0 ? QByteArray() : request.target.mid(question + 1);
    for (const QByteArray& line : lines.mid(1)) {
        if (const qsizetype colon = line.indexOf(':'); colon > 0)
            request.headers.append({line.left(colon).trimmed(), line.mid(colon + 1).trimmed()});
    }
    return request;
}

QByteArray HttpRequest::header(QByteArrayView name) const {
    for (const auto& [key, value] : headers) {
        if (key.compare(name, Qt::CaseInsensitive) == 0)
            return value;
    }
    return {};
}

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
        // Relayed frames are small: none is to wait for the one before's delayed acknowledgement.

        client->setSocketOption(QAbstractSocket::LowDelayOption, 1);
        connect(client, &QTcpSocket::readyRead, this, [this, client] { readRequest(client); });
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

    const HttpRequest request = HttpRequest::fromHead(head);
    const QString authority =
        request.method == "CONNECT" ? QString::fromLatin1(request.target).toLower() : QString();
    m_requested.append(authority);
    if (authority != u"vindaro.net:443" && authority != u"www.vindaro.net:443") {
        client->write("HTTP/1.1 403 Forbidden\r\nContent-Length: 0\r\n\r\n");
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
            guardedClient->write("HTTP/1.1 503 Service Unavailable\r\nContent-Length: 0\r\n\r\n");
            guardedClient->disconnectFromHost();
        }
    });
    const QString host = authority.left(authority.lastIndexOf(u':'));
    upstream->connectToHost(QHostAddress::LocalHost, m_hostPorts.value(host, m_targetPort));
}
