// `vindaro-agent --connection-test` as a user runs it, against a fake relay that is vindaro.net
// for this process and its children only: a private network and mount namespace where
// vindaro.net is 127.0.0.1, the fake listens on port 443, and the system trust store holds only
// the test CA. The agent is the real executable; nothing in it knows it is being tested.
#include "support/fake_relay_service.h"
#include "support/qt_printers.h"
#include "support/service_namespace.h"
#include "support/test_pki.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>

namespace {

struct Outcome {
    QByteArray out;
    int status = -1;
    qint64 tookMs = 0;
};

class ConnectionTestCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ServiceNamespace::routeServiceToLoopback(TestPki::instance()); }

    void startService(FakeRelayService& relay) {
        ASSERT_TRUE(relay.listen(443, QHostAddress::LocalHost));
    }

    // Runs the agent while this thread's event loop keeps serving the fake relay.
    static Outcome connectionTest(const QByteArray& input) {
        QProcess agent;
        QElapsedTimer clock;
        clock.start();
        agent.start(QStringLiteral(VINDARO_AGENT_PATH), {QStringLiteral("--connection-test")});
        EXPECT_TRUE(agent.waitForStarted());
        agent.write(input);
        agent.closeWriteChannel();
        EXPECT_TRUE(QTest::qWaitFor([&] { return agent.state() == QProcess::NotRunning; }, 60000));
        const qint64 took = clock.elapsed();
        if (agent.state() != QProcess::NotRunning) {
            agent.kill();
            agent.waitForFinished();
        }
        return {agent.readAllStandardOutput(), agent.exitCode(), took};
    }

    static QByteArray bundle() { return "wss://vindaro.net/ws|ROOM1|TOKEN-xyz1\n"; }
};

TEST_F(ConnectionTestCommand, AnAcceptingRelayGivesOkAndIsClosedNormally) {
    FakeRelayService relay;
    startService(relay);
    const Outcome outcome = connectionTest(bundle());
    EXPECT_EQ(outcome.out, QByteArray("CONNECTION_TEST_OK\n"));
    EXPECT_EQ(outcome.status, 0);
    RecordProperty("took_ms", static_cast<int>(outcome.tookMs));

    ASSERT_EQ(relay.requests().size(), 1);
    const RelayRequest& request = relay.requests().first();
    EXPECT_EQ(request.path, "/ws");
    EXPECT_EQ(request.query, "role=agent&sessionId=ROOM1&token=TOKEN-xyz1");
    EXPECT_EQ(request.header("host"), "vindaro.net");
    // The upgrade's own headers and nothing else: no agent name, no credentials.
    EXPECT_EQ(request.headerNames(),
              (QList<QByteArray>{"Host", "Upgrade", "Connection", "Sec-WebSocket-Key",
                                 "Sec-WebSocket-Version"}));
    ASSERT_EQ(relay.peerCount(), 1);
    ASSERT_TRUE(QTest::qWaitFor([&] { return relay.peer(0).closeCodeReceived().has_value(); }));
    EXPECT_EQ(relay.peer(0).closeCodeReceived(), 1000);
}

TEST_F(ConnectionTestCommand, OnlyTheFirstLineCountsWithOrWithoutCarriageReturn) {
    FakeRelayService relay;
    startService(relay);
    for (const QByteArray& input : {QByteArray("wss://vindaro.net/ws|ROOM1|TOKEN-xyz1\r\n"),
                                    QByteArray("wss://www.vindaro.net/ws|ROOM1|TOKEN-xyz1\nx|y\n"),
                                    QByteArray("wss://vindaro.net|room1|TOKEN-xyz1")}) {
        const Outcome outcome = connectionTest(input);
        EXPECT_EQ(outcome.out, QByteArray("CONNECTION_TEST_OK\n")) << input.toStdString();
        EXPECT_EQ(outcome.status, 0);
    }
    ASSERT_EQ(relay.requests().size(), 3);
    EXPECT_EQ(relay.requests()[1].header("host"), "www.vindaro.net");
    EXPECT_EQ(relay.requests()[2].query, "role=agent&sessionId=ROOM1&token=TOKEN-xyz1");
}

// Refused, silent, untrusted or absent: the same answer, each within its own bound. Trust comes
// only from the system store, which does not hold the impostor's CA.
TEST_F(ConnectionTestCommand, EveryWayOfNotOpeningGivesFailedInTime) {
    struct Case {
        const char* name;
        std::optional<RelayAnswer> answer; // nothing: no relay at all
        TestPki::Leaf leaf;
        qint64 atLeastMs;
        qint64 belowMs;
    };
    for (const Case& c : {
             Case{"refused", RelayAnswer::refuse, TestPki::Leaf::service, 0, 2000},
             Case{"untrusted", RelayAnswer::upgrade, TestPki::Leaf::untrusted, 0, 5000},
             Case{"no_relay", std::nullopt, TestPki::Leaf::service, 0, 5000},
             Case{"silent", RelayAnswer::ignoreRequest, TestPki::Leaf::service, 10000, 14000},
         }) {
        FakeRelayService relay(c.leaf);
        if (c.answer) {
            relay.setAnswer(*c.answer);
            startService(relay);
        }
        const Outcome outcome = connectionTest(bundle());
        EXPECT_EQ(outcome.out, QByteArray("CONNECTION_TEST_FAILED\n")) << c.name;
        EXPECT_EQ(outcome.status, 1) << c.name;
        EXPECT_GE(outcome.tookMs, c.atLeastMs) << c.name;
        EXPECT_LT(outcome.tookMs, c.belowMs) << c.name;
        RecordProperty(std::string("took_ms_") + c.name, static_cast<int>(outcome.tookMs));
        EXPECT_EQ(relay.peerCount(), 0) << c.name;
    }
}

} // namespace
