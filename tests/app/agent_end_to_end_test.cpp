// The real agent, as a user runs it: its window on an X server of its own, its token in a real
// gnome-keyring (the test runs in a private D-Bus session), and the service played by fakes that
// are vindaro.net for this process and its children only: a private network and mount namespace
// where vindaro.net is 127.0.0.1 (the pairing endpoint) and www.vindaro.net is 127.0.0.2 (the
// relay), both on port 443, and the system trust store holds only the test CA. The test types the
// code into the window with XTest and watches the keys the X server delivers with a second client.
#include "keyboard/key_map.h"
#include "platform/linux/keyboard/xtest_key_poster.h"
#include "support/fake_pairing_service.h"
#include "support/fake_relay_service.h"
#include "support/qt_printers.h"
#include "support/samples.h"
#include "support/service_namespace.h"
#include "support/test_pki.h"
#include "support/wait.h"
#include "support/x_key_recorder.h"
#include "support/xvfb_server.h"

#include <QCoreApplication>
#include <QProcess>
#include <QTest>

#include <gtest/gtest.h>

#include <algorithm>
#include <optional>

using namespace std::chrono_literals;
using vindaro::test::RecordedKey;
using vindaro::test::XKeyRecorder;
using vindaro::test::XvfbServer;
using namespace vindaro::test;

namespace {

// The first press of the keysym recorded from `from` on, and the release that follows it.
struct Press {
    RecordedKey down;
    std::optional<RecordedKey> up;
};
std::optional<Press> pressOf(const std::vector<RecordedKey>& events, const std::string& name,
                             std::size_t from = 0) {
    const unsigned long keysym = XKeyRecorder::keysym(name);
    std::optional<Press> press;
    for (std::size_t i = from; i < events.size(); ++i) {
        if (events[i].keysym != keysym)
            continue;
        if (!press && events[i].pressed)
            press = Press{events[i], std::nullopt};
        else if (press && !events[i].pressed)
            return Press{press->down, events[i]};
    }
    return press;
}

class AgentEndToEnd : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        ServiceNamespace::routeServiceToLoopback(TestPki::instance(), QStringLiteral("127.0.0.2"));
    }

    ~AgentEndToEnd() override {
        if (agent.state() != QProcess::NotRunning) {
            agent.kill();
            agent.waitForFinished();
        }
    }

    void startAgent() {
        QProcessEnvironment environment = QProcessEnvironment::systemEnvironment();
        environment.insert(QStringLiteral("DISPLAY"), QString::fromStdString(xvfb.displayName()));
        environment.insert(QStringLiteral("QT_QPA_PLATFORM"), QStringLiteral("xcb"));
        environment.remove(QStringLiteral("WAYLAND_DISPLAY"));
        agent.setProcessEnvironment(environment);
        agent.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        agent.start(QStringLiteral(VINDARO_AGENT_PATH), {});
        ASSERT_TRUE(agent.waitForStarted());
    }

    // Types the text's keys, and then Return, into the agent's window once it has the focus; the
    // window takes the focus when it opens, and in it the code field has it.
    void typeIntoWindow(const QString& text) {
        ASSERT_TRUE(
            eventually([&] { return recorder.focusedWindowTitle() == "Vindaro Agent for macOS"; }));
        const QStringList names = text.split(QString(), Qt::SkipEmptyParts)
                                  << QStringLiteral("ENTER");
        for (const QString& name : names) {
            const auto key = vindaro::KeyMap::code(name);
            ASSERT_TRUE(key) << name.toStdString();
            ASSERT_TRUE(keyboard.postKey(key->code, vindaro::KeyDirection::down));
            ASSERT_TRUE(keyboard.postKey(key->code, vindaro::KeyDirection::up));
        }
    }

    // Has the relay's connection `peer` send a three-second hold of `name` and waits until the X
    // server has the key down.
    void holdDown(qsizetype peer, const std::string& name) {
        if (game == 0) // a game: the agent never presses a viewer's key into its own window
            game = recorder.createWindow("game", "game", 1);
        recorder.focus(game);
        const std::size_t mark = recorder.events().size();
        relay.peer(peer).sendText(QStringLiteral(R"({"type":"key","key":"%1","holdMs":3000})")
                                      .arg(QString::fromStdString(name)));
        EXPECT_TRUE(eventually([&] { return pressOf(recorder.events(), name, mark).has_value(); }));
    }

    XvfbServer xvfb;
    XKeyRecorder recorder{xvfb.displayName()};
    vindaro::test::TestWindow game = 0;
    vindaro::XTestKeyPoster keyboard{xvfb.displayName()};
    FakePairingService pairing;
    FakeRelayService relay;
    QProcess agent;
};

