// The controller as the user sees it: the log, the status lines, the buttons and the alerts, with
// the real relay and pairing clients talking TLS to fake services and a poster that records keys.
#include "app/agent_test_fixture.h"
#include "model/agent_error.h"
#include "support/qt_printers.h"

#include <thread>

using namespace vindaro;
using namespace vindaro::test;

namespace {

const QString pairingFailed = line(QStringLiteral("🔴 จับคู่ไม่สำเร็จ"), StatusColor::red);
const QString clearedLine =
    QStringLiteral("ล้างการจับคู่และ Token จาก Keychain แล้ว (คงรหัสติดตั้งเครื่องไว้)");
const QString keychainFailed = QStringLiteral("บันทึกข้อมูลใน Keychain ไม่สำเร็จ");
const QString unreadableLine = QStringLiteral("อ่าน Keychain ไม่ได้ — ปลดล็อก Keychain แล้วกดเชื่อมต่อ");
constexpr std::uint16_t keySpace = 49;

} // namespace

// An unreadable keyring (locked, say) restores nothing until connect reads it again; then the
// stored session comes before the legacy pairing.
TEST_F(AgentTest, StartUpRestoresTheSessionFirstOnceTheKeyringCanBeRead) {
    store(sampleSession());
    store(samplePairing());
    secrets.setRefusal(MemorySecretStore::Refusal::everything);
    launch();
    EXPECT_EQ(view.log, QStringList{unreadableLine});
    EXPECT_FALSE(agent.currentSession());
    EXPECT_EQ(view.permission,
              line(QStringLiteral("🟢 Accessibility พร้อมใช้งาน"),
                   StatusColor::green));
    EXPECT_EQ(view.buttons(), QStringLiteral("connect test"));

    secrets.setRefusal(MemorySecretStore::Refusal::none);
    secrets.holdAnswers(true);
    agent.connectTapped();
    agent.connectTapped(); // a second tap while the keyring is asked starts nothing
    EXPECT_EQ(secrets.heldCalls(), 1);
    EXPECT_EQ(view.buttons(), QStringLiteral("stop test"));
    secrets.holdAnswers(false);
    secrets.answerHeld();
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    EXPECT_EQ(view.log.mid(1),
              (QStringList{QStringLiteral("พบการจับคู่เครื่องนี้แล้ว กดเชื่อมต่อเพื่อใช้งานต่อ"),
                           QStringLiteral("กำลังเชื่อม Session session_123…"),
                           QStringLiteral("เชื่อมต่อสำเร็จ — เปิดเกมและคลิกให้เกมเป็นหน้าต่างหลัก")}));
    EXPECT_EQ(relay.requests().first().header("authorization"), "Bearer " + sampleToken.toUtf8());
    EXPECT_EQ(view.buttons(), QStringLiteral("pause stop test"));
}

