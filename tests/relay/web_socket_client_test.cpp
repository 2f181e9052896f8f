// The relay connection as the service and the controller see it: what arrives in the handshake,
// which messages become key commands, how closes and failures are reported and retried.
#include "relay_fixture.h"

#include "relay/web_socket_client.h"
#include "relay/web_socket_client_delegate.h"

#include <QElapsedTimer>
#include <QTcpServer>

#include <memory>
#include <vector>

using namespace vindaro;
using namespace std::chrono_literals;

namespace {

struct ClientEvent {
    enum class Kind { connecting, connected, disconnected, received, waiting };
    Kind kind;
    QString message; // disconnected, waiting: the message; received: the command's source
    bool willReconnect = false;
    qint64 atMs = 0;
};
using Kind = ClientEvent::Kind;

class RecordingDelegate : public WebSocketClientDelegate {
public:
    RecordingDelegate() { clock.start(); }

    void webSocketClientConnecting(WebSocketClient&) noexcept override {
        record({Kind::connecting, {}, false, clock.elapsed()});
    }
    void webSocketClientConnected(WebSocketClient&) noexcept override {
        record({Kind::connected, {}, false, clock.elapsed()});
    }
    void webSocketClientDisconnected(WebSocketClient&, const QString& message,
                                     bool willReconnect) noexcept override {
        record({Kind::disconnected, message, willReconnect, clock.elapsed()});
    }
    void webSocketClientWaitingForNetwork(WebSocketClient&,
                                          const QString& message) noexcept override {
        record({Kind::waiting, message, false, clock.elapsed()});
    }
    void webSocketClientReceived(WebSocketClient&, const KeyCommand& command) noexcept override {
        lastCommand = command;
        record({Kind::received, command.source.value_or(QString()), false, clock.elapsed()});
    }

    int count(Kind kind) const {
        return static_cast<int>(std::count_if(events.begin(), events.end(),
                                              [kind](const auto& e) { return e.kind == kind; }));
    }
    std::vector<Kind> kinds(size_t from = 0) const {
        std::vector<Kind> result;
        for (size_t i = from; i < events.size(); ++i)
            result.push_back(events[i].kind);
        return result;
    }
    const ClientEvent& last(Kind kind) const {
        return *std::find_if(events.rbegin(), events.rend(),
                             [kind](const auto& e) { return e.kind == kind; });
    }
    QStringList receivedSources() const {
        QStringList sources;
        for (const auto& e : events) {
            if (e.kind == Kind::received)
                sources.append(e.message);
        }
        return sources;
    }

