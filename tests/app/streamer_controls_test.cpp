// What the streamer decides beyond connecting: the one window keys may go to, the ways to stop at
// once, the keys viewers may not press, and the notifications they must not miss.
#include "app/agent_test_fixture.h"
#include "support/qt_printers.h"

using namespace vindaro;
using namespace vindaro::test;

TEST_F(AgentTest, APinnedWindowTakesTheKeysAloneLosingTheFocusLetsGoAndItsClosingIsNotified) {
    launchConnected();
    EXPECT_TRUE(view.pinEnabled);
    agent.pinTapped();
    EXPECT_EQ(focus.choosingFor, std::optional(std::chrono::milliseconds(10s)));
    focus.handlers.pinned(QStringLiteral("เกม <b>Quest</b>"));
    EXPECT_EQ(view.pin,
              line(QStringLiteral("🎯 ส่งคีย์เฉพาะหน้าต่าง: เกม <b>Quest</b>"), StatusColor::green));
    EXPECT_EQ(view.pinTitle, QStringLiteral("ยกเลิกล็อกหน้าต่าง"));

    // Another window in front: the command is skipped, and nothing goes down.
    focus.destination = KeyDestination::pinnedWindowNotFocused;
    send(QStringLiteral(R"("key":"b")"));
    ASSERT_TRUE(eventually(
        [&] { return view.log.last() == QStringLiteral("หน้าต่างเกมไม่ได้อยู่ด้านหน้า จึงข้ามคำสั่ง B"); }));
    EXPECT_TRUE(poster.events().empty());
    // The agent's own window in front: a run of viewers' keys is skipped with one line; the
    // streamer's test press still goes out.
    focus.destination = KeyDestination::agentWindowFocused;
    send(QStringLiteral(R"("key":"b")"));
    send(QStringLiteral(R"("key":"c")"));
    agent.testSpaceTapped();
    ASSERT_TRUE(eventually([&] { return poster.events().size() == 2; })); // SPACE down, up
    EXPECT_EQ(
        view.log.filter(QStringLiteral("Agent อยู่ด้านหน้า")),
        QStringList{QStringLiteral("หน้าต่างของ Agent อยู่ด้านหน้า จึงข้ามคำสั่ง B — คลิกหน้าต่างเกมก่อน")});
    focus.destination = KeyDestination::allowed;

    // The focus moves to another window mid-hold: the key comes up, and the agent stays armed.
    holdKeyDown();
    focus.handlers.focusLeftPinnedWindow();
    EXPECT_TRUE(poster.heldKeys().empty());
    EXPECT_TRUE(agent.isArmed());

    focus.handlers.pinnedWindowClosed();
    const QString closed = QStringLiteral("หน้าต่างเกมที่ล็อกไว้ถูกปิด — งดส่งคีย์จนกว่าจะล็อกใหม่หรือยกเลิกล็อก");
    EXPECT_EQ(view.log.last(), closed);
    EXPECT_EQ(notifications.shown, QStringList{QStringLiteral("หน้าต่างเกมที่ล็อกไว้ถูกปิด: ") + closed});
    EXPECT_EQ(view.pinTitle, QStringLiteral("ยกเลิกล็อกหน้าต่าง")); // what pressing it does
    focus.destination = KeyDestination::pinnedWindowClosed;
    send(QStringLiteral(R"("key":"b")"));
    ASSERT_TRUE(
        eventually([&] { return view.log.last() == QStringLiteral("หน้าต่างเกมถูกปิด จึงข้ามคำสั่ง B"); }));
    agent.pinTapped();
    EXPECT_FALSE(focus.choosingFor);
    EXPECT_EQ(view.log.last(), QStringLiteral("ยกเลิกล็อกหน้าต่างแล้ว — ส่งคีย์ไปยังหน้าต่างที่อยู่ด้านหน้า"));
    EXPECT_EQ(view.pinTitle, QStringLiteral("ล็อกหน้าต่างเกม"));
}

