// The controller as the user sees it: the log, the status lines, the buttons and the alerts, with
// the real relay client and pairing client talking TLS to fake services on loopback (reached as
// vindaro.net through the test CA and a CONNECT proxy) and a poster that records the keys.
#include "app/agent_app_delegate.h"

#include "model/agent_error.h"
#include "platform/clipboard.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/settings_opener.h"
#include "platform/workspace_notifications.h"
#include "support/connect_proxy.h"
#include "support/fake_pairing_service.h"
#include "support/fake_relay_service.h"
#include "support/qt_printers.h"
#include "support/test_pki.h"

#include <QJsonDocument>
#include <QJsonObject>
#include <QTest>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace vindaro;

namespace {

constexpr int patienceMs = 20000;

bool eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, patienceMs);
}

struct Line {
    QString text;
    StatusColor color = StatusColor::secondary;
    friend bool operator==(const Line&, const Line&) = default;
};

void PrintTo(const Line& line, std::ostream* out) {
    *out << '"' << line.text.toStdString() << "\" colour " << static_cast<int>(line.color);
}

// Everything the window would show, as the controller last set it.
class RecordingView : public AgentView {
public:
    void setPermissionLine(const QString& text, StatusColor color) override {
        permission = {text, color};
    }
    void setConnectionLine(const QString& text, StatusColor color) override {
        connection = {text, color};
    }
    void setActivityLine(const QString& text, StatusColor color) override {
        activity = {text, color};
    }
    void setConnectEnabled(bool enabled) override { connectEnabled = enabled; }
    void setPauseEnabled(bool enabled) override { pauseEnabled = enabled; }
    void setStopEnabled(bool enabled) override { stopEnabled = enabled; }
    void setTestEnabled(bool enabled) override { testEnabled = enabled; }
    void setPauseTitle(const QString& title) override { pauseTitle = title; }
    QString inputText() const override { return input; }
    void setInputText(const QString& text) override { input = text; }
    void appendLog(const QString& message) override { log << message; }
    void showAlert(const QString& description) override { alerts << description; }

    // The log lines added since the mark.
    QStringList logSince(qsizetype mark) const { return log.mid(mark); }
    bool logged(const QString& line) const { return log.contains(line); }

    Line permission, connection, activity;
    bool connectEnabled = false, pauseEnabled = false, stopEnabled = false, testEnabled = false;
    QString pauseTitle;
    QString input;
    QStringList log;
    QStringList alerts;
};

class FakeClipboard : public Clipboard {
public:
    std::optional<QString> plainText() const override { return text; }
    std::optional<QString> text;
};

class CountingSettingsOpener : public SettingsOpener {
public:
    bool openAccessibilitySettings() override {
        ++opened;
        return true;
    }
    int opened = 0;
};

class ManualWorkspace : public WorkspaceNotifications {
public:
    void observe(Handlers newHandlers) override { handlers = std::move(newHandlers); }
    Handlers handlers;
};

const QString token = QStringLiteral("tok-PAIRED-9d8c7b6a");
const Line paused{
    QStringLiteral("⏸️ ยังไม่ส่งคีย์เข้าเกม"),
    StatusColor::secondary};
const Line armed{QStringLiteral("🎮 พร้อมกดคีย์ — คลิกกลับเข้าเกม"), StatusColor::green};
const Line connected{QStringLiteral("🟢 เชื่อม Vindaro แล้ว"),
                     StatusColor::green};
const Line notConnected{QStringLiteral("🔴 ยังไม่เชื่อมต่อ"), StatusColor::red};
const Line pairingFailed{QStringLiteral("🔴 จับคู่ไม่สำเร็จ"), StatusColor::red};
const QString stoppedLine = QStringLiteral("หยุดการเชื่อมต่อแล้ว");
const QString agentStoppedLine = QStringLiteral("หยุด Agent แล้ว");
const QString pairedLine = QStringLiteral("จับคู่เครื่องสำเร็จ — Token ถูกเก็บใน Keychain");
constexpr std::uint16_t keyA = 0;
constexpr std::uint16_t keySpace = 49;

// The session the fake pairing service hands out; its relay is www.vindaro.net.
QByteArray pairingAnswer() {
    return R"({"wsUrl":"wss://www.vindaro.net/ws","sessionId":"session_123","agentId":"agent_456",)"
           R"("agentToken":")" +
           token.toUtf8() + R"(","protocolVersion":2})";
}

