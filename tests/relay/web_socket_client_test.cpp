// The relay connection: its handshake, which messages become key commands, closes and retries.
#include "relay/back_off.h"
#include "relay/web_socket_client.h"
#include "support/client_events.h"
#include "support/fake_relay_service.h"
#include "support/qt_printers.h"
#include "support/samples.h"
#include "support/trusted_service.h"

#include <QTimer>

#include <limits>

using namespace vindaro;
using namespace vindaro::test;
using namespace std::chrono_literals;
using Kind = ClientEvents::Kind;

namespace {

QString keyCommand(const QString& source, const QString& extra = {}) {
    return QStringLiteral(R"({"type":"key","key":"space","holdMs":80,"source":")") + source + u'"' +
           extra + u'}';
}

QString keyCommandOfSize(const QString& source, qsizetype bytes) {
    const qsizetype shell = keyCommand(source, QStringLiteral(R"(,"pad":"")")).toUtf8().size();
    return keyCommand(source, QStringLiteral(R"(,"pad":")") + QString(bytes - shell, u'x') + u'"');
}

constexpr auto never = std::chrono::hours(1);

struct SwitchableNetwork : NetworkConnectivity {
    bool isOffline() const override { return offline; }
    void setOnChange(std::function<void()> changed) override { onChange = std::move(changed); }
    void setOffline(bool now) {
        offline = now;
        onChange();
    }
    bool offline = false;
    std::function<void()> onChange;
};

class WebSocketClientTest : public TrustedServiceTest {
protected:
    WebSocketClientTest() {
        EXPECT_TRUE(service.listen());
        route(service.port());
    }

    // Records each reconnect the client schedules; the returned delay decides when it happens.
    void makeClient(std::chrono::milliseconds reconnectAfter = never,
                    std::chrono::milliseconds handshakeTimeout = 20s,
                    std::chrono::milliseconds pingInterval = 20s) {
        WebSocketClient::Timing timing{pingInterval, handshakeTimeout,
                                       [this, reconnectAfter](int attempt) {
                                           attempts.push_back(attempt);
                                           return reconnectAfter;
                                       }};
        auto switchable = std::make_unique<SwitchableNetwork>();
        network = switchable.get();
        client = std::make_unique<WebSocketClient>(timing, std::move(switchable));
        client->setDelegate(&delegate);
    }

    void connectAndWaitForOpen(const QUrl& url, const std::optional<QString>& token = {}) {
        const int opened = delegate.count(Kind::connected);
        const qsizetype peers = service.peerCount();
        client->connectTo(url, token);
        ASSERT_TRUE(eventually([&] {
            return delegate.count(Kind::connected) > opened && service.peerCount() > peers;
        }));
    }
    void connectSession() { connectAndWaitForOpen(*sampleSession().socketURL(), sampleToken); }
    bool waitForDisconnects(int count) {
        return eventually([&] { return delegate.count(Kind::disconnected) >= count; });
    }

    FakeRelayService service;
    ClientEvents delegate;
    std::vector<int> attempts;
    std::unique_ptr<WebSocketClient> client;
    SwitchableNetwork* network = nullptr; // the client's
};

} // namespace

TEST(BackOff, DoublesFromOneAndAHalfSecondsUpToTwentyFourPlusJitter) {
    int attempt = 1;
    for (const int base : {1500, 3000, 6000, 12000, 24000, 24000})
        EXPECT_EQ(backOffDelay(attempt++, 0.2), std::chrono::milliseconds(base + 200)) << attempt;
    EXPECT_EQ(backOffDelay(1 << 30, 1.0), 25000ms);
    // Over the whole range: 10 000 draws all miss a twentieth at either end once in 10^222.
    double lowest = 1.0, highest = 0.2;
    for (int i = 0; i < 10000; ++i) {
        const double jitter = randomJitterSeconds();
        ASSERT_TRUE(jitter >= 0.2 && jitter <= 1.0) << jitter;
        lowest = std::min(lowest, jitter);
        highest = std::max(highest, jitter);
    }
    EXPECT_TRUE(lowest < 0.24 && highest > 0.96) << lowest << " " << highest;
}

TEST_F(WebSocketClientTest, DeliversKeyCommandsInOrderAndDropsEverythingElse) {
    makeClient(1ms);
    connectSession();
    // A token that would break the request's headers is refused at once.
    client->connectTo(*sampleSession().socketURL(), QStringLiteral("token\r\nX-Evil: 1"));
    EXPECT_EQ(delegate.last().kind, Kind::disconnected);
    EXPECT_FALSE(delegate.last().willReconnect);
    FakeRelayPeer& peer = service.lastPeer();
    peer.sendText(keyCommand(QStringLiteral("text")));
    peer.sendBinary(keyCommand(QStringLiteral("binary")).toUtf8());
    peer.sendText(keyCommandOfSize(QStringLiteral("exactly-16384"), 16384));
    for (const char* other : {R"({"type":"Key","key":"space"})", R"({"type":"chat"})",
                              R"({"key":"space"})", R"({"type":"key","pressCount":"2"})", ""})
        peer.sendText(QString::fromUtf8(other));
    peer.sendText(keyCommand(QStringLiteral("last")));
    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::received) >= 4; }));
    EXPECT_EQ(delegate.receivedSources(),
              (QStringList{QStringLiteral("text"), QStringLiteral("binary"),
                           QStringLiteral("exactly-16384"), QStringLiteral("last")}));

    // A message over 16 KiB never arrives: the client closes with 1009 and comes back by itself.
    peer.sendText(keyCommandOfSize(QStringLiteral("too-big"), 16385));
    ASSERT_TRUE(eventually([&] { return peer.closeCodeReceived().has_value(); }));
    EXPECT_EQ(peer.closeCodeReceived(), 1009);
    EXPECT_TRUE(eventually([&] { return service.peerCount() == 2; }));
    EXPECT_EQ(delegate.count(Kind::received), 4);
}

