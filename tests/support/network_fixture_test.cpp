// The fixtures other tests rely on to reach a fake service as vindaro.net: if these fail, every
// network test would fail for the wrong reason, so they are checked on their own first.
#include "support/connect_proxy.h"
#include "support/test_pki.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslServer>
#include <QSslSocket>
#include <QTest>

#include <gtest/gtest.h>

namespace {

// Answers every HTTPS request with a fixed body.
class TinyHttpsServer {
public:
    explicit TinyHttpsServer(TestPki::Leaf leaf) {
        server.setSslConfiguration(TestPki::instance().serverConfiguration(leaf));
        QObject::connect(&server, &QTcpServer::pendingConnectionAvailable, [this] {
            while (QTcpSocket* socket = server.nextPendingConnection()) {
                QObject::connect(socket, &QTcpSocket::readyRead, socket, [socket] {
                    if (socket->readAll().contains("\r\n\r\n"))
                        socket->write("HTTP/1.1 200 OK\r\nContent-Length: 5\r\nConnection: "
                                      "close\r\n\r\nhello");
                });
            }
        });
        EXPECT_TRUE(server.listen(QHostAddress::LocalHost, 0));
    }
    QSslServer server;
};

QNetworkReply::NetworkError fetch(const QString& url, QByteArray* body) {
    QNetworkAccessManager manager;
    QNetworkReply* reply = manager.get(QNetworkRequest(QUrl(url)));
    EXPECT_TRUE(QTest::qWaitFor([&] { return reply->isFinished(); }, 20000));
    *body = reply->readAll();
    const auto error = reply->error();
    delete reply;
    return error;
}

} // namespace

TEST(NetworkFixture, ProxyRoutesTheServiceNameToTheFakeServerOverTrustedTls) {
    TestPki::instance().trustTestCaInThisProcess();
    TinyHttpsServer fake(TestPki::Leaf::service);
    ConnectProxy proxy(fake.server.serverPort());
    proxy.installAsApplicationProxy();

    QByteArray body;
    EXPECT_EQ(fetch(QStringLiteral("https://vindaro.net/api/v1/agent/pair"), &body),
              QNetworkReply::NoError);
    EXPECT_EQ(body, QByteArray("hello"));
    EXPECT_EQ(proxy.requestedTunnels(), QStringList{QStringLiteral("vindaro.net:443")});

    // Anything but the service is refused by the proxy rather than sent anywhere.
    EXPECT_NE(fetch(QStringLiteral("https://example.com/"), &body), QNetworkReply::NoError);
}

TEST(NetworkFixture, BadCertificatesAreRefusedByDefault) {
    TestPki::instance().trustTestCaInThisProcess();
    for (const auto leaf :
         {TestPki::Leaf::untrusted, TestPki::Leaf::expired, TestPki::Leaf::otherHost}) {
        TinyHttpsServer fake(leaf);
        ConnectProxy proxy(fake.server.serverPort());
        proxy.installAsApplicationProxy();
        QByteArray body;
        EXPECT_EQ(fetch(QStringLiteral("https://vindaro.net/"), &body),
                  QNetworkReply::SslHandshakeFailedError)
            << static_cast<int>(leaf);
    }
}