AgentSession storedSession() {
    return AgentSession(QStringLiteral("wss://www.vindaro.net/ws"), QStringLiteral("S-1"),
                        QStringLiteral("agent_7"), QStringLiteral("tok-stored-1234"), 2);
}

AgentPairing storedPairing() {
    return AgentPairing::fromBundle(QStringLiteral("wss://www.vindaro.net/ws|ROOM1|TOKEN-xyz1"));
}

QString keyCommand(const QString& fields) {
    return QStringLiteral(R"({"type":"key",)") + fields + u'}';
}

// How long each press of the recorded events was held, in milliseconds.
std::vector<long> holds(const std::vector<PostedKey>& events) {
    std::vector<long> result;
    for (std::size_t i = 0; i + 1 < events.size(); i += 2)
        result.push_back(static_cast<long>(std::chrono::duration_cast<std::chrono::milliseconds>(
                                               events[i + 1].time - events[i].time)
                                               .count()));
    return result;
}

class AgentTest : public ::testing::Test {
protected:
    AgentTest() {
        TestPki::instance().trustTestCaInThisProcess();
        EXPECT_TRUE(relay.listen());
        proxy.setTargetPort(QStringLiteral("www.vindaro.net"), relay.port());
        proxy.installAsApplicationProxy();
        pairingService.plan({FakePairingService::Reply(200, pairingAnswer())});
    }
    ~AgentTest() override { agent.applicationWillTerminate(); }

    static AgentAppDelegate::Options options() {
        AgentAppDelegate::Options result;
        result.relayTiming.reconnectDelay = [](int) { return 50ms; };
        result.pairing.hostName = [] { return std::optional<QString>(QStringLiteral("Test PC")); };
        return result;
    }

    void launch() { agent.applicationDidFinishLaunching(view); }

    // Starts with a stored session and connects with it through an empty field.
    void launchConnected() {
        sessions.save(storedSession());
        launch();
        agent.connectTapped();
        ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
        ASSERT_EQ(relay.peerCount(), 1);
    }

    void send(const QString& fields) { relay.lastPeer().sendText(keyCommand(fields)); }

    // Sends a command that holds A for three seconds and waits until A is down.
    void holdKeyDown() {
        send(QStringLiteral(R"("key":"a","holdMs":3000)"));
        ASSERT_TRUE(eventually([&] { return poster.heldKeys().contains(keyA); }));
    }

    RecordingKeyPoster poster;
    MemorySecretStore secrets;
    MemoryUserDefaults defaults;
    FakeClipboard clipboard;
    CountingSettingsOpener settings;
    ManualWorkspace workspace;
    KeychainStore keychain{secrets};
    SessionStore sessions{keychain, defaults};
    LegacyPairingStore legacyPairings{keychain, defaults};

    FakeRelayService relay;
    FakePairingService pairingService;
    ConnectProxy proxy{pairingService.port()};
    RecordingView view;
    AgentAppDelegate agent{{poster, secrets, defaults, clipboard, settings, workspace}, options()};
};

} // namespace

TEST_F(AgentTest, StartUpRestoresTheSessionFirstAndConnectsOnlyWhenAsked) {
    sessions.save(storedSession());
    legacyPairings.save(storedPairing());
    launch();

    EXPECT_EQ(view.log, QStringList{QStringLiteral("พบการจับคู่เครื่องนี้แล้ว กดเชื่อมต่อเพื่อใช้งานต่อ")});
    EXPECT_EQ(view.permission,
              (Line{QStringLiteral("🟢 Accessibility พร้อมใช้งาน"),
                    StatusColor::green}));
    EXPECT_EQ(view.activity, paused);
    EXPECT_EQ(view.pauseTitle, QStringLiteral("พร้อมเล่นต่อ"));
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_FALSE(view.pauseEnabled);
    EXPECT_FALSE(view.stopEnabled);
    EXPECT_TRUE(view.testEnabled);
    EXPECT_EQ(relay.requests().size(), 0);

    agent.connectTapped();
    EXPECT_EQ(view.log.last(), QStringLiteral("กำลังเชื่อม Session S-1…"));
    EXPECT_EQ(view.activity, armed);
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    EXPECT_EQ(relay.requests().first().header("authorization"), "Bearer tok-stored-1234");
    EXPECT_EQ(view.log.last(), QStringLiteral("เชื่อมต่อสำเร็จ — เปิดเกมและคลิกให้เกมเป็นหน้าต่างหลัก"));
    EXPECT_FALSE(view.connectEnabled);
    EXPECT_TRUE(view.pauseEnabled);
    EXPECT_TRUE(view.stopEnabled);
}

