// Whom the agent trusts, on its three ways onto the network (pairing, relay, probe): a bad
// certificate ends each before anything is sent; a destination not the service over TLS, before
// any connection.

#include "pairing/pairing_client.h"
#include "relay/connection_probe.h"
#include "relay/web_socket_client.h"
#include "support/client_events.h"
#include "support/fake_pairing_service.h"
#include "support/fake_relay_service.h"
#include "support/samples.h"
#include "support/trusted_service.h"

#include <future>

using namespace vindaro;
using namespace vindaro::test;
using namespace std::chrono_literals;

namespace {

class RefusedCertificate : public TrustedServiceTest,
                           public ::testing::WithParamInterface<TestPki::Leaf> {};
using UntrustedDestination = TrustedServiceTest;

// The probe blocks its caller, so it runs on a thread of its own while this one serves.
bool probe(const QUrl& url, std::chrono::milliseconds timeout) {
    auto result = std::async(std::launch::async,
                             [&] { return ConnectionProbe().run(url, std::nullopt, timeout); });
    EXPECT_TRUE(eventually([&] { return result.wait_for(0s) == std::future_status::ready; }));
    return result.get();
}

} // namespace

TEST_P(RefusedCertificate, EndsPairingRelayAndProbeBeforeAnyRequest) {
    FakePairingService pairingService(GetParam());
    route(pairingService.port());
    PairingClient pairing;
    std::optional<PairingResult> result;
    pairing.pair(QStringLiteral("123456"), QStringLiteral("11111111-2222-3333-4444-555555555555"),
                 [&](const PairingResult& r) { result = r; });
    ASSERT_TRUE(eventually([&] { return result.has_value(); }));
    ASSERT_NE(result->transportError(), nullptr);
    EXPECT_EQ(result->transportError()->code, QNetworkReply::SslHandshakeFailedError);
    EXPECT_TRUE(pairingService.requests().isEmpty());

    FakeRelayService relay(GetParam());
    ASSERT_TRUE(relay.listen());
    route(relay.port());
    ClientEvents events;
    WebSocketClient client(WebSocketClient::Timing{20s, 20s, [](int) { return 60s; }});
    client.setDelegate(&events);
    client.connectTo(*sampleSession().socketURL(), sampleToken);
    ASSERT_TRUE(eventually([&] { return events.count(ClientEvents::Kind::disconnected) > 0; }));
    EXPECT_EQ(events.count(ClientEvents::Kind::connected), 0);
    EXPECT_FALSE(probe(*sampleSession().socketURL(), 10s));
    // Neither the bearer token nor the session's query ever reached the impostor.
    EXPECT_TRUE(relay.requests().isEmpty());
}

INSTANTIATE_TEST_SUITE_P(Leaves, RefusedCertificate,
                         ::testing::Values(TestPki::Leaf::untrusted, TestPki::Leaf::expired,
                                           TestPki::Leaf::otherHost));

TEST_F(UntrustedDestination, IsRefusedBeforeAnyConnection) {
    ClientEvents events;
    WebSocketClient client;
    client.setDelegate(&events);
    for (const char* text :
         {"ws://vindaro.net/ws", "https://vindaro.net/ws", "wss://example.com/ws",
          "wss://vindaro.net:8443/ws", "wss://user@vindaro.net/ws", "wss://vindaro.net/ws#x"}) {
        const QUrl url(QString::fromLatin1(text));
        const std::size_t before = events.events.size();
        client.connectTo(url, sampleToken);
        EXPECT_EQ(events.events.size(), before + 1) << text; // reported at once, nothing started
        EXPECT_FALSE(probe(url, 2s)) << text;
    }
    EXPECT_TRUE(proxy.requestedTunnels().isEmpty());
}
