// The controller tests' fixture: the controller with the real relay and pairing clients talking
// TLS to fake services on loopback (reached as vindaro.net through the test CA and a CONNECT
// proxy), a poster that records the keys, in-memory secrets and defaults, and a recording window.
#pragma once

#include "app/agent_app_delegate.h"
#include "platform/fake/counting_settings_opener.h"
#include "platform/fake/fake_clipboard.h"
#include "platform/fake/manual_workspace.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "platform/fake/recording_key_poster.h"
#include "support/connect_proxy.h"
#include "support/fake_pairing_service.h"
#include "support/fake_relay_service.h"
#include "support/test_pki.h"
#include "support/wait.h"

#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace vindaro::test {

using namespace std::chrono_literals;

// A status line as "text/colour".
inline QString line(const QString& text, StatusColor color) {
    return text + u'/' + QString::number(static_cast<int>(color));
}

// Everything the window would show, as the controller last set it.
class RecordingView : public AgentView {
public:
    void setPermissionLine(const QString& t, StatusColor c) override { permission = line(t, c); }
    void setConnectionLine(const QString& t, StatusColor c) override {
        connection = line(t, c);
        connectionHistory << connection;
    }
    void setActivityLine(const QString& t, StatusColor c) override { activity = line(t, c); }
    void setConnectEnabled(bool enabled) override { enabledButtons[0] = enabled; }
    void setPauseEnabled(bool enabled) override { enabledButtons[1] = enabled; }
    void setStopEnabled(bool enabled) override { enabledButtons[2] = enabled; }
    void setTestEnabled(bool enabled) override { enabledButtons[3] = enabled; }
    void setPauseTitle(const QString& title) override { pauseTitle = title; }
    QString inputText() const override { return input; }
    void setInputText(const QString& text) override { input = text; }
    void appendLog(const QString& message) override { log << message; }
    void showAlert(const QString& description) override { alerts << description; }

    // The enabled buttons of connect, pause, stop and test, e.g. "connect test".
    QString buttons() const {
        const char* names[] = {"connect", "pause", "stop", "test"};
        QStringList enabled;
        for (int i = 0; i < 4; ++i) {
            if (enabledButtons[i])
                enabled << QString::fromLatin1(names[i]);
        }
        return enabled.join(u' ');
    }

    QString permission, connection, activity, pauseTitle, input;
    bool enabledButtons[4] = {};
    QStringList log, alerts;
    QStringList connectionHistory; // every connection line, in order
};

inline constexpr std::uint16_t keyA = 0;
inline const QString token = QStringLiteral("tok-PAIRED-9d8c7b6a");
inline const QString connected =
    line(QStringLiteral("🟢 เชื่อม Vindaro แล้ว"), StatusColor::green);
inline QByteArray pairingAnswer() {
    return R"({"wsUrl":"wss://www.vindaro.net/ws","sessionId":"session_123","agentId":"agent_456",)"
           R"("agentToken":")" +
           token.toUtf8() + R"(","protocolVersion":2})";
}

inline AgentSession storedSession() {
    return AgentSession(QStringLiteral("wss://www.vindaro.net/ws"), QStringLiteral("S-1"),
                        QStringLiteral("agent_7"), QStringLiteral("tok-stored-1234"), 2);
}

// The pairing endpoint is vindaro.net and the relay www.vindaro.net, each a fake service.
class AgentTest : public ::testing::Test {
protected:
    AgentTest()
        : AgentTest(options()) {}
    explicit AgentTest(AgentAppDelegate::Options agentOptions)
        : agent{{poster, secrets, defaults, clipboard, settings, workspace},
                std::move(agentOptions)} {
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
        return result;
    }

    void launch() { agent.applicationDidFinishLaunching(view); }

    // Starts with a stored session and connects with it through an empty field.
    void launchConnected() {
        sessions.save(storedSession());
        launch();
        agent.connectTapped();
        ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    }

    void send(const QString& fields) {
        relay.lastPeer().sendText(QStringLiteral(R"({"type":"key",)") + fields + u'}');
    }

    // Sends a command that holds A for three seconds and waits until A is down.
    void holdKeyDown() {
        send(QStringLiteral(R"("key":"a","holdMs":3000)"));
        ASSERT_TRUE(eventually([&] { return poster.heldKeys().contains(0); })); // A
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
    AgentAppDelegate agent;
};

} // namespace vindaro::test