TEST_F(WebSocketClientTest, OnlyA1008CloseEndsTheConnectionForGood) {
    makeClient();
    struct Case {
        std::optional<quint16> code; // nothing: the connection drops without a close frame
        QString reason;
        QString message;
        bool willReconnect;
    };
    const QString closed = QStringLiteral("การเชื่อมต่อถูกปิด");
    for (const Case& c : {
             Case{1008, {}, QStringLiteral("รหัสห้องหรือ Token ไม่ถูกต้อง"), false},
             Case{1008, QStringLiteral("ห้องนี้ถูกปิดแล้ว"), QStringLiteral("ห้องนี้ถูกปิดแล้ว"), false},
             Case{1000, {}, closed, true},
             Case{4000, QStringLiteral("bye"), QStringLiteral("bye"), true},
             Case{std::nullopt, {}, {}, true},
         }) {
        connectSession();
        const std::size_t scheduled = attempts.size();
        const int disconnects = delegate.count(Kind::disconnected);
        FakeRelayPeer& peer = service.lastPeer();
        if (c.code)
            peer.close(*c.code, c.reason);
        else
            peer.drop();
        ASSERT_TRUE(waitForDisconnects(disconnects + 1)) << c.code.value_or(0);
        EXPECT_EQ(delegate.count(Kind::disconnected), disconnects + 1);
        if (c.code)
            EXPECT_EQ(delegate.last().message, c.message);
        else
            EXPECT_FALSE(delegate.last().message.isEmpty() || delegate.last().message == closed);
        EXPECT_EQ(delegate.last().willReconnect, c.willReconnect) << c.code.value_or(0);
        EXPECT_EQ(attempts.size(), scheduled + (c.willReconnect ? 1 : 0));
    }
}

TEST_F(WebSocketClientTest, FailedHandshakesReportOnceEachAndTheAttemptsCountFromTheLastOpen) {
    makeClient(never, 500ms);
    for (const auto& [name, answer] :
         {std::pair{"refused", RelayAnswer::refuse}, std::pair{"dropped", RelayAnswer::dropRequest},
          std::pair{"never answers", RelayAnswer::ignoreRequest}}) {
        service.setAnswer(answer);
        const std::size_t before = delegate.events.size();
        client->connectTo(*sampleSession().socketURL(), sampleToken);
        ASSERT_TRUE(eventually([&] { return delegate.last().kind == Kind::disconnected; })) << name;
        EXPECT_EQ(delegate.kinds(before), (std::vector{Kind::connecting, Kind::disconnected}));
        EXPECT_TRUE(delegate.last().willReconnect) << name;
        // The client hangs up itself, even where the service would keep the line open.
        EXPECT_TRUE(eventually([&] { return service.openConnections() == 0; })) << name;
    }

    // Failures count up; an open and a new connect each start again from the first attempt.
    attempts.clear();
    makeClient(1ms);
    service.setAnswer(RelayAnswer::upgrade);
    service.queueAnswers({RelayAnswer::refuse, RelayAnswer::refuse, RelayAnswer::upgrade});
    connectSession();
    service.lastPeer().close(1001);
    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::connected) == 2; }));
    EXPECT_EQ(attempts, (std::vector{1, 2, 1}));
}

// A probe timer of the reconnect's delay, started after the stop, fires after it would have.
TEST_F(WebSocketClientTest, StopClosesNormallyReportsOnceAndCancelsThePendingReconnect) {
    makeClient(300ms);
    connectSession();
    FakeRelayPeer& peer = service.lastPeer();
    service.setAnswer(RelayAnswer::refuse);
    peer.close(1001);
    ASSERT_TRUE(waitForDisconnects(1));
    client->disconnect(true);
    client->disconnect(false); // quitting afterwards adds nothing
    EXPECT_EQ(delegate.last().message, QStringLiteral("หยุดการเชื่อมต่อแล้ว"));
    EXPECT_FALSE(delegate.last().willReconnect);
    const int attemptsBefore = delegate.count(Kind::connecting);
    bool probed = false;
    QTimer::singleShot(300ms, Qt::PreciseTimer, [&] { probed = true; });
    ASSERT_TRUE(eventually([&] { return probed; }));
    EXPECT_EQ(delegate.count(Kind::connecting), attemptsBefore);

    service.setAnswer(RelayAnswer::upgrade);
    connectSession();
    FakeRelayPeer& open = service.lastPeer();
    client->disconnect(true);
    ASSERT_TRUE(eventually([&] { return open.closeCodeReceived().has_value(); }));
    EXPECT_EQ(open.closeCodeReceived(), 1000);
    EXPECT_EQ(delegate.count(Kind::disconnected), 3);
}