    std::vector<ClientEvent> events;
    KeyCommand lastCommand;
    std::function<void(const ClientEvent&)> onEvent;

private:
    void record(const ClientEvent& event) {
        events.push_back(event);
        if (onEvent)
            onEvent(event);
    }
    QElapsedTimer clock;
};

QString keyCommand(const QString& source, const QString& extra = {}) {
    return QStringLiteral(R"({"type":"key","key":"space","pressCount":2,"holdMs":80,"source":")") +
           source + QStringLiteral(R"(","viewer":"v")") + extra + u'}';
}

// A valid key command of exactly the given size in UTF-8 bytes.
QString keyCommandOfSize(const QString& source, qsizetype bytes) {
    const QString shell = keyCommand(source, QStringLiteral(R"(,"pad":"")"));
    return keyCommand(source, QStringLiteral(R"(,"pad":")") +
                                  QString(bytes - shell.toUtf8().size(), u'x') + u'"');
}

constexpr auto never = std::chrono::hours(1);

// The machine's network, as the test says it is.
class SwitchableNetwork : public NetworkConnectivity {
public:
    bool isOffline() const override { return m_offline; }
    void setOnChange(std::function<void()> changed) override { m_changed = std::move(changed); }
    void setOffline(bool offline) {
        m_offline = offline;
        if (m_changed)
            m_changed();
    }

private:
    bool m_offline = false;
    std::function<void()> m_changed;
};

class WebSocketClientTest : public RelayFixture {
protected:
    // Records each reconnect the client schedules; the returned delay decides when it happens.
    void makeClient(std::chrono::milliseconds reconnectAfter = never,
                    std::chrono::milliseconds handshakeTimeout = 20s,
                    std::chrono::milliseconds pingInterval = 20s) {
        WebSocketClient::Timing timing;
        timing.pingInterval = pingInterval;
        timing.handshakeTimeout = handshakeTimeout;
        timing.reconnectDelay = [this, reconnectAfter](int attempt) {
            attempts.push_back(attempt);
            return reconnectAfter;
        };
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

    bool waitForDisconnects(int count) {
        return eventually([&] { return delegate.count(Kind::disconnected) >= count; });
    }

    RecordingDelegate delegate;
    std::vector<int> attempts;
    std::unique_ptr<WebSocketClient> client;
    SwitchableNetwork* network = nullptr; // the client's
};

// Only a session's token travels as a bearer token; a legacy pairing's stays in the query.
TEST_F(WebSocketClientTest, HandshakeNamesTheAgentAndSendsTheTokenAsBearerOnlyForASession) {
    makeClient();
    connectAndWaitForOpen(sessionURL(), sessionToken());
    EXPECT_EQ(delegate.kinds(), (std::vector{Kind::connecting, Kind::connected}));
    connectAndWaitForOpen(legacyURL());

    ASSERT_EQ(service.requests().size(), 2);
    const RelayRequest& session = service.requests().first();
    EXPECT_EQ(session.method, "GET");
    EXPECT_EQ(session.path, "/ws");
    EXPECT_EQ(session.query, "role=agent&sessionId=S-1&agentId=agent_7");
    EXPECT_EQ(session.headerNames(),
              (upgradeHeaderNames() + QList<QByteArray>{"User-Agent", "Authorization"}));
    EXPECT_EQ(session.header("host"), "vindaro.net");
    EXPECT_EQ(session.header("user-agent"), "Vindaro-Agent-macOS/0.2.0");
    EXPECT_EQ(session.header("authorization"), "Bearer tok-abcdefgh");

    const RelayRequest& legacy = service.requests().last();
    EXPECT_EQ(legacy.path, "/ws");
    EXPECT_EQ(legacy.query, "role=agent&sessionId=ROOM1&token=TOKEN-xyz1");
    EXPECT_EQ(legacy.headerNames(), (upgradeHeaderNames() + QList<QByteArray>{"User-Agent"}));
}

TEST_F(WebSocketClientTest, UnusableTargetsAreReportedWithoutTouchingTheOpenConnection) {
    makeClient();
    connectAndWaitForOpen(legacyURL());

    struct Case {
        const char* url;
        std::optional<QString> token;
        QString message;
    };
    const QString invalidServer = QStringLiteral("ที่อยู่เซิร์ฟเวอร์ไม่ถูกต้อง");
    for (const Case& c : {
             Case{"ws://vindaro.net/ws", std::nullopt, invalidServer},
             Case{"wss://example.com/ws", std::nullopt, invalidServer},
             // A token that would split the Authorization header is never sent.
             Case{"wss://vindaro.net/ws", QStringLiteral("token\r\nX-Evil: 1"),
                  QStringLiteral("รหัสห้องหรือ Token ไม่ครบ")},
         }) {
        const size_t before = delegate.events.size();
        client->connectTo(QUrl(QString::fromUtf8(c.url)), c.token);
        ASSERT_EQ(delegate.events.size(), before + 1) << c.url;
        EXPECT_EQ(delegate.events.back().kind, Kind::disconnected);
        EXPECT_EQ(delegate.events.back().message, c.message) << c.url;
        EXPECT_FALSE(delegate.events.back().willReconnect);
    }

    // The first connection is still the one in use.
    service.lastPeer().sendText(keyCommand(QStringLiteral("still-open")));
    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::received) == 1; }));
    EXPECT_EQ(service.acceptedConnections(), 1);
    EXPECT_EQ(proxy.requestedTunnels(), QStringList{QStringLiteral("vindaro.net:443")});
}