TEST_F(AgentTest, AStoredSessionTheRulesRefuseIsSilentlyAbsentAndTheLegacyPairingIsUsed) {
    sessions.save(storedSession());
    defaults.setInteger(QStringLiteral("vindaro.agent.v2.protocol"), 3);
    legacyPairings.save(storedPairing());
    launch();
    EXPECT_EQ(view.log, QStringList{QStringLiteral("พบข้อมูล Agent รุ่นเดิมของห้อง ROOM1")});
    EXPECT_FALSE(agent.currentSession());

    agent.connectTapped();
    EXPECT_EQ(view.log.last(), QStringLiteral("กำลังเชื่อมห้องรุ่นเดิม ROOM1…"));
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    EXPECT_EQ(relay.requests().first().query, "role=agent&sessionId=ROOM1&token=TOKEN-xyz1");
}

TEST_F(AgentTest, TheGateSkipsClampsAndDefaultsEachCommand) {
    launchConnected();
    struct Case {
        QString fields;
        QString logLine; // the controller's or the executor's line for it
        int presses;
        long minHoldMs, maxHoldMs;
    };
    const Case cases[] = {
        {QStringLiteral(R"("key":" f13\n")"), QStringLiteral("ข้ามปุ่มที่ไม่รองรับ: F13"), 0, 0, 0},
        {QStringLiteral(R"("viewer":"v")"), QStringLiteral("ข้ามปุ่มที่ไม่รองรับ: "), 0, 0, 0},
        {QStringLiteral(R"("key":"a")"), QStringLiteral("[KEY] A ×1 ← Vindaro event"), 1, 80, 1000},
        {QStringLiteral(R"("key":"a","pressCount":0,"holdMs":0,"source":"")"),
         QStringLiteral("[KEY] A ×1 ← Vindaro event"), 1, 20, 1000},
        {QStringLiteral(R"("key":"a","pressCount":-5,"source":" ")"),
         QStringLiteral("[KEY] A ×1 ←  "), 1, 80, 1000},
        {QStringLiteral(R"("key":"a","pressCount":21,"holdMs":20,"source":"gift")"),
         QStringLiteral("[KEY] A ×20 ← gift"), 20, 20, 1000},
        {QStringLiteral(R"("key":"a","pressCount":1000,"holdMs":20,"source":"gift")"),
         QStringLiteral("[KEY] A ×20 ← gift"), 20, 20, 1000},
        {QStringLiteral(R"("key":"a","holdMs":60000)"),
         QStringLiteral("[KEY] A ×1 ← Vindaro event"), 1, 3000, 6000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields.toStdString());
        const qsizetype mark = view.log.size();
        const std::size_t before = poster.events().size();
        send(c.fields);
        ASSERT_TRUE(eventually([&] { return view.logged(c.logLine) && view.log.size() > mark; }));
        const std::size_t events = before + 2 * static_cast<std::size_t>(c.presses);
        const auto recorded = poster.waitForEvents(events, 20s);
        ASSERT_EQ(recorded.size(), events);
        for (const long hold :
             holds({recorded.begin() + static_cast<long>(before), recorded.end()})) {
            EXPECT_GE(hold, c.minHoldMs);
            EXPECT_LT(hold, c.maxHoldMs);
        }
        EXPECT_EQ(view.logSince(mark), QStringList{c.logLine});
        view.log.clear();
    }

    // A full queue refuses the command, and the test button says to stop and try again.
    poster.holdBackKeyDowns();
    for (int i = 0; i < KeyboardExecutor::maxPendingCommands + 1; ++i)
        send(QStringLiteral(R"("key":" space ")"));
    ASSERT_TRUE(eventually([&] { return view.logged(QStringLiteral("คิวคำสั่งเต็ม — ข้าม SPACE")); }));
    agent.testSpaceTapped();
    EXPECT_EQ(view.log.last(), QStringLiteral("คิวเต็ม กรุณากดหยุดแล้วลองใหม่"));
    // Stop waits for a key-down on its way, so the poster lets it through first.
    poster.releaseKeyDowns();
    agent.stopTapped();
    EXPECT_TRUE(poster.heldKeys().empty());
    EXPECT_TRUE(view.alerts.isEmpty());
}