// Pairs by the typed code and presses the relay's keys; a key held when the agent is killed comes
// up at the next start-up (a dead XTest client's key stays down in Xvfb), which connects with the
// token the first run kept in the keyring; on SIGTERM a held key is let go at once.
TEST_F(AgentEndToEnd, PairsPressesReleasesAKilledRunsKeyAtStartUpAndLetsGoOnSigterm) {
    ASSERT_TRUE(pairing.listen(QHostAddress(QStringLiteral("127.0.0.1")), 443));
    pairing.plan({FakePairingService::Reply(200, pairingAnswer())});
    ASSERT_TRUE(relay.listen(443, QHostAddress(QStringLiteral("127.0.0.2"))));
    startAgent();
    typeIntoWindow(QStringLiteral("123456"));
    ASSERT_TRUE(eventually([&] { return relay.peerCount() == 1; }));
    EXPECT_TRUE(pairing.requests()[0].body.contains(R"("code":"123456")"));
    EXPECT_EQ(relay.requests().first().header("authorization"), "Bearer " + sampleToken.toUtf8());
    EXPECT_EQ(relay.requests().first().query, "role=agent&sessionId=session_123&agentId=agent_456");

    std::size_t mark = recorder.events().size();
    std::optional<Press> press;
    holdDown(0, "j");
    ASSERT_FALSE(HasFailure());
    agent.kill();
    ASSERT_TRUE(eventually([&] { return agent.state() == QProcess::NotRunning; }));
    EXPECT_EQ(recorder.keysDown().size(), 1u); // nobody let go of it
    startAgent();
    ASSERT_TRUE(eventually([&] {
        press = pressOf(recorder.events(), "j", mark);
        return press && press->up;
    })) << "j is still down after the next start-up";
    EXPECT_TRUE(recorder.keysDown().empty());

    typeIntoWindow(QString()); // Return in the empty field connects with the stored session
    ASSERT_TRUE(eventually([&] { return relay.peerCount() == 2; }));
    EXPECT_EQ(relay.requests().last().header("authorization"), "Bearer " + sampleToken.toUtf8());
    mark = recorder.events().size();
    holdDown(1, "j");
    ASSERT_FALSE(HasFailure());
    agent.terminate();
    ASSERT_TRUE(eventually([&] { return agent.state() == QProcess::NotRunning; }));
    EXPECT_EQ(agent.exitStatus(), QProcess::NormalExit);
    EXPECT_EQ(agent.exitCode(), 0);
    ASSERT_TRUE(eventually([&] {
        press = pressOf(recorder.events(), "j", mark);
        return press->up.has_value();
    })) << "j was never released";
    EXPECT_LT(press->up->serverTime - press->down.serverTime, 3000u);
    EXPECT_TRUE(recorder.keysDown().empty());
    ASSERT_TRUE(eventually([&] { return relay.peer(1).closeCodeReceived().has_value(); }));
    EXPECT_EQ(relay.peer(1).closeCodeReceived(), 1000);
}

// The panel's item, seen through a stand-in for the panel on the test's session bus: it registers,
// its status, tooltip and icon follow the state, and its menu's stop entry, clicked through
// dbusmenu, lets go of a held key and ends the relay connection normally. A panel restarted
// afterwards shows the item again.
TEST_F(AgentEndToEnd, TheStatusItemFollowsTheStateAndItsStopEntryStopsEverything) {
    QProcess panel;
    panel.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    panel.start(QStringLiteral(VINDARO_STATUS_WATCHER), {});
    // The panel's next report that holds the text, as "item STATUS", the icon and the tooltip.
    QStringList reports;
    const auto next = [&](const QString& wanted) {
        QStringList found;
        EXPECT_TRUE(eventually([&] {
            while (panel.canReadLine())
                reports << QString::fromUtf8(panel.readLine()).trimmed();
            while (!reports.isEmpty() && found.isEmpty())
                if (const QString report = reports.takeFirst(); report.contains(wanted))
                    found = report.split(u'\t');
            return !found.isEmpty();
        })) << wanted.toStdString();
        return found.size() == 3 ? found : QStringList{QString(), QString(), QString()};
    };
    next(QStringLiteral("ready"));
    ASSERT_TRUE(pairing.listen(QHostAddress(QStringLiteral("127.0.0.1")), 443));
    pairing.plan({FakePairingService::Reply(200, pairingAnswer())});
    ASSERT_TRUE(relay.listen(443, QHostAddress(QStringLiteral("127.0.0.2"))));
    startAgent();
    next(QStringLiteral("registered "));
    const QStringList idle = next(QStringLiteral("item "));
    EXPECT_EQ(idle[0], QStringLiteral("item Passive"));
    EXPECT_EQ(
        idle[2],
        QStringLiteral("Vindaro Agent|🔴 ยังไม่เชื่อมต่อ|⏸️ "
                       "ยังไม่ส่งคีย์เข้าเกม"));

    typeIntoWindow(QStringLiteral("123456"));
    const QStringList armed = next(QStringLiteral("🎮 พร้อมกดคีย์"));
    EXPECT_EQ(armed[2],
              QStringLiteral("Vindaro Agent|🟢 เชื่อม Vindaro แล้ว|🎮 "
                             "พร้อมกดคีย์ "
                             "— "
                             "คลิกกลับเข้าเกม"));
    EXPECT_NE(armed[1], idle[1]);
    EXPECT_EQ(armed[0], QStringLiteral("item Active"));

    holdDown(0, "j");
    ASSERT_FALSE(HasFailure());
    panel.write(QStringLiteral("click หยุดทันที\n").toUtf8());
    next(QStringLiteral("clicked หยุดทันที"));
    ASSERT_TRUE(eventually([&] { return recorder.keysDown().empty(); })) << "j is still down";
    ASSERT_TRUE(eventually([&] { return relay.peer(0).closeCodeReceived().has_value(); }));
    EXPECT_EQ(relay.peer(0).closeCodeReceived(), 1000);
    EXPECT_EQ(next(QStringLiteral("ยังไม่เชื่อมต่อ")), idle);
    panel.closeWriteChannel();
    EXPECT_TRUE(panel.waitForFinished());

    reports.clear();
    panel.start(QStringLiteral(VINDARO_STATUS_WATCHER), {});
    next(QStringLiteral("registered "));
    EXPECT_EQ(next(QStringLiteral("item ")), idle);
    panel.closeWriteChannel();
    EXPECT_TRUE(panel.waitForFinished());
}

} // namespace