TEST_F(WebSocketClientTest, DeliversValidCommandsInOrderAndSilentlyDropsEverythingElse) {
    makeClient();
    connectAndWaitForOpen(sessionURL(), sessionToken());
    FakeRelayPeer& peer = service.lastPeer();

    peer.sendText(keyCommand(QStringLiteral("text")));
    peer.sendBinary(keyCommand(QStringLiteral("binary")).toUtf8());
    peer.sendText(keyCommandOfSize(QStringLiteral("exactly-16384"), 16384));
    peer.sendText(QStringLiteral(R"({"type":"Key","key":"space"})"));
    peer.sendText(QStringLiteral(R"({"type":"key ","key":"space"})"));
    peer.sendText(QStringLiteral(R"({"type":"chat","message":"hi"})"));
    peer.sendText(QStringLiteral(R"({"key":"space"})"));
    peer.sendText(QStringLiteral(R"({"type":"key","pressCount":"2"})"));
    peer.sendText(QStringLiteral(R"({"type":"key")"));
    peer.sendText(QString());
    peer.sendBinary(QByteArray("\xff\xfe\x00{\"type\":\"key\"}", 17));
    peer.sendText(keyCommand(QStringLiteral("last")));

    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::received) >= 4; }));
    EXPECT_EQ(delegate.receivedSources(),
              (QStringList{QStringLiteral("text"), QStringLiteral("binary"),
                           QStringLiteral("exactly-16384"), QStringLiteral("last")}));
    EXPECT_EQ(delegate.lastCommand.key, QStringLiteral("space"));
    EXPECT_EQ(delegate.count(Kind::disconnected), 0);
    EXPECT_TRUE(peer.isOpen());
}

TEST_F(WebSocketClientTest, MessagesTheTransportRefusesNeverArriveAndTheClientComesBack) {
    makeClient(1ms);
    const QString oversized = keyCommandOfSize(QStringLiteral("too-big"), 16385);
    const QByteArray invalidUtf8 = keyCommand(QStringLiteral("bad-utf8")).toUtf8() + "\xc3\x28";
    struct Case {
        std::function<void(FakeRelayPeer&)> send;
        quint16 closeCode; // what the client answers with
    };
    const std::vector<Case> cases = {
        {[&](FakeRelayPeer& peer) { peer.sendText(oversized); }, 1009},
        {[&](FakeRelayPeer& peer) { peer.sendBinary(oversized.toUtf8()); }, 1009},
        // Two frames, each under the limit, that make one message over it.
        {[&](FakeRelayPeer& peer) {
             const QByteArray bytes = oversized.toUtf8();
             peer.sendFrame(0x1, bytes.first(10000), false);
             peer.sendFrame(0x0, bytes.sliced(10000), true);
         },
         1009},
        {[&](FakeRelayPeer& peer) { peer.sendFrame(0x1, invalidUtf8); }, 1007},
    };
    connectAndWaitForOpen(sessionURL(), sessionToken());
    for (size_t i = 0; i < cases.size(); ++i) {
        FakeRelayPeer& peer = service.lastPeer();
        const qsizetype peers = service.peerCount();
        cases[i].send(peer);
        ASSERT_TRUE(waitForDisconnects(static_cast<int>(i) + 1)) << i;
        EXPECT_TRUE(delegate.last(Kind::disconnected).willReconnect) << i;
        ASSERT_TRUE(eventually([&] { return peer.closeCodeReceived().has_value(); })) << i;
        EXPECT_EQ(peer.closeCodeReceived(), cases[i].closeCode) << i;
        // ... and the client comes back by itself.
        ASSERT_TRUE(eventually([&] { return service.peerCount() > peers; })) << i;
        ASSERT_TRUE(eventually([&] { return delegate.count(Kind::connected) == int(i) + 2; }));
    }
    EXPECT_EQ(delegate.count(Kind::received), 0);
}

TEST_F(WebSocketClientTest, ServiceClosesStopReconnectingOnlyFor1008) {
    makeClient();
    struct Case {
        std::optional<quint16> code; // nothing: a close frame without a code
        QString reason;
        QString message;
        bool willReconnect;
    };
    const QString rejected = QStringLiteral("รหัสห้องหรือ Token ไม่ถูกต้อง");
    const QString closed = QStringLiteral("การเชื่อมต่อถูกปิด");
    for (const Case& c : {
             Case{1008, {}, rejected, false},
             Case{1008, QStringLiteral("ห้องนี้ถูกปิดแล้ว"), QStringLiteral("ห้องนี้ถูกปิดแล้ว"), false},
             Case{1000, {}, closed, true},
             Case{1001, QStringLiteral("maintenance"), QStringLiteral("maintenance"), true},
             Case{4000, QStringLiteral("bye"), QStringLiteral("bye"), true},
             Case{std::nullopt, {}, closed, true},
         }) {
        const QString label = QString::number(c.code.value_or(0)) + u' ' + c.reason;
        connectAndWaitForOpen(sessionURL(), sessionToken());
        const size_t scheduled = attempts.size();
        const int disconnects = delegate.count(Kind::disconnected);
        FakeRelayPeer& peer = service.lastPeer();
        if (c.code)
            peer.close(*c.code, c.reason);
        else
            peer.sendFrame(0x8, {});

        ASSERT_TRUE(waitForDisconnects(disconnects + 1)) << label.toStdString();
        EXPECT_EQ(delegate.count(Kind::disconnected), disconnects + 1);
        EXPECT_EQ(delegate.events.back().kind, Kind::disconnected);
        EXPECT_EQ(delegate.events.back().message, c.message) << label.toStdString();
        EXPECT_EQ(delegate.events.back().willReconnect, c.willReconnect) << label.toStdString();
        EXPECT_EQ(attempts.size(), scheduled + (c.willReconnect ? 1 : 0)) << label.toStdString();
        // The client answered the close handshake instead of just hanging up.
        EXPECT_TRUE(eventually([&] { return peer.closeCodeReceived().has_value(); }));
    }
}