TEST_F(AgentTest, PauseSkipsCommandsAndStopLogsItsTwoLinesAndClosesNormally) {
    agent.pauseTapped(); // before start-up and while disconnected: nothing at all
    launchConnected();
    const qsizetype mark = view.log.size();
    agent.pauseTapped();
    EXPECT_EQ(view.activity, paused);
    EXPECT_EQ(view.pauseTitle, QStringLiteral("พร้อมเล่นต่อ"));
    send(QStringLiteral(R"("key":" space\n")"));
    ASSERT_TRUE(eventually([&] { return view.log.size() == mark + 2; }));
    agent.pauseTapped();
    EXPECT_EQ(view.activity, armed);
    EXPECT_EQ(view.pauseTitle, QStringLiteral("พักรับคำสั่ง"));
    holdKeyDown();

    agent.stopTapped();
    EXPECT_TRUE(poster.heldKeys().empty());
    EXPECT_EQ(view.connection, notConnected);
    EXPECT_EQ(view.activity, paused);
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_FALSE(view.pauseEnabled);
    EXPECT_FALSE(view.stopEnabled);
    ASSERT_TRUE(eventually([&] { return relay.peer(0).closeCodeReceived().has_value(); }));
    EXPECT_EQ(relay.peer(0).closeCodeReceived(), 1000);
    // The executor's line for the held press may come from its thread at any point.
    QStringList lines = view.logSince(mark);
    lines.removeAll(QStringLiteral("[KEY] A ×1 ← Vindaro event"));
    EXPECT_EQ(lines,
              (QStringList{QStringLiteral("พักรับคำสั่งแล้ว"), QStringLiteral("พักอยู่ จึงข้ามคำสั่ง SPACE"),
                           QStringLiteral("พร้อมรับคำสั่ง — คลิกกลับเข้าเกมได้เลย"), stoppedLine,
                           agentStoppedLine}));
    EXPECT_TRUE(agent.currentSession()); // kept: connect reconnects with it

    const qsizetype stopped = view.log.size();
    agent.pauseTapped();
    EXPECT_EQ(view.log.size(), stopped);
    EXPECT_FALSE(agent.isArmed());
}

TEST_F(AgentTest, ALostConnectionReleasesKeysButStaysArmedWithOrWithoutReconnecting) {
    launchConnected();
    holdKeyDown();
    relay.lastPeer().drop();
    ASSERT_TRUE(eventually([&] { return !agent.isConnected(); }));
    EXPECT_TRUE(poster.heldKeys().empty());
    EXPECT_EQ(view.connection, (Line{QStringLiteral("🟡 หลุดชั่วคราว "
                                                    "กำลังเชื่อมใหม่…"),
                                     StatusColor::orange}));
    EXPECT_TRUE(view.log.last().endsWith(QStringLiteral(" — จะลองใหม่อัตโนมัติ")));
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_FALSE(view.pauseEnabled);
    EXPECT_FALSE(view.stopEnabled);
    EXPECT_EQ(view.activity, armed);

    // Back by itself, and pressing keys again without the user's action.
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    ASSERT_EQ(relay.peerCount(), 2);
    send(QStringLiteral(R"("key":"space","holdMs":20)"));
    ASSERT_TRUE(eventually([&] { return poster.events().back().code == keySpace; }));

    relay.lastPeer().close(1008);
    ASSERT_TRUE(eventually([&] { return view.connection == notConnected; }));
    EXPECT_EQ(view.log.last(), QStringLiteral("รหัสห้องหรือ Token ไม่ถูกต้อง"));
    EXPECT_TRUE(agent.isArmed());
    EXPECT_TRUE(view.connectEnabled);
}

