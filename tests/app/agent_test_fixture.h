// The controller tests' fixture: the controller with the real relay and pairing clients talking
// TLS to fake services on loopback (reached as vindaro.net through the test CA and a CONNECT
// proxy), a poster that records the keys, in-memory secrets and defaults, and a recording window.
#pragma once

#include "app/agent_app_delegate.h"
#include "platform/clipboard.h"
#include "platform/fake/manual_stop_key.h"
#include "platform/fake/manual_window_focus.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/fake/recording_notifications.h"
#include "platform/settings_opener.h"
#include "platform/workspace_notifications.h"
#include "support/answer_of.h"
#include "support/connect_proxy.h"
#include "support/fake_pairing_service.h"
#include "support/fake_relay_service.h"
#include "support/test_pki.h"

#include <QTest>

#include <gtest/gtest.h>

#include <chrono>
#include <functional>

namespace vindaro::test {

using namespace std::chrono_literals;

inline bool eventually(const std::function<bool()>& condition) {
    return QTest::qWaitFor(condition, 20000);
}

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
    void setPinLine(const QString& t, StatusColor c) override { pin = line(t, c); }
    void setPinTitle(const QString& title) override { pinTitle = title; }
    void setPinEnabled(bool enabled) override { pinEnabled = enabled; }
    void setStopKeyLine(const QString& t, StatusColor c) override { stopKey = line(t, c); }
    QString blockedKeysText() const override { return blockedKeys; }
    void setBlockedKeysText(const QString& text) override { blockedKeys = text; }
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

    QString permission, connection, activity, pauseTitle, input, pin, pinTitle, stopKey,
        blockedKeys;
    bool pinEnabled = false;
    bool enabledButtons[4] = {};
    QStringList log, alerts;
    QStringList connectionHistory; // every connection line, in order
};

class FakeClipboard : public Clipboard {
public:
    std::optional<QString> plainText() const override { return text; }
    std::optional<QString> text;
};

class CountingSettingsOpener : public SettingsOpener {
public:
    bool openAccessibilitySettings() override { return ++opened > 0; }
    int opened = 0;
};

class ManualWorkspace : public WorkspaceNotifications {
public:
    void observe(Handlers newHandlers) override { handlers = std::move(newHandlers); }
    Handlers handlers;
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
        : AgentTest(std::move(agentOptions), secrets, defaults) {}
    // Keeps the credentials in the given keyring and settings instead of the ones in memory.
    AgentTest(AgentAppDelegate::Options agentOptions, SecretStore& keyring, UserDefaults& stored)
        : secretStore(keyring)
        , userDefaults(stored)
        , agent{{poster, secretStore, userDefaults, clipboard, settings, workspace, focus, stopKey,
                 notifications},
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

    // Starts up and waits until the stored credentials have been read.
    void launch() {
        agent.applicationDidFinishLaunching(view);
        settle();
    }
    // Waits for the keyring step in flight.
    void settle() {
        ASSERT_TRUE(eventually([&] { return !agent.state().waitingOnKeyring; }));
    }

    // Stores a record as an earlier run of the agent did.
    template <typename Record> void store(const Record& record) {
        const auto error = answerOf<std::optional<StorageError>>([&](auto done) {
            if constexpr (std::is_same_v<Record, AgentSession>)
                sessions.save(record, std::move(done));
            else
                legacyPairings.save(record, std::move(done));
        });
        ASSERT_FALSE(error) << error->description().toStdString();
    }
    std::optional<AgentSession> storedSessionNow() {
        const auto loaded = answerOf<SessionStore::Load>([&](auto done) { sessions.load(done); });
        return loaded.value() ? std::optional<AgentSession>(*loaded.value()) : std::nullopt;
    }

    // Starts with a stored session and connects with it through an empty field.
    void launchConnected() {
        store(storedSession());
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
    ManualWindowFocus focus;
    ManualStopKey stopKey;
    RecordingNotifications notifications;
    SecretStore& secretStore;
    UserDefaults& userDefaults;
    KeychainStore keychain{secretStore};
    SessionStore sessions{keychain, userDefaults};
    LegacyPairingStore legacyPairings{keychain, userDefaults};

    FakeRelayService relay;
    FakePairingService pairingService;
    ConnectProxy proxy{pairingService.port()};
    RecordingView view;
    AgentAppDelegate agent;
};

} // namespace vindaro::test