TEST_F(WebSocketClientTest, ADroppedConnectionIsAFailureToRetryNotAClose) {
    makeClient();
    connectAndWaitForOpen(legacyURL());
    service.lastPeer().drop();

    ASSERT_TRUE(waitForDisconnects(1));
    const ClientEvent& event = delegate.last(Kind::disconnected);
    EXPECT_FALSE(event.message.isEmpty());
    EXPECT_NE(event.message, QStringLiteral("การเชื่อมต่อถูกปิด"));
    EXPECT_TRUE(event.willReconnect);
    EXPECT_EQ(attempts, std::vector{1});
}

TEST_F(WebSocketClientTest, FailedHandshakesReportOnceEachAndAreRetried) {
    makeClient(never, 500ms);
    FakeRelayService untrusted(TestPki::Leaf::untrusted);
    ASSERT_TRUE(untrusted.listen());

    struct Case {
        const char* name;
        RelayAnswer answer;
        QByteArray refusal;
        QList<std::pair<QByteArray, QByteArray>> headers;
        FakeRelayService* target;
    };
    const QList<Case> cases = {
        {"refused", RelayAnswer::refuse, "403 Forbidden", {}, &service},
        // QtWebSockets follows no redirect, even one this agent would accept.
        {"redirected",
         RelayAnswer::refuse,
         "302 Found",
         {{"Location", "wss://VINDARO.net/ws?moved=1"}},
         &service},
        {"dropped mid-handshake", RelayAnswer::dropRequest, {}, {}, &service},
        {"never answers the upgrade", RelayAnswer::ignoreRequest, {}, {}, &service},
        {"never answers at all", RelayAnswer::ignoreTcp, {}, {}, &service},
        {"untrusted certificate", RelayAnswer::upgrade, {}, {}, &untrusted},
    };
    for (const Case& c : cases) {
        c.target->setAnswer(c.answer);
        c.target->setRefusal(c.refusal.isEmpty() ? "403 Forbidden" : c.refusal, c.headers);
        proxy.setTargetPort(c.target->port());
        const size_t before = delegate.events.size();
        const qsizetype requests = c.target->requests().size();

        client->connectTo(sessionURL(), sessionToken());
        ASSERT_TRUE(eventually([&] {
            return !delegate.events.empty() && delegate.events.back().kind == Kind::disconnected;
        })) << c.name;
        EXPECT_EQ(delegate.kinds(before), (std::vector{Kind::connecting, Kind::disconnected}))
            << c.name;
        EXPECT_FALSE(delegate.events.back().message.isEmpty()) << c.name;
        EXPECT_TRUE(delegate.events.back().willReconnect) << c.name;
        EXPECT_EQ(attempts.back(), 1) << c.name;
        // The client hangs up itself, even where the service would keep the line open.
        EXPECT_TRUE(eventually([&] { return c.target->openConnections() == 0; })) << c.name;
        EXPECT_LE(c.target->requests().size(), requests + 1) << c.name;
    }
    EXPECT_EQ(service.peerCount(), 0);
    EXPECT_EQ(untrusted.requests().size(), 0); // TLS failed before any request was sent
}