TEST_F(AgentTest, WithdrawnPermissionDisarmsOnTheNextCommandAndBlocksConnect) {
    launchConnected();
    poster.setMayPostEvents(false);
    agent.applicationDidBecomeActive(); // shows it, but does not disarm
    const Line missing{QStringLiteral("🔴 ต้องอนุญาต Accessibility ก่อน"), StatusColor::red};
    EXPECT_EQ(view.permission, missing);
    EXPECT_FALSE(view.testEnabled);
    EXPECT_TRUE(agent.isArmed());

    const qsizetype mark = view.log.size();
    send(QStringLiteral(R"("key":"a")"));
    send(QStringLiteral(R"("key":"b")"));
    ASSERT_TRUE(eventually([&] { return view.log.size() == mark + 2; }));
    EXPECT_EQ(view.logSince(mark),
              (QStringList{QStringLiteral("สิทธิ์ Accessibility ถูกปิด จึงหยุดรับคำสั่ง"),
                           QStringLiteral("พักอยู่ จึงข้ามคำสั่ง B")}));
    EXPECT_EQ(view.activity, paused);
    EXPECT_EQ(view.pauseTitle, QStringLiteral("พร้อมเล่นต่อ"));
    EXPECT_TRUE(agent.isConnected());
    EXPECT_TRUE(poster.events().empty());

    // Without the permission nothing connects or presses; the settings open instead.
    agent.stopTapped();
    view.input = QStringLiteral("123456");
    agent.connectTapped();
    EXPECT_EQ(view.log.last(), QStringLiteral("ยังไม่ได้รับสิทธิ์ Accessibility"));
    agent.testSpaceTapped();
    agent.requestPermissionTapped();
    EXPECT_EQ(settings.opened, 3);
    EXPECT_EQ(view.log.last(), QStringLiteral("ยังไม่ได้รับสิทธิ์ Accessibility"));
    EXPECT_EQ(pairingService.requests().size(), 0);
    EXPECT_FALSE(agent.isArmed());

    poster.setMayPostEvents(true);
    agent.applicationDidBecomeActive();
    EXPECT_TRUE(view.testEnabled);
    agent.testSpaceTapped(); // works while stopped and disarmed
    const auto pressed = poster.waitForEvents(2, 20s);
    ASSERT_EQ(pressed.size(), 2u);
    EXPECT_EQ(pressed[0].code, keySpace);
    EXPECT_FALSE(agent.isArmed());
}

TEST_F(AgentTest, SleepAndScreenLockDisarmAndReleaseButKeepTheConnection) {
    launchConnected();
    const std::pair<std::function<void()>, QString> events[] = {
        {workspace.handlers.willSleep, QStringLiteral("Mac กำลังพัก — ปล่อยปุ่มทั้งหมดแล้ว")},
        {workspace.handlers.sessionDidResignActive, QStringLiteral("หน้าจอถูกล็อก — พักรับคำสั่งอัตโนมัติ")},
    };
    for (const auto& [event, line] : events) {
        holdKeyDown();
        event();
        EXPECT_TRUE(poster.heldKeys().empty());
        EXPECT_EQ(view.log.last(), line);
        EXPECT_EQ(view.activity, paused);
        EXPECT_EQ(view.connection, connected);
        EXPECT_TRUE(relay.lastPeer().isOpen());

        send(QStringLiteral(R"("key":"a")"));
        ASSERT_TRUE(
            eventually([&] { return view.log.last() == QStringLiteral("พักอยู่ จึงข้ามคำสั่ง A"); }));
        agent.pauseTapped(); // resume
    }
}

TEST_F(AgentTest, PairingStoresTheSessionReplacesTheLegacyPairingAndConnectsWithTheToken) {
    legacyPairings.save(storedPairing());
    launch();
    view.input = QStringLiteral(" 123456 \n");
    agent.connectTapped();
    EXPECT_EQ(
        view.connection,
        (Line{QStringLiteral("🟡 กำลังจับคู่เครื่อง…"),
              StatusColor::orange}));
    EXPECT_FALSE(view.connectEnabled);
    EXPECT_TRUE(view.stopEnabled);
    EXPECT_EQ(view.log.last(), QStringLiteral("กำลังตรวจสอบรหัสจับคู่ 6 หลัก…"));

    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    ASSERT_EQ(pairingService.requests().size(), 1);
    const QJsonObject body = QJsonDocument::fromJson(pairingService.requests()[0].body).object();
    EXPECT_EQ(body.value(u"code").toString(), QStringLiteral("123456"));
    EXPECT_EQ(body.value(u"installId").toString(),
              keychain.get(QStringLiteral("install-id-v2")).value_or(QString()));
    EXPECT_EQ(relay.requests().first().header("authorization"), "Bearer " + token.toUtf8());
    EXPECT_EQ(view.logSince(2),
              (QStringList{pairedLine, QStringLiteral("กำลังเชื่อม Session session_123…"),
                           QStringLiteral("เชื่อมต่อสำเร็จ — เปิดเกมและคลิกให้เกมเป็นหน้าต่างหลัก")}));
    EXPECT_TRUE(view.input.isEmpty());
    EXPECT_EQ(view.activity, armed);
    EXPECT_EQ(sessions.load(), agent.currentSession());
    EXPECT_FALSE(legacyPairings.load());
    EXPECT_FALSE(agent.currentPairing());
    for (const QString& line : view.log)
        EXPECT_FALSE(line.contains(token)) << line.toStdString();
}

