// Whom the agent trusts, checked the same way for its three ways onto the network: the pairing
// request, the relay connection and the connection probe. A certificate the agent must refuse
// ends each of them before any request or credential is sent, and a destination that is not the
// service over TLS is refused before any connection is made.
#include "support/connect_proxy.h"
#include "support/fake_pairing_service.h"
#include "support/fake_relay_service.h"
#include "support/qt_printers.h"
#include "support/test_pki.h"

#include "model/agent_session.h"
#include "pairing/pairing_client.h"
#include "relay/connection_probe.h"
#include "relay/web_socket_client.h"
#include "relay/web_socket_client_delegate.h"

#include <QTest>

#include <future>

#include <gtest/gtest.h>

using namespace vindaro;
using namespace std::chrono_literals;

namespace {

class Disconnects : public WebSocketClientDelegate {
public:
    void webSocketClientConnecting(WebSocketClient&) noexcept override {}
    void webSocketClientConnected(WebSocketClient&) noexcept override { ++opened; }
    void webSocketClientDisconnected(WebSocketClient&, const QString&, bool) noexcept override {
        ++lost;
    }
    void webSocketClientReceived(WebSocketClient&, const KeyCommand&) noexcept override {}
    void webSocketClientWaitingForNetwork(WebSocketClient&, const QString&) noexcept override {}
    int opened = 0;
    int lost = 0;
};

QUrl sessionSocketURL() {
    return *AgentSession(QStringLiteral("wss://vindaro.net/ws"), QStringLiteral("session_1"),
                         QStringLiteral("agent_1"), QStringLiteral("secret-token-1"), 2)
                .socketURL();
}

class RefusedCertificate : public ::testing::TestWithParam<TestPki::Leaf> {
protected:
    RefusedCertificate() { TestPki::instance().trustTestCaInThisProcess(); }
};

} // namespace

TEST_P(RefusedCertificate, EndsPairingRelayAndProbeBeforeAnyRequest) {
    FakePairingService pairingService(GetParam());
    ConnectProxy proxy(pairingService.port());
    proxy.installAsApplicationProxy();

    PairingClient pairing;
    std::optional<PairingResult> result;
    pairing.pair(QStringLiteral("123456"), QStringLiteral("11111111-2222-3333-4444-555555555555"),
                 [&](const PairingResult& r) { result = r; });
    ASSERT_TRUE(QTest::qWaitFor([&] { return result.has_value(); }, 30000));
    ASSERT_NE(result->transportError(), nullptr);
    EXPECT_EQ(result->transportError()->code, QNetworkReply::SslHandshakeFailedError);
    EXPECT_TRUE(pairingService.requests().isEmpty());

    FakeRelayService relay(GetParam());
    ASSERT_TRUE(relay.listen());
    proxy.setTargetPort(relay.port());

    Disconnects delegate;
    WebSocketClient client(WebSocketClient::Timing{20s, 20s, [](int) { return 60s; }});
    client.setDelegate(&delegate);
    client.connectTo(sessionSocketURL(), QStringLiteral("secret-token-1"));
    ASSERT_TRUE(QTest::qWaitFor([&] { return delegate.lost > 0; }, 30000));
    client.disconnect(false);
    EXPECT_EQ(delegate.opened, 0);

    // The probe blocks its caller, so it runs on a thread of its own while this one serves.
    auto probe = std::async(std::launch::async, [] {
        return ConnectionProbe().run(sessionSocketURL(), std::nullopt, 10s);
    });
    ASSERT_TRUE(
        QTest::qWaitFor([&] { return probe.wait_for(0s) == std::future_status::ready; }, 30000));
    EXPECT_FALSE(probe.get());
    // Neither the bearer token nor the session's query ever reached the impostor.
    EXPECT_TRUE(relay.requests().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Leaves, RefusedCertificate,
                         ::testing::Values(TestPki::Leaf::untrusted, TestPki::Leaf::expired,
                                           TestPki::Leaf::otherHost),
                         [](const auto& leaf) {
                             switch (leaf.param) {
                             case TestPki::Leaf::untrusted:
                                 return "UntrustedCa";
                             case TestPki::Leaf::expired:
                                 return "Expired";
                             default:
                                 return "OtherHost";
                             }
                         });

TEST(UntrustedDestination, IsRefusedBeforeAnyConnection) {
    TestPki::instance().trustTestCaInThisProcess();
    FakeRelayService relay;
    ASSERT_TRUE(relay.listen());
    ConnectProxy proxy(relay.port());
    proxy.installAsApplicationProxy();

    Disconnects delegate;
    WebSocketClient client;
    client.setDelegate(&delegate);
    for (const char* text :
         {"ws://vindaro.net/ws", "http://vindaro.net/ws", "https://vindaro.net/ws",
          "wss://example.com/ws", "wss://vindaro.net:8443/ws", "wss://vindaro.net/api",
          "wss://user@vindaro.net/ws", "wss://vindaro.net/ws#x"}) {
        const QUrl url(QString::fromLatin1(text));
        const int before = delegate.lost;
        client.connectTo(url, QStringLiteral("secret-token-1"));
        EXPECT_EQ(delegate.lost, before + 1) << text; // reported at once, nothing started
        EXPECT_FALSE(ConnectionProbe().run(url, std::nullopt, 2s)) << text;
    }
    QTest::qWait(0);
    EXPECT_TRUE(proxy.requestedTunnels().isEmpty());
    EXPECT_EQ(relay.acceptedConnections(), 0);
}