// Only a session's token travels as a bearer token; a legacy pairing's stays in the query.
TEST_F(WebSocketClientTest, ConnectWhileOpenReplacesTheOldConnectionWithoutAReport) {
    makeClient(1ms, 20s, 100ms);
    connectAndWaitForOpen(*samplePairing().socketURL());
    FakeRelayPeer& old = service.lastPeer();
    connectSession();
    FakeRelayPeer& current = service.lastPeer();
    ASSERT_EQ(service.requests().size(), 2);
    const HttpRequest& legacy = service.requests().first();
    EXPECT_EQ(legacy.query, "role=agent&sessionId=ROOM1&token=TOKEN-xyz1");
    EXPECT_TRUE(legacy.header("authorization").isNull());
    const HttpRequest& session = service.requests().last();
    EXPECT_TRUE(session.target.startsWith("/ws?"));
    EXPECT_EQ(session.query, "role=agent&sessionId=session_123&agentId=agent_456");
    EXPECT_EQ(session.header("host"), "www.vindaro.net");
    EXPECT_EQ(session.header("user-agent"), "Vindaro-Agent-macOS/0.2.0");
    EXPECT_EQ(session.header("authorization"), "Bearer " + sampleToken.toUtf8());

    ASSERT_TRUE(eventually([&] { return old.closeCodeReceived().has_value(); }));
    EXPECT_EQ(old.closeCodeReceived(), 1000);
    // Whatever the old connection still sends is not for this agent any more.
    old.sendText(keyCommand(QStringLiteral("old")));
    old.close(1008);
    current.sendText(keyCommand(QStringLiteral("current")));
    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::received) == 1; }));
    EXPECT_EQ(delegate.receivedSources(), QStringList{QStringLiteral("current")});
    EXPECT_EQ(delegate.count(Kind::disconnected), 0);
    // Keep-alive is the client's: it pings while open.
    EXPECT_TRUE(eventually([&] { return current.pingsReceived() >= 3; }));
}

// Without a network (at start, after a loss, or waiting to reconnect) the only attempts are at
// the back-off's longest wait, as the machine may be wrong. Each wait is said once; the network's
// return brings one attempt at once, the back-off started over.

TEST_F(WebSocketClientTest, WithoutNetworkTheClientWaitsAndComesBackAtOnce) {
    makeClient(never);
    const QString waiting = QStringLiteral("ไม่มีเครือข่าย — จะเชื่อมต่อเองเมื่อเครือข่ายกลับมา");
    const auto comesBack = [&](int opened) {
        network->setOffline(false);
        return eventually([&] { return delegate.count(Kind::connected) == opened; });
    };

    network->setOffline(true);
    client->connectTo(*samplePairing().socketURL(), std::nullopt);
    network->setOffline(true);
    EXPECT_EQ(delegate.kinds(), std::vector{Kind::waiting});
    EXPECT_EQ(delegate.last().message, waiting);
    ASSERT_TRUE(comesBack(1));

    // Connected: the open connection is left alone until it is lost.
    const std::size_t mark = delegate.events.size();
    network->setOffline(true);
    service.lastPeer().drop();
    ASSERT_TRUE(waitForDisconnects(1));
    network->setOffline(true);
    EXPECT_EQ(delegate.kinds(mark), (std::vector{Kind::disconnected, Kind::waiting}));
    EXPECT_TRUE(delegate.events[mark].willReconnect);
    ASSERT_TRUE(comesBack(2));

    // Waiting an hour to reconnect: the loss of the network ends the wait, its return ends it.
    service.lastPeer().close(1001);
    ASSERT_TRUE(waitForDisconnects(2));
    network->setOffline(true);
    EXPECT_EQ(delegate.last().kind, Kind::waiting);
    ASSERT_TRUE(comesBack(3));
    service.lastPeer().close(1001);
    ASSERT_TRUE(waitForDisconnects(3));

    const int longest = std::numeric_limits<int>::max(); // past every doubling: 24 s
    EXPECT_EQ(attempts, (std::vector{longest, longest, 1, longest, 1}));
    EXPECT_EQ(delegate.count(Kind::waiting), 3);
    EXPECT_EQ(delegate.count(Kind::connecting), 3);
    EXPECT_EQ(service.acceptedConnections(), 3);
}
