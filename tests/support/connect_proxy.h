#pragma once

#include <QHash>
#include <QObject>
#include <QPointer>
#include <QStringList>
#include <QTcpServer>

class QTcpSocket;

// One HTTP request head as a fake service received it.
struct HttpRequest {
    QByteArray method;
    QByteArray target; // as sent
    QByteArray query;  // what follows "?" in the target; empty when there is none
    QList<std::pair<QByteArray, QByteArray>> headers; // in the order sent
    QByteArray body;

    // Parses the head, without its blank line.
    static HttpRequest fromHead(const QByteArray& head);
    // The first header of that name (compared without case); null when there is none.
    QByteArray header(QByteArrayView name) const;
};

// An HTTP CONNECT proxy on 127.0.0.1 that sends tunnels for (www.)vindaro.net:443 to a port on
// loopback, so production code reaches a fake service with no hook of its own. Other tunnels get
// 403; an unreachable fake, 503, as from a real proxy.
class ConnectProxy : public QObject {
    Q_OBJECT
public:
    explicit ConnectProxy(quint16 targetPort, QObject* parent = nullptr);
    ~ConnectProxy() override; // stops proxying for the process

    void setTargetPort(quint16 port) { m_targetPort = port; }
    // Tunnels for this host ("vindaro.net" or "www.vindaro.net") to a port of its own.

    void setTargetPort(const QString& host, quint16 port) { m_hostPorts.insert(host, port); }
    void installAsApplicationProxy() const;

    // "host:port" of every CONNECT request, in arrival order, refused ones included.
    const QStringList& requestedTunnels() const { return m_requested; }

private:
    void accept();
    void readRequest(QTcpSocket* client);

    QTcpServer m_server;
    quint16 m_targetPort;
    QHash<QString, quint16> m_hostPorts;
    QStringList m_requested;
};
