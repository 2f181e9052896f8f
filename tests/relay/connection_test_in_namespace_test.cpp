// The real `vindaro-agent --connection-test` and `--self-test`, against a fake relay on port 443
// that a private namespace makes vindaro.net (see support/service_namespace.h).
#include "support/fake_relay_service.h"
#include "support/qt_printers.h"
#include "support/service_namespace.h"
#include "support/wait.h"

#include <QElapsedTimer>
#include <QProcess>

#include <gtest/gtest.h>

using vindaro::test::eventually;

namespace {

struct Outcome {
    QByteArray out;
    int status = -1;
    qint64 tookMs = 0;
};

const QByteArray bundle = "wss://vindaro.net/ws|ROOM1|TOKEN-xyz1\n";
const QByteArray invalid = "CONNECTION_TEST_INVALID_BUNDLE\n";

class ConnectionTestCommand : public ::testing::Test {
protected:
    static void SetUpTestSuite() { ServiceNamespace::routeServiceToLoopback(TestPki::instance()); }

    // Runs the agent while this thread serves the fake relay; input from `input` or `inputFile`.

    static Outcome run(const QByteArray& input,
                       const QString& option = QStringLiteral("--connection-test"),
                       bool closeInput = true, const QString& inputFile = {}) {
        QProcess agent;
        if (!inputFile.isEmpty())
            agent.setStandardInputFile(inputFile);
        QElapsedTimer clock;
        clock.start();
        agent.start(QStringLiteral(VINDARO_AGENT_PATH), option.split(u' '));
        EXPECT_TRUE(agent.waitForStarted());
        agent.write(input);
        if (closeInput)
            agent.closeWriteChannel();
        EXPECT_TRUE(eventually([&] { return agent.state() == QProcess::NotRunning; }));
        if (agent.state() != QProcess::NotRunning) {
            agent.kill();
            agent.waitForFinished();
        }
        return {agent.readAllStandardOutput(), agent.exitCode(), clock.elapsed()};
    }
};

} // namespace

TEST_F(ConnectionTestCommand, AnAcceptingRelayGivesOkForTheFirstLineAndIsClosedNormally) {
    FakeRelayService relay;
    ASSERT_TRUE(relay.listen(443));
    for (const QByteArray& input :
         {bundle, QByteArray("wss://www.vindaro.net|room1|TOKEN-xyz1\r\nx|y\n")}) {
        const Outcome outcome = run(input);
        EXPECT_EQ(outcome.out, QByteArray("CONNECTION_TEST_OK\n")) << input.toStdString();
        EXPECT_EQ(outcome.status, 0);
    }
    ASSERT_EQ(relay.requests().size(), 2);
    const HttpRequest& request = relay.requests().last();
    EXPECT_EQ(request.header("host"), "www.vindaro.net");
    EXPECT_EQ(request.query, "role=agent&sessionId=ROOM1&token=TOKEN-xyz1");
    // No agent name, no credentials beyond the bundle's own.
    EXPECT_EQ(request.headers.size(), 5);
    ASSERT_TRUE(eventually([&] { return relay.peer(1).closeCodeReceived().has_value(); }));
    EXPECT_EQ(relay.peer(1).closeCodeReceived(), 1000);

    // The self-test wins over the connection test and needs no service.
    const Outcome selfTest = run({}, QStringLiteral("--connection-test --self-test"));
    EXPECT_EQ(selfTest.out, QByteArray("SELF_TEST_OK\n"));
    EXPECT_EQ(selfTest.status, 0);
    // Without a desktop the window cannot open: one line saying what works, not Qt's abort.
    for (const char* display : {"", ":1997"}) {
        QProcess windowless;
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        environment.remove(QStringLiteral("QT_QPA_PLATFORM"));
        environment.insert(QStringLiteral("DISPLAY"), QString::fromLatin1(display));
        windowless.setProcessEnvironment(environment);
        windowless.start(QStringLiteral(VINDARO_AGENT_PATH), {});
        ASSERT_TRUE(windowless.waitForFinished(10000));
        EXPECT_EQ(windowless.exitCode(), 1);
        const QByteArray said = windowless.readAllStandardError();
        EXPECT_EQ(said.count('\n'), 1) << said.toStdString();
        EXPECT_TRUE(said.contains("--self-test and --connection-test")) << said.toStdString();
    }
    // A line that never ends is refused as soon as it is longer than any bundle.
    for (const Outcome& refused :
         {run("wss://evil.example/ws|ROOM1|TOKEN-xyz1\n"),
          run(QByteArray(3 << 20, 'a'), QStringLiteral("--connection-test"), false),
          run({}, QStringLiteral("--connection-test"), true, QStringLiteral("/dev/zero"))}) {
        EXPECT_EQ(refused.out, invalid);
        EXPECT_EQ(refused.status, 2);
        EXPECT_LT(refused.tookMs, 2000);
    }
}

// Refused, silent, untrusted or absent: the same answer, each within its own bound.

TEST_F(ConnectionTestCommand, EveryWayOfNotOpeningGivesFailedInTime) {
    struct Case {
        const char* name;
        std::optional<RelayAnswer> answer; // nothing: no relay at all
        TestPki::Leaf leaf;
        qint64 atLeastMs;
        qint64 belowMs;
    };
    for (const Case& c : {
             Case{"refused", RelayAnswer::refuse, TestPki::Leaf::service, 0, 5000},
             Case{"untrusted", RelayAnswer::upgrade, TestPki::Leaf::untrusted, 0, 5000},
             Case{"no relay", std::nullopt, TestPki::Leaf::service, 0, 5000},
             Case{"silent", RelayAnswer::ignoreRequest, TestPki::Leaf::service, 10000, 15000},
         }) {
        FakeRelayService relay(c.leaf);
        relay.setAnswer(c.answer.value_or(RelayAnswer::upgrade));
        ASSERT_TRUE(!c.answer || relay.listen(443));
        const Outcome outcome = run(bundle);
        EXPECT_EQ(outcome.out, QByteArray("CONNECTION_TEST_FAILED\n")) << c.name;
        EXPECT_EQ(outcome.status, 1) << c.name;
        EXPECT_GE(outcome.tookMs, c.atLeastMs) << c.name;
        EXPECT_LT(outcome.tookMs, c.belowMs) << c.name;
        EXPECT_EQ(relay.peerCount(), 0) << c.name;
    }
}
