// The one-shot probe behind --connection-test, against the fake relay in this process. The probe
// blocks its caller, so it runs on a thread of its own while this one serves the fake relay.
#include "relay_fixture.h"

#include "relay/connection_probe.h"

#include <QElapsedTimer>

#include <future>

using namespace vindaro;
using namespace std::chrono_literals;

namespace {

struct ProbeResult {
    bool opened = false;
    qint64 tookMs = 0;
};

class ConnectionProbeTest : public RelayFixture {
protected:
    ProbeResult probe(const QUrl& url, const std::optional<QString>& token,
                      std::chrono::milliseconds timeout = 10s) {
        QElapsedTimer clock;
        clock.start();
        auto result = std::async(std::launch::async,
                                 [&] { return ConnectionProbe().run(url, token, timeout); });
        EXPECT_TRUE(
            eventually([&] { return result.wait_for(0s) == std::future_status::ready; }, 30000));
        const bool opened = result.get();
        return {opened, clock.elapsed()};
    }
};

TEST_F(ConnectionProbeTest, AnAcceptingRelayOpensAndIsClosedNormallyRightAfter) {
    const ProbeResult result = probe(legacyURL(), std::nullopt);
    EXPECT_TRUE(result.opened);
    EXPECT_LT(result.tookMs, 5000);

    ASSERT_EQ(service.peerCount(), 1);
    ASSERT_TRUE(eventually([&] { return service.peer(0).closeCodeReceived().has_value(); }));
    EXPECT_EQ(service.peer(0).closeCodeReceived(), 1000);
    ASSERT_EQ(service.requests().size(), 1);
    const RelayRequest& request = service.requests().first();
    EXPECT_EQ(request.query, "role=agent&sessionId=ROOM1&token=TOKEN-xyz1");
    // No header of its own: neither the agent's name nor credentials.
    EXPECT_EQ(request.headerNames(), upgradeHeaderNames());
}

TEST_F(ConnectionProbeTest, AGivenTokenTravelsAsBearer) {
    EXPECT_TRUE(probe(sessionURL(), sessionToken()).opened);
    ASSERT_EQ(service.requests().size(), 1);
    EXPECT_EQ(service.requests().first().headerNames(),
              (upgradeHeaderNames() + QList<QByteArray>{"Authorization"}));
    EXPECT_EQ(service.requests().first().header("Authorization"), "Bearer tok-abcdefgh");
}

TEST_F(ConnectionProbeTest, ARefusedUpgradeFailsLongBeforeTheTimeout) {
    for (const QByteArray& status : {QByteArray("403 Forbidden"), QByteArray("301 Moved")}) {
        service.setAnswer(RelayAnswer::refuse);
        service.setRefusal(status, {{"Location", "wss://vindaro.net/ws"}});
        const ProbeResult result = probe(legacyURL(), std::nullopt);
        EXPECT_FALSE(result.opened) << status.toStdString();
        EXPECT_LT(result.tookMs, 5000) << status.toStdString();
        // Qt leaves a refused handshake's connection open; the probe does not.
        EXPECT_TRUE(eventually([&] { return service.openConnections() == 0; }));
    }
}

TEST_F(ConnectionProbeTest, ASilentRelayFailsWhenTheTimeoutEnds) {
    for (const RelayAnswer answer : {RelayAnswer::ignoreRequest, RelayAnswer::ignoreTcp}) {
        service.setAnswer(answer);
        const ProbeResult result = probe(legacyURL(), std::nullopt, 1500ms);
        EXPECT_FALSE(result.opened);
        EXPECT_GE(result.tookMs, 1500);
        EXPECT_LT(result.tookMs, 6000);
        EXPECT_TRUE(eventually([&] { return service.openConnections() == 0; }));
    }
}

TEST_F(ConnectionProbeTest, UntrustedDestinationsFailWithoutAnyConnection) {
    for (const char* url : {"ws://vindaro.net/ws", "wss://example.com/ws", "wss://vindaro.net/",
                            "wss://vindaro.net:8443/ws", "https://vindaro.net/ws", "not a url"}) {
        const ProbeResult result = probe(QUrl(QString::fromUtf8(url)), std::nullopt);
        EXPECT_FALSE(result.opened) << url;
        EXPECT_LT(result.tookMs, 1000) << url;
    }
    EXPECT_TRUE(proxy.requestedTunnels().isEmpty());
    EXPECT_EQ(service.acceptedConnections(), 0);
}

TEST_F(ConnectionProbeTest, AnUntrustedCertificateFails) {
    FakeRelayService impostor(TestPki::Leaf::untrusted);
    ASSERT_TRUE(impostor.listen());
    proxy.setTargetPort(impostor.port());
    EXPECT_FALSE(probe(legacyURL(), std::nullopt).opened);
    EXPECT_EQ(impostor.peerCount(), 0);
}

} // namespace
