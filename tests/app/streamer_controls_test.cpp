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
        // The panel's item tells a stop from outside the window from the streamer's own.
        EXPECT_EQ(agent.state().halted, !why.isEmpty());
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

namespace {

// Sent after a command: once its line is in the log, the command before it was handled.
const QString marker = QStringLiteral(R"("key":"nokey")");
const QString markerLine = QStringLiteral("ข้ามปุ่มที่ไม่รองรับ: NOKEY");
const QString coolingA = QStringLiteral("ข้ามคำสั่ง A — ปุ่มนี้ยังอยู่ในช่วงพัก (ที่ข้ามต่อเนื่องจะไม่บันทึกซ้ำ)");
QString capped(const char* key) {
    return QStringLiteral("ข้ามคำสั่ง %1 — ครบจำนวนคำสั่งต่อนาทีแล้ว (ที่ข้ามต่อเนื่องจะไม่บันทึกซ้ำ)")
        .arg(QString::fromLatin1(key));
}

} // namespace

// A key rests after each command let through; the cap counts only those, over the last sixty
// seconds; a run of skips says why once; the limits are kept for the next run.
TEST_F(AgentTest, CooldownAndCapSkipLoggingOncePerRunAndOutlastARestart) {
    launchConnected();
    view.limits[0] = QStringLiteral(" 1000");
    view.limits[1] = QStringLiteral("3");
    agent.limitsEdited();
    EXPECT_EQ(view.log.mid(view.log.size() - 2),
              (QStringList{QStringLiteral("ปุ่มเดียวกันต้องเว้น 1000 ms ก่อนรับคำสั่งถัดไป"),
                           QStringLiteral("รับคำสั่งผู้ชมไม่เกิน 3 คำสั่งต่อนาที")}));
    view.log.clear();
    const auto sendAndSettle = [&](const char* key) {
        send(QStringLiteral(R"("key":"%1","holdMs":20)").arg(QString::fromLatin1(key)));
        send(marker);
        ASSERT_TRUE(eventually([&] { return view.log.removeAll(markerLine) == 1; }));
    };
    sendAndSettle("a");
    limitsNow += 999ms;
    sendAndSettle("a");
    sendAndSettle("a");
    sendAndSettle("b"); // another key is not resting
    limitsNow += 1ms;
    sendAndSettle("a"); // rested: the third let through
    sendAndSettle("c");
    limitsNow += 58s;
    sendAndSettle("d");
    limitsNow += 1s; // the first A is a minute old
    sendAndSettle("e");
    ASSERT_TRUE(eventually([&] {
        return poster.events().size() == 8 && view.log.filter(QStringLiteral("[KEY]")).size() == 4;
    }));
    QStringList pressed, skips;
    for (const QString& entry : std::as_const(view.log))
        (entry.startsWith(u"[KEY]") ? pressed : skips) << entry.mid(6, 1);
    EXPECT_EQ(pressed.join(QString()), QStringLiteral("ABAE"));
    view.log.removeIf([](const QString& entry) { return entry.startsWith(u"[KEY]"); });
    EXPECT_EQ(view.log, (QStringList{coolingA, capped("C")}));
    EXPECT_EQ(defaults.integer(QStringLiteral("vindaro.agent.cooldown-ms")), 1000);

    // The next run reads them back.
    RecordingView nextView;
    AgentAppDelegate next({poster, secretStore, userDefaults, clipboard, settings, workspace, focus,
                           stopKey, notifications});
    next.applicationDidFinishLaunching(nextView);
    EXPECT_EQ(nextView.limits[0], QStringLiteral("1000"));
    EXPECT_EQ(nextView.limits[1], QStringLiteral("3"));
    next.applicationWillTerminate();
}

TEST_F(AgentTest, LimitsOutsideTheirBoundsAreRefusedWhenTypedAndOffWhenStored) {
    defaults.setInteger(QStringLiteral("vindaro.agent.cooldown-ms"), 60001);
    defaults.setInteger(QStringLiteral("vindaro.agent.commands-per-minute"), 600);
    launch();
    EXPECT_EQ(view.limits[0], QString());
    EXPECT_EQ(view.limits[1], QStringLiteral("600"));
    EXPECT_TRUE(view.log.contains(QStringLiteral("ค่าจำกัดคำสั่งที่บันทึกไว้อยู่นอกช่วงที่ใช้ได้ จึงปิดค่านั้นไว้")));

    const QString cooldownRefused =
        QStringLiteral("ช่วงพักของปุ่มต้องเป็นจำนวนเต็ม 0–60000 ms หรือเว้นว่างเพื่อปิด");
    const QString capRefused = QStringLiteral("จำนวนคำสั่งต่อนาทีต้องเป็นจำนวนเต็ม 1–600 หรือเว้นว่างเพื่อปิด");
    const std::tuple<const char*, const char*, QStringList> typed[] = {
        {"-1", "601", {cooldownRefused, capRefused}},
        {"60001", "0", {cooldownRefused, capRefused}},
        {"1.5", "abc", {cooldownRefused, capRefused}},
        {"60000", "1", {}},
        {"0", "", {}},
    };
    for (const auto& [cooldown, cap, alerts] : typed) {
        view.alerts.clear();
        view.limits[0] = QString::fromLatin1(cooldown);
        view.limits[1] = QString::fromLatin1(cap);
        agent.limitsEdited();
        EXPECT_EQ(view.alerts, alerts) << cooldown << ' ' << cap;
    }
    // Each refused value left the one in force standing, in the field and the settings.
    EXPECT_EQ(view.limits[0], QStringLiteral("0"));
    EXPECT_EQ(view.limits[1], QString());
    EXPECT_EQ(defaults.integer(QStringLiteral("vindaro.agent.cooldown-ms")), 0);
    EXPECT_FALSE(defaults.contains(QStringLiteral("vindaro.agent.commands-per-minute")));
    EXPECT_EQ(view.log.last(), QStringLiteral("ไม่จำกัดจำนวนคำสั่งต่อนาที"));
}

// A raid's flood against a cap of 60 a minute: exactly 60 presses in the minute, none queued
// beyond, one line in the log; a minute later the next command goes through.
TEST_F(AgentTest, ATenThousandCommandFloodUnderACapOfSixtyPressesSixty) {
    launchConnected();
    view.limits[1] = QStringLiteral("60");
    agent.limitsEdited();
    view.log.clear();
    for (int i = 0; i < 10000; ++i)
        send(QStringLiteral(R"("key":"a","holdMs":20)"));
    send(marker);
    ASSERT_TRUE(eventually([&] { return view.log.contains(markerLine); }));
    limitsNow += 59s;
    send(QStringLiteral(R"("key":"b","holdMs":20)"));
    ASSERT_TRUE(eventually([&] { return poster.events().size() == 120; }));
    limitsNow += 1s;
    send(QStringLiteral(R"("key":"c","holdMs":20)"));
    ASSERT_TRUE(eventually([&] {
        return poster.events().size() == 122 &&
               view.log.filter(QStringLiteral("[KEY] C")).size() == 1;
    }));
    EXPECT_EQ(view.log.filter(QStringLiteral("[KEY] A")).size(), 60);
    EXPECT_EQ(view.log.filter(QStringLiteral("ข้ามคำสั่ง")).size(), 1);
    EXPECT_TRUE(view.log.contains(capped("A")));
}