TEST_F(AgentTest, PairingFailuresAreLoggedAndShownAndLeaveConnectEnabled) {
    launch();
    pairingService.plan({FakePairingService::Reply(409)});
    view.input = QStringLiteral("123456");
    agent.connectTapped();
    const QString refused = AgentError::pairingFailed(409).description();
    ASSERT_TRUE(eventually([&] { return !view.alerts.isEmpty(); }));
    EXPECT_EQ(view.alerts, QStringList{refused});
    EXPECT_EQ(view.log.last(), refused);
    EXPECT_EQ(view.connection, pairingFailed);
    EXPECT_TRUE(view.connectEnabled);
    EXPECT_FALSE(view.stopEnabled);

    // Paired, but the token cannot be kept: nothing logged, nothing connected, nothing stored.
    pairingService.plan({FakePairingService::Reply(200, pairingAnswer())});
    secrets.setRefusesWrites(true);
    const qsizetype mark = view.log.size();
    agent.connectTapped();
    ASSERT_TRUE(eventually([&] { return view.alerts.size() == 2; }));
    EXPECT_EQ(view.alerts.last(), QStringLiteral("บันทึกข้อมูลใน Keychain ไม่สำเร็จ"));
    EXPECT_EQ(view.logSince(mark), QStringList{QStringLiteral("กำลังตรวจสอบรหัสจับคู่ 6 หลัก…")});
    EXPECT_EQ(view.connection, pairingFailed);
    EXPECT_FALSE(agent.currentSession());
    EXPECT_FALSE(agent.isArmed());
    EXPECT_EQ(relay.requests().size(), 0);
}

TEST_F(AgentTest, APairingAbandonedByStopOrClearNeverAnswersForALaterOne) {
    launch();
    FakePairingService::Reply slow(200, pairingAnswer());
    slow.delay = 200ms;
    pairingService.plan({slow});
    view.input = QStringLiteral("111111");
    agent.connectTapped();
    ASSERT_TRUE(eventually([&] { return pairingService.requests().size() == 1; }));
    agent.stopTapped();
    EXPECT_FALSE(view.stopEnabled);
    EXPECT_TRUE(view.connectEnabled);

    // The abandoned pairing's answer (its cancellation) is still on its way when the next starts.
    view.input = QStringLiteral("222222");
    agent.connectTapped();
    agent.clearTapped();
    EXPECT_EQ(
        view.log.mid(view.log.size() - 3),
        (QStringList{stoppedLine, agentStoppedLine,
                     QStringLiteral("ล้างการจับคู่และ Token จาก Keychain แล้ว (คงรหัสติดตั้งเครื่องไว้)")}));
    view.input = QStringLiteral("333333");
    agent.connectTapped();
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    EXPECT_TRUE(view.alerts.isEmpty());
    EXPECT_EQ(view.log.count(pairedLine), 1);
    EXPECT_EQ(relay.requests().size(), 1);
}