TEST_F(AgentTest, TheGateSkipsClampsAndDefaultsEachCommand) {
    launchConnected();
    struct Case {
        const char* fields;
        const char* logLine; // the controller's, or the executor's for a press
        int presses;
        long holdMs;
    };
    const Case cases[] = {
        {R"("key":" f13\n")", "ข้ามปุ่มที่ไม่รองรับ: F13", 0, 0},
        {R"("key":"a")", "[KEY] A ×1 ← Vindaro event", 1, 80},
        {R"("key":"a","pressCount":0,"holdMs":19,"source":"")", "[KEY] A ×1 ← Vindaro event", 1,
         20},
        {R"("key":"a","pressCount":-5,"source":" ")", "[KEY] A ×1 ←  ", 1, 80},
        {R"("key":"a","pressCount":21,"holdMs":20,"source":"gift")", "[KEY] A ×20 ← gift", 20, 20},
        {R"("key":"a","holdMs":60000)", "[KEY] A ×1 ← Vindaro event", 1, 3000},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.fields);
        view.log.clear();
        const std::size_t before = poster.events().size();
        const std::size_t after = before + 2 * std::size_t(c.presses);
        send(QString::fromUtf8(c.fields));
        ASSERT_TRUE(
            eventually([&] { return !view.log.isEmpty() && poster.events().size() >= after; }));
        EXPECT_EQ(view.log, QStringList{QString::fromUtf8(c.logLine)});
        const auto events = poster.events();
        ASSERT_EQ(events.size(), after);
        for (std::size_t i = before; i + 1 < events.size(); i += 2) {
            // Held at least as asked, and less than the next half second a wrong clamp would add.
            const auto held = (events[i + 1].time - events[i].time) / 1ms;
            EXPECT_TRUE(held >= c.holdMs && held < c.holdMs + 500) << held;
        }
    }

    // The queue takes a hundred commands; the next is refused, and the test button says so.
    poster.holdBackKeyDowns();
    for (int i = 0; i < 101; ++i)
        send(QStringLiteral(R"("key":" space ")"));
    const QString full = QStringLiteral("คิวคำสั่งเต็ม — ข้าม SPACE");
    ASSERT_TRUE(eventually([&] { return view.log.contains(full); }));
    EXPECT_EQ(view.log.count(full), 1);
    agent.testSpaceTapped();
    EXPECT_EQ(view.log.last(), QStringLiteral("คิวเต็ม กรุณากดหยุดแล้วลองใหม่"));
    poster.releaseKeyDowns(); // stop waits for a key-down on its way
    agent.stopTapped();
    EXPECT_TRUE(poster.heldKeys().empty());
    EXPECT_TRUE(view.alerts.isEmpty());
}

TEST_F(AgentTest, ALostConnectionReleasesKeysButStaysArmedWithOrWithoutReconnecting) {
    launchConnected();
    holdKeyDown();
    relay.lastPeer().drop();
    ASSERT_TRUE(eventually([&] { return !agent.isConnected(); }));
    EXPECT_TRUE(poster.heldKeys().empty());
    EXPECT_EQ(view.connection, line(QStringLiteral("🟡 หลุดชั่วคราว "
                                                   "กำลังเชื่อมใหม่…"),
                                    StatusColor::orange));
    // Armed while it reconnects, so it can be stopped and paused; paused, it can still be stopped.
    EXPECT_EQ(view.buttons(), QStringLiteral("connect pause stop test"));
    EXPECT_EQ(view.activity, armed);
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    agent.pauseTapped();
    relay.lastPeer().drop();
    ASSERT_TRUE(eventually([&] { return !agent.isConnected(); }));
    EXPECT_EQ(view.buttons(), QStringLiteral("connect stop test"));

    // Back by itself, and pressing keys again without the user's action.
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    agent.pauseTapped();
    send(QStringLiteral(R"("key":"space","holdMs":20)"));
    ASSERT_TRUE(eventually(
        [&] { return !poster.events().empty() && poster.events().back().code == keySpace; }));
    EXPECT_TRUE(notifications.shown.isEmpty());

    // An ending the streamer did not ask for is news.
    relay.lastPeer().close(1008);
    ASSERT_TRUE(eventually([&] { return view.connection == notConnected; }));
    EXPECT_EQ(view.log.last(), QStringLiteral("รหัสห้องหรือ Token ไม่ถูกต้อง"));
    EXPECT_EQ(notifications.shown,
              QStringList{QStringLiteral("การเชื่อมต่อ Vindaro สิ้นสุด: รหัสห้องหรือ Token ไม่ถูกต้อง")});
    EXPECT_EQ(view.buttons(), QStringLiteral("connect pause stop test")); // still armed
    agent.pauseTapped();
    EXPECT_EQ(view.buttons(), QStringLiteral("connect test"));
}