// The button, Pause in the game and `vindaro-agent --stop` each let go at once, close the
// connection normally and keep the session; only the two from outside the window are notified.
TEST_F(AgentTest, TheStopButtonThePauseKeyAndTheStopCommandEachStopEverything) {
    launchConnected();
    EXPECT_EQ(view.stopKey,
              line(QStringLiteral("⌨️ กด Pause เพื่อหยุดทันที"),
                   StatusColor::green));
    // Taken again after a keymap change, and held by another program now: said at once.
    stopKey.current = StopKey::State::takenByAnotherProgram;
    stopKey.changed();
    EXPECT_TRUE(view.log.last().contains(QStringLiteral("ถูกโปรแกรมอื่นจองไว้")));
    EXPECT_EQ(view.stopKey, line(view.log.last(), StatusColor::orange));
    const std::pair<std::function<void()>, QString> stops[] = {
        {[&] { agent.stopTapped(); }, QString()},
        {[&] { stopKey.pressed(); }, QStringLiteral("กด Pause — หยุดทันที")},
        {[&] { agent.stopRequested(); }, QStringLiteral("ได้รับคำสั่ง vindaro-agent --stop — หยุดทันที")},
    };
    for (const auto& [stop, why] : stops) {
        SCOPED_TRACE(why.toStdString());
        if (!agent.isConnected()) {
            agent.connectTapped(); // with the kept session
            ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
        }
        holdKeyDown();
        view.log.clear();
        stop();
        EXPECT_TRUE(poster.heldKeys().empty());
        // The executor's line for the held press comes from its thread, at any point.
        view.log.removeAll(QStringLiteral("[KEY] A ×1 ← Vindaro event"));
        const QStringList said = why.isEmpty() ? QStringList() : QStringList{why};
        EXPECT_EQ(view.log, said + stopLines);
        EXPECT_EQ(view.buttons(), QStringLiteral("connect test"));
        EXPECT_EQ(view.activity, paused);
        EXPECT_EQ(notifications.shown,
                  why.isEmpty() ? QStringList()
                                : QStringList{QStringLiteral("Vindaro Agent หยุดแล้ว: ") + why});
        notifications.shown.clear();
        ASSERT_TRUE(eventually([&] { return relay.lastPeer().closeCodeReceived() == 1000; }));
        EXPECT_TRUE(agent.currentSession());
    }
}

TEST_F(AgentTest, KeysTheStreamerBlocksAreNeverQueuedAndTheListIsKept) {
    defaults.setString(QStringLiteral("vindaro.agent.blocked-keys"), QStringLiteral("B")); // kept
    launchConnected();
    EXPECT_EQ(view.blockedKeys, QStringLiteral("B"));
    send(QStringLiteral(R"("key":"b")"));
    ASSERT_TRUE(eventually([&] { return view.log.last() == QStringLiteral("ข้ามปุ่มที่ห้ามผู้ชมกด: B"); }));
    view.blockedKeys = QStringLiteral(" enter, Esc  t,ENTER ");
    agent.blockedKeysEdited();
    EXPECT_EQ(view.blockedKeys, QStringLiteral("ENTER, ESC, T"));
    EXPECT_EQ(view.log.last(), QStringLiteral("ห้ามผู้ชมกด: ENTER, ESC, T"));
    EXPECT_EQ(defaults.string(QStringLiteral("vindaro.agent.blocked-keys")), view.blockedKeys);

    // A name outside the key map is refused, and the list in force stays as it was.
    view.blockedKeys = QStringLiteral("T, F13, pause");
    agent.blockedKeysEdited();
    EXPECT_EQ(view.alerts.last(),
              QStringLiteral("ไม่รู้จักปุ่ม F13, pause — ใช้ชื่อปุ่มที่ Agent รองรับ เช่น ENTER, ESC, T, F1"));
    EXPECT_EQ(view.blockedKeys, QStringLiteral("ENTER, ESC, T"));

    send(QStringLiteral(R"("key":" t ")"));
    send(QStringLiteral(R"("key":"a")"));
    ASSERT_TRUE(eventually([&] { return poster.events().size() == 2; }));
    EXPECT_TRUE(view.log.contains(QStringLiteral("ข้ามปุ่มที่ห้ามผู้ชมกด: T")));
    EXPECT_EQ(poster.events().front().code, 0); // A

    view.blockedKeys.clear();
    agent.blockedKeysEdited();
    EXPECT_EQ(view.log.last(), QStringLiteral("ผู้ชมกดได้ทุกปุ่มที่รองรับ"));
    EXPECT_FALSE(defaults.contains(QStringLiteral("vindaro.agent.blocked-keys")));
}

TEST_F(AgentTest, WithoutFocusInformationThePinIsOfferedNowhere) {
    focus.pinnable = false;
    stopKey.current = StopKey::State::needsDesktopShortcut;
    launch();
    EXPECT_FALSE(view.pinEnabled);
    EXPECT_EQ(view.pin, line(QStringLiteral("เดสก์ท็อปนี้ไม่บอกว่าหน้าต่างไหนอยู่ด้านหน้า จึงล็อกหน้าต่างเกมไม่ได้"),
                             StatusColor::secondary));
    EXPECT_EQ(view.stopKey, line(QStringLiteral("⌨️ ตั้งปุ่มลัด Pause "
                                                "ของเดสก์ท็อปให้สั่ง "
                                                "vindaro-agent "
                                                "--stop เพื่อหยุดทันที"),
                                 StatusColor::secondary));
    agent.pinTapped();
    EXPECT_FALSE(focus.choosingFor);
}