// Qt reports such failures as a disconnect first, and their reason only after it.
TEST_F(WebSocketClientTest, ConnectionsThatNeverOpenReportThePlatformsOwnError) {
    makeClient();
    QTcpServer closed;
    ASSERT_TRUE(closed.listen(QHostAddress::LocalHost));
    proxy.setTargetPort(closed.serverPort());
    closed.close();

    client->connectTo(sessionURL(), sessionToken());
    ASSERT_TRUE(waitForDisconnects(1));
    proxy.setHostsUnknown(true);
    client->connectTo(sessionURL(), sessionToken());
    ASSERT_TRUE(waitForDisconnects(2));

    EXPECT_EQ(delegate.kinds(), (std::vector{Kind::connecting, Kind::disconnected, Kind::connecting,
                                             Kind::disconnected}));
    EXPECT_EQ(delegate.events[1].message, QStringLiteral("Connection refused"));
    EXPECT_EQ(delegate.events[3].message, QStringLiteral("Host not found"));
    EXPECT_TRUE(delegate.events[3].willReconnect);
}

// No attempt goes out while the machine has no network: not at start, not for a connection
// lost meanwhile, not for one waiting to reconnect. Each wait is said once, and the network's
// return brings one attempt at once, with the back-off started over.
TEST_F(WebSocketClientTest, WithoutNetworkTheClientWaitsAndComesBackAtOnce) {
    makeClient(never);
    const QString waiting = QStringLiteral("ไม่มีเครือข่าย — จะเชื่อมต่อเองเมื่อเครือข่ายกลับมา");
    const auto comesBack = [&](int opened) {
        network->setOffline(false);
        return eventually([&] { return delegate.count(Kind::connected) == opened; });
    };

    network->setOffline(true);
    client->connectTo(legacyURL(), std::nullopt);
    network->setOffline(true);
    EXPECT_EQ(delegate.kinds(), std::vector{Kind::waiting});
    EXPECT_EQ(delegate.events.back().message, waiting);
    ASSERT_TRUE(comesBack(1));

    // Connected: the open connection is left alone until it is lost.
    const size_t mark = delegate.events.size();
    network->setOffline(true);
    service.lastPeer().drop();
    ASSERT_TRUE(waitForDisconnects(1));
    network->setOffline(true);
    EXPECT_EQ(delegate.kinds(mark), (std::vector{Kind::disconnected, Kind::waiting}));
    EXPECT_TRUE(delegate.last(Kind::disconnected).willReconnect);
    ASSERT_TRUE(comesBack(2));

    // Waiting an hour to reconnect: the loss of the network ends the wait, its return ends it.
    service.lastPeer().close(1001);
    ASSERT_TRUE(waitForDisconnects(2));
    network->setOffline(true);
    EXPECT_EQ(delegate.events.back().kind, Kind::waiting);
    ASSERT_TRUE(comesBack(3));
    service.lastPeer().close(1001);
    ASSERT_TRUE(waitForDisconnects(3));

    EXPECT_EQ(attempts, (std::vector{1, 1}));
    EXPECT_EQ(delegate.count(Kind::waiting), 3);
    EXPECT_EQ(delegate.count(Kind::connecting), 3);
    EXPECT_EQ(service.acceptedConnections(), 3);
}

TEST_F(WebSocketClientTest, AttemptCountGrowsWithFailuresAndRestartsOnOpenAndOnConnect) {
    makeClient(1ms);
    service.queueAnswers({RelayAnswer::refuse, RelayAnswer::refuse, RelayAnswer::ignoreRequest,
                          RelayAnswer::refuse});
    client->connectTo(sessionURL(), sessionToken());
    ASSERT_TRUE(eventually([&] { return service.acceptedConnections() == 3; }));
    EXPECT_EQ(attempts, (std::vector{1, 2}));

    // A new connect while the third attempt hangs starts counting again.
    client->connectTo(sessionURL(), sessionToken());
    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::connected) == 1; }));
    EXPECT_EQ(attempts, (std::vector{1, 2, 1}));

    // So does an open: the next loss waits as long as the first one did.
    service.lastPeer().close(1001);
    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::connected) == 2; }));
    EXPECT_EQ(attempts, (std::vector{1, 2, 1, 1}));

    // Every attempt that ended reported exactly once; the replaced one silently.
    EXPECT_EQ(delegate.count(Kind::connecting), 6);
    EXPECT_EQ(delegate.count(Kind::disconnected), 4);
}

TEST_F(WebSocketClientTest, FirstReconnectWaitsBetween1_7And2_5SecondsByDefault) {
    client = std::make_unique<WebSocketClient>();
    client->setDelegate(&delegate);
    connectAndWaitForOpen(legacyURL());
    service.lastPeer().close(1000);
    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::connecting) == 2; }));

    const qint64 waited = delegate.events.back().atMs - delegate.last(Kind::disconnected).atMs;
    EXPECT_GE(waited, 1700);
    EXPECT_LE(waited, 2500 + 1000); // the upper bound allows for a busy machine
}