TEST_F(AgentTest, ClearForgetsTheCredentialsButKeepsTheInstallationId) {
    launchConnected();
    secrets.store(QStringLiteral("net.vindaro.agent"), QStringLiteral("install-id-v2"),
                  "0f8e2d3c-4b5a-4697-8877-665544332211");
    legacyPairings.save(storedPairing());
    view.input = QStringLiteral("secret text");
    const qsizetype mark = view.log.size();
    agent.clearTapped();
    EXPECT_EQ(
        view.logSince(mark),
        (QStringList{stoppedLine, agentStoppedLine,
                     QStringLiteral("ล้างการจับคู่และ Token จาก Keychain แล้ว (คงรหัสติดตั้งเครื่องไว้)")}));
    EXPECT_FALSE(sessions.load());
    EXPECT_FALSE(legacyPairings.load());
    EXPECT_FALSE(agent.currentSession());
    EXPECT_TRUE(view.input.isEmpty());
    EXPECT_EQ(secrets.itemCount(), 1);

    agent.connectTapped(); // nothing left to connect with
    EXPECT_EQ(view.alerts, QStringList{AgentError::invalidPairingCode().description()});
}

TEST_F(AgentTest, TextThatIsNeitherACodeNorAGoodBundleNeverArms) {
    launch();
    const std::pair<QString, AgentError> cases[] = {
        {QString(), AgentError::invalidPairingCode()},
        {QStringLiteral("12345"), AgentError::invalidPairingCode()},
        {QStringLiteral("1234567"), AgentError::invalidPairingCode()},
        {QStringLiteral("12a456"), AgentError::invalidPairingCode()},
        {QStringLiteral("123 456"), AgentError::invalidPairingCode()},
        {QStringLiteral("١٢٣٤٥٦"), AgentError::invalidPairingCode()},
        {QStringLiteral("wss://www.vindaro.net/ws|ROOM1"), AgentError::invalidBundle()},
        {QStringLiteral("|||"), AgentError::missingCredentials()},
        {QStringLiteral("ws://vindaro.net/ws|ROOM1|TOKEN-xyz1"), AgentError::insecureServer()},
        {QStringLiteral("wss://evil.example/ws|ROOM1|TOKEN-xyz1"), AgentError::unsupportedHost()},
    };
    for (const auto& [text, error] : cases) {
        view.input = text;
        agent.connectTapped();
        EXPECT_EQ(view.alerts.last(), error.description()) << text.toStdString();
        EXPECT_EQ(view.input, text);
    }
    EXPECT_EQ(view.alerts.size(), static_cast<qsizetype>(std::size(cases)));
    EXPECT_TRUE(view.log.isEmpty());
    EXPECT_FALSE(agent.isArmed());
    EXPECT_EQ(view.activity, paused);
    EXPECT_FALSE(legacyPairings.load());
    EXPECT_EQ(pairingService.requests().size(), 0);
    EXPECT_EQ(proxy.requestedTunnels().size(), 0);

    // A bundle whose token cannot be kept is shown as such and connects nothing.
    secrets.setRefusesWrites(true);
    view.input = storedPairing().bundle();
    agent.connectTapped();
    EXPECT_EQ(view.alerts.last(), QStringLiteral("บันทึกข้อมูลใน Keychain ไม่สำเร็จ"));
    EXPECT_FALSE(agent.isArmed());
}

TEST_F(AgentTest, APastedBundleIsTrimmedStoredHiddenAndConnected) {
    sessions.save(storedSession());
    launch();
    view.input = QStringLiteral("typed");
    agent.pasteTapped(); // an empty clipboard leaves the field alone
    EXPECT_EQ(view.input, QStringLiteral("typed"));
    clipboard.text = QStringLiteral("  wss://www.vindaro.net/ws|ROOM1|TOKEN-xyz1 \r\n");
    agent.pasteTapped();
    EXPECT_EQ(view.input, QStringLiteral("wss://www.vindaro.net/ws|ROOM1|TOKEN-xyz1"));

    const qsizetype mark = view.log.size();
    agent.connectTapped();
    EXPECT_EQ(view.logSince(mark),
              (QStringList{QStringLiteral("ใช้ข้อมูล Agent รุ่นเดิม — Token ถูกซ่อนจากหน้าจอ"),
                           QStringLiteral("กำลังเชื่อมห้องรุ่นเดิม ROOM1…")}));
    EXPECT_TRUE(view.input.isEmpty());
    EXPECT_EQ(legacyPairings.load(), storedPairing());
    EXPECT_FALSE(sessions.load());
    EXPECT_FALSE(agent.currentSession());
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    for (const QString& line : view.log)
        EXPECT_FALSE(line.contains(QStringLiteral("TOKEN-xyz1"))) << line.toStdString();
}
