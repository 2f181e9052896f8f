// The controller tests' fixture: the controller with the real relay and pairing clients talking
// TLS to fake services on loopback (the pairing endpoint vindaro.net and the relay
// www.vindaro.net, each a fake service), a poster that records the keys, in-memory secrets and
// defaults, and a recording window.
#pragma once

#include "app/agent_app_delegate.h"
#include "platform/fake/counting_settings_opener.h"
#include "platform/fake/fake_clipboard.h"
#include "platform/fake/manual_workspace.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "platform/fake/recording_key_poster.h"
#include "support/fake_pairing_service.h"
#include "support/fake_relay_service.h"
#include "support/samples.h"
#include "support/trusted_service.h"

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

inline const QString connected =
    line(QStringLiteral("🟢 เชื่อม Vindaro แล้ว"), StatusColor::green);

class AgentTest : public TrustedServiceTest {
protected:
    AgentTest()
        : AgentTest(options(50ms)) {}
    explicit AgentTest(AgentAppDelegate::Options agentOptions)
        : agent{{poster, secrets, defaults, clipboard, settings, workspace},
                std::move(agentOptions)} {
        EXPECT_TRUE(relay.listen());
        route(QStringLiteral("vindaro.net"), pairingService.port());
        route(QStringLiteral("www.vindaro.net"), relay.port());
        pairingService.plan({FakePairingService::Reply(200, pairingAnswer())});
    }
    ~AgentTest() override { agent.applicationWillTerminate(); }

    static AgentAppDelegate::Options options(std::chrono::milliseconds reconnectDelay) {
        AgentAppDelegate::Options result;
        result.relayTiming.reconnectDelay = [reconnectDelay](int) { return reconnectDelay; };
        return result;
    }

    void launch() { agent.applicationDidFinishLaunching(view); }

    // Starts with a stored session and connects with it through an empty field.
    void launchConnected() {
        sessions.save(sampleSession());
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
    RecordingView view;
    AgentAppDelegate agent;
};

} // namespace vindaro::test