TEST_F(WebSocketClientTest, StopWhileWaitingCancelsThePendingReconnect) {
    makeClient(300ms);
    service.setAnswer(RelayAnswer::refuse);
    client->connectTo(legacyURL(), std::nullopt);
    ASSERT_TRUE(waitForDisconnects(1));
    ASSERT_TRUE(delegate.last(Kind::disconnected).willReconnect);

    client->disconnect(true);
    EXPECT_EQ(delegate.events.back().message, QStringLiteral("หยุดการเชื่อมต่อแล้ว"));
    EXPECT_FALSE(delegate.events.back().willReconnect);

    // Nothing to wait on here but time: several times the delay the reconnect would have used.
    QTest::qWait(1500);
    EXPECT_EQ(delegate.count(Kind::connecting), 1);
    EXPECT_EQ(service.acceptedConnections(), 1);
}

TEST_F(WebSocketClientTest, StopWhileOpenClosesNormallyAndReportsOnce) {
    makeClient(1ms);
    connectAndWaitForOpen(sessionURL(), sessionToken());
    FakeRelayPeer& peer = service.lastPeer();

    client->disconnect(true);
    client->disconnect(false); // quitting afterwards adds nothing
    ASSERT_TRUE(eventually([&] { return peer.closeCodeReceived().has_value(); }));
    EXPECT_EQ(peer.closeCodeReceived(), 1000);
    EXPECT_EQ(delegate.kinds(),
              (std::vector{Kind::connecting, Kind::connected, Kind::disconnected}));
    EXPECT_EQ(delegate.events.back().message, QStringLiteral("หยุดการเชื่อมต่อแล้ว"));
    EXPECT_TRUE(attempts.empty());
}

TEST_F(WebSocketClientTest, ConnectWhileOpenReplacesTheOldConnectionWithoutAReport) {
    makeClient(1ms);
    connectAndWaitForOpen(legacyURL());
    FakeRelayPeer& old = service.lastPeer();

    connectAndWaitForOpen(sessionURL(), sessionToken());
    FakeRelayPeer& current = service.lastPeer();
    ASSERT_NE(&old, &current);
    ASSERT_TRUE(eventually([&] { return old.closeCodeReceived().has_value(); }));
    EXPECT_EQ(old.closeCodeReceived(), 1000);

    // Whatever the old connection still sends is not for this agent any more.
    old.sendText(keyCommand(QStringLiteral("old")));
    old.close(1008);
    current.sendText(keyCommand(QStringLiteral("current")));
    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::received) == 1; }));
    EXPECT_EQ(delegate.receivedSources(), QStringList{QStringLiteral("current")});
    EXPECT_EQ(delegate.kinds(), (std::vector{Kind::connecting, Kind::connected, Kind::connecting,
                                             Kind::connected, Kind::received}));
    EXPECT_EQ(service.requests().last().header("authorization"), "Bearer tok-abcdefgh");
}

TEST_F(WebSocketClientTest, PingsTheServiceWhileOpen) {
    makeClient(never, 20s, 100ms);
    connectAndWaitForOpen(legacyURL());
    FakeRelayPeer& peer = service.lastPeer();
    ASSERT_TRUE(eventually([&] { return peer.pingsReceived() >= 3; }));
    EXPECT_EQ(delegate.count(Kind::disconnected), 0);
}

TEST_F(WebSocketClientTest, ADelegateThatReconnectsFromADisconnectGetsExactlyOneNewAttempt) {
    makeClient(1ms);
    bool reconnected = false;
    delegate.onEvent = [&](const ClientEvent& event) {
        if (event.kind == Kind::disconnected && event.willReconnect && !reconnected) {
            reconnected = true;
            client->connectTo(sessionURL(), sessionToken());
        }
    };
    connectAndWaitForOpen(sessionURL(), sessionToken());
    service.lastPeer().close(1001);

    ASSERT_TRUE(eventually([&] { return delegate.count(Kind::connected) == 2; }));
    // The report's own reconnect was not scheduled on top of the delegate's connect.
    EXPECT_TRUE(attempts.empty());
    EXPECT_EQ(service.acceptedConnections(), 2);
    EXPECT_EQ(delegate.kinds(), (std::vector{Kind::connecting, Kind::connected, Kind::disconnected,
                                             Kind::connecting, Kind::connected}));
}

} // namespace