// Pause, sleep, screen lock, a lost compositor and a withdrawn permission each let go and skip
// commands until the streamer resumes; the connection stays. Only what the streamer did not do is
// notified.
TEST_F(AgentTest, PauseSleepLockAndAWithdrawnPermissionEachDisarmAndReleaseButKeepTheConnection) {
    launchConnected();
    EXPECT_EQ(view.pauseTitle, QStringLiteral("พักรับคำสั่ง"));
    const std::pair<std::function<void()>, QString> events[] = {
        {[&] { agent.pauseTapped(); }, QStringLiteral("พักรับคำสั่งแล้ว")},
        {workspace.handlers.willSleep, QStringLiteral("Mac กำลังพัก — ปล่อยปุ่มทั้งหมดแล้ว")},
        {workspace.handlers.sessionDidResignActive, QStringLiteral("หน้าจอถูกล็อก — พักรับคำสั่งอัตโนมัติ")},
        {[&] { agent.keyOutputLost(QStringLiteral("ส่งคีย์ไม่ได้")); }, QStringLiteral("ส่งคีย์ไม่ได้")},
    };
    for (const auto& [event, logLine] : events) {
        holdKeyDown();
        notifications.shown.clear();
        // The machine sleeps once the controller returns: the key-up must have arrived by then.
        poster.stallDelivery();
        std::thread resume([&] {
            std::this_thread::sleep_for(50ms);
            poster.resumeDelivery();
        });
        event();
        EXPECT_TRUE(poster.heldKeys().empty() || logLine != events[1].second);
        resume.join();
        EXPECT_TRUE(poster.heldKeys().empty());
        EXPECT_EQ(view.log.last(), logLine);
        EXPECT_EQ(view.activity, paused);
        EXPECT_EQ(view.pauseTitle, QStringLiteral("พร้อมเล่นต่อ"));
        EXPECT_EQ(view.connection, connected);
        EXPECT_EQ(notifications.shown,
                  logLine == events[0].second
                      ? QStringList()
                      : QStringList{QStringLiteral("Vindaro Agent พักรับคำสั่ง: ") + logLine});
        if (logLine != events[0].second)
            event(); // again while paused: nothing new to notify
        EXPECT_LE(notifications.shown.size(), 1);
        send(QStringLiteral(R"("key":"a")"));
        ASSERT_TRUE(
            eventually([&] { return view.log.last() == QStringLiteral("พักอยู่ จึงข้ามคำสั่ง A"); }));
        agent.pauseTapped(); // resume
        EXPECT_EQ(view.log.last(), QStringLiteral("พร้อมรับคำสั่ง — คลิกกลับเข้าเกมได้เลย"));
        EXPECT_EQ(view.activity, armed);
    }

    poster.setMayPostEvents(false);
    agent.applicationDidBecomeActive(); // shows it, but does not disarm
    EXPECT_EQ(view.permission,
              line(QStringLiteral("🔴 ต้องอนุญาต Accessibility ก่อน"), StatusColor::red));
    EXPECT_EQ(view.buttons(), QStringLiteral("pause stop"));
    view.log.clear();
    send(QStringLiteral(R"("key":"a")"));
    send(QStringLiteral(R"("key":"b")"));
    ASSERT_TRUE(eventually([&] { return view.log.size() == 2; }));
    EXPECT_EQ(view.log, (QStringList{QStringLiteral("สิทธิ์ Accessibility ถูกปิด จึงหยุดรับคำสั่ง"),
                                     QStringLiteral("พักอยู่ จึงข้ามคำสั่ง B")}));
    EXPECT_EQ(view.activity, paused);

    // Without the permission nothing pairs or presses; the settings open instead.
    agent.stopTapped();
    view.input = QStringLiteral("123456");
    agent.connectTapped();
    EXPECT_EQ(view.log.last(), QStringLiteral("ยังไม่ได้รับสิทธิ์ Accessibility"));
    agent.testSpaceTapped();
    agent.requestPermissionTapped();
    EXPECT_EQ(settings.opened, 3);
    EXPECT_EQ(pairingService.requests().size(), 0);
    poster.setMayPostEvents(true);
    agent.testSpaceTapped(); // while stopped and disarmed
    ASSERT_TRUE(eventually([&] {
        const auto posted = poster.events();
        return !posted.empty() && posted.back().code == keySpace &&
               posted.back().direction == KeyDirection::up;
    }));
}

// The code may be typed the moment the window opens, while the stored pairing is still being read.
TEST_F(AgentTest, PairingStoresTheSessionReplacesTheLegacyPairingAndConnectsWithTheToken) {
    store(samplePairing());
    secrets.holdAnswers(true);
    agent.applicationDidFinishLaunching(view);
    EXPECT_EQ(view.buttons(), QStringLiteral("connect test"));
    view.input = QStringLiteral(" 123456 \n");
    agent.connectTapped();
    secrets.holdAnswers(false);
    secrets.answerHeld();
    settle();
    EXPECT_EQ(view.connection,
              line(QStringLiteral("🟡 กำลังจับคู่เครื่อง…"),
                   StatusColor::orange));
    EXPECT_EQ(view.buttons(), QStringLiteral("stop test"));

    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    ASSERT_EQ(pairingService.requests().size(), 1);
    EXPECT_TRUE(pairingService.requests()[0].body.contains(R"("code":"123456")")); // trimmed
    EXPECT_EQ(view.log.mid(2, 2),
              (QStringList{QStringLiteral("จับคู่เครื่องสำเร็จ — Token ถูกเก็บใน Keychain"),
                           QStringLiteral("กำลังเชื่อม Session session_123…")}));
    EXPECT_TRUE(view.input.isEmpty());
    EXPECT_EQ(storedSessionNow(), agent.currentSession());
    EXPECT_FALSE(defaults.contains(QStringLiteral("vindaro.agent.server")));
    EXPECT_FALSE(
        secrets.contains(QStringLiteral("net.vindaro.agent"), QStringLiteral("agent-token")));
    EXPECT_FALSE(view.log.join(u'\n').contains(sampleToken));
}

TEST_F(AgentTest, PairingFailuresAndAbandonedPairingsLeaveNothingBehind) {
    launch();
    pairingService.plan({FakePairingService::Reply(409)});
    view.input = QStringLiteral("123456");
    agent.connectTapped();
    const QString refused = AgentError::pairingFailed(409).description();
    ASSERT_TRUE(eventually([&] { return !view.alerts.isEmpty(); }));
    EXPECT_EQ(view.alerts, QStringList{refused});
    EXPECT_EQ(view.log.last(), refused);
    EXPECT_EQ(view.connection, pairingFailed);
    EXPECT_EQ(view.buttons(), QStringLiteral("connect test"));

    // Paired, but the token cannot be kept: nothing connected or stored, not even the session's
    // settings without their token, and the log says so.
    pairingService.plan({FakePairingService::Reply(200, pairingAnswer())});
    secrets.setRefusesWrites(true);
    view.log.clear();
    agent.connectTapped();
    ASSERT_TRUE(eventually([&] { return view.alerts.size() == 2; }));
    EXPECT_EQ(view.alerts.last(), keychainFailed);
    EXPECT_EQ(view.log, (QStringList{QStringLiteral("กำลังตรวจสอบรหัสจับคู่ 6 หลัก…"),
                                     QStringLiteral("บันทึกการจับคู่ใหม่ไม่สำเร็จ — "
                                                    "ยังไม่มีการจับคู่ที่เก็บไว้")}));
    EXPECT_FALSE(agent.currentSession());
    EXPECT_FALSE(defaults.contains(QStringLiteral("vindaro.agent.v2.ws-url")));
    secrets.setRefusesWrites(false);

    // Stop and quitting abandon a pairing; its answer, still on its way when the next pairing
    // starts, must never pass for that one's, nor raise an alert while the agent quits.
    const auto postedSoFarRan = [] {
        bool ran = false;
        QMetaObject::invokeMethod(
            qApp, [&] { ran = true; }, Qt::QueuedConnection);
        return eventually([&] { return ran; });
    };
    FakePairingService::Reply slow(200, pairingAnswer());
    slow.delay = 200ms;
    pairingService.plan({slow});
    agent.connectTapped();
    ASSERT_TRUE(eventually([&] { return agent.isPairing(); }));
    secrets.holdAnswers(true);
    agent.stopTapped();
    EXPECT_EQ(view.buttons(), QStringLiteral("connect test"));
    agent.connectTapped();
    secrets.holdAnswers(false);
    secrets.answerHeld(); // the next pairing starts before the stopped one's cancellation is in
    ASSERT_TRUE(postedSoFarRan());
    EXPECT_TRUE(agent.isPairing());
    agent.applicationWillTerminate();
    EXPECT_FALSE(agent.isPairing());
    ASSERT_TRUE(postedSoFarRan());
    EXPECT_EQ(view.alerts.size(), 2);
    view.input = QStringLiteral("123456");
    agent.connectTapped();
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    EXPECT_EQ(view.alerts.size(), 2);
    EXPECT_EQ(relay.requests().size(), 1);
}

TEST_F(AgentTest, ABundleIsTrimmedStoredHiddenAndConnectedAndAnythingElseNeverArms) {
    const std::pair<QString, AgentError> cases[] = {
        {QString(), AgentError::invalidPairingCode()},
        {QStringLiteral("1234567"), AgentError::invalidPairingCode()},
        {QStringLiteral("|||"), AgentError::missingCredentials()},
        {QStringLiteral("wss://evil.example/ws|ROOM1|TOKEN-xyz1"), AgentError::unsupportedHost()},
    };
    // A stored session the rules no longer accept is silently absent; the legacy pairing is next.
    store(sampleSession());
    defaults.setInteger(QStringLiteral("vindaro.agent.v2.protocol"), 3);
    store(samplePairing());
    launch();
    EXPECT_EQ(view.log, QStringList{QStringLiteral("พบข้อมูล Agent รุ่นเดิมของห้อง ROOM1")});
    agent.clearTapped();
    settle();
    view.log.clear();
    for (const auto& [text, error] : cases) {
        view.input = text;
        agent.connectTapped();
        EXPECT_EQ(view.alerts.last(), error.description()) << text.toStdString();
    }
    EXPECT_TRUE(view.log.isEmpty());
    EXPECT_EQ(proxy.requestedTunnels().size(), 0);

    clipboard.text = QStringLiteral("  ") + sampleBundle + QStringLiteral(" \r\n");
    agent.pasteTapped();
    EXPECT_EQ(view.input, sampleBundle);
    agent.connectTapped();
    settle();
    EXPECT_EQ(view.log, (QStringList{QStringLiteral("ใช้ข้อมูล Agent รุ่นเดิม — Token ถูกซ่อนจากหน้าจอ"),
                                     QStringLiteral("กำลังเชื่อมห้องรุ่นเดิม ROOM1…")}));
    EXPECT_TRUE(view.input.isEmpty());
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    EXPECT_EQ(relay.requests().first().query, "role=agent&sessionId=ROOM1&token=TOKEN-xyz1");
    EXPECT_FALSE(view.log.join(u'\n').contains(sampleLegacyToken));
}

// Stop drops only what was to follow a keyring flow: the flow itself ends, and the agent then
// holds what the keyring holds, so the next connect uses that.
TEST_F(AgentTest, StopAndClearWorkWhileTheKeyringWaits) {
    launch();
    secrets.holdAnswers(true);
    view.input = QStringLiteral("123456");
    agent.connectTapped(); // the installation id waits on the prompt
    agent.stopTapped();
    secrets.holdAnswers(false);
    secrets.answerHeld();
    settle();
    EXPECT_FALSE(agent.isPairing());

    agent.connectTapped();
    ASSERT_TRUE(eventually([&] { return agent.isPairing(); }));
    secrets.holdAnswers(true);
    ASSERT_TRUE(eventually([&] { return secrets.heldCalls() > 0; })); // the save waits
    agent.stopTapped();
    EXPECT_EQ(view.buttons(), QStringLiteral("stop test"));
    secrets.holdAnswers(false);
    secrets.answerHeld();
    settle();
    EXPECT_EQ(view.log.last(), QStringLiteral("จับคู่เครื่องสำเร็จ — Token ถูกเก็บใน Keychain"));
    EXPECT_EQ(agent.currentSession(), storedSessionNow());
    EXPECT_EQ(relay.requests().size(), 0);
    agent.connectTapped();
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));

    secrets.holdAnswers(true);
    agent.clearTapped();
    agent.stopTapped();
    secrets.holdAnswers(false);
    secrets.answerHeld();
    settle();
    EXPECT_EQ(view.log.last(), clearedLine);
    EXPECT_FALSE(agent.currentSession());
    EXPECT_EQ(secrets.itemCount(), 1); // the installation id
    agent.connectTapped();
    EXPECT_EQ(view.alerts, QStringList{AgentError::invalidPairingCode().description()});
    EXPECT_EQ(relay.requests().size(), 1);
}
