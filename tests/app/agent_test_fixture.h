// The controller tests' fixture: the controller with the real relay and pairing clients talking
// TLS to fake services on loopback (the pairing endpoint vindaro.net and the relay
// www.vindaro.net, each a fake service), a poster that records the keys, in-memory secrets and
// defaults, and a recording window.
#pragma once

#include "app/agent_app_delegate.h"
#include "platform/fake/counting_settings_opener.h"
#include "platform/fake/fake_clipboard.h"
#include "platform/fake/manual_stop_key.h"
#include "platform/fake/manual_window_focus.h"
#include "platform/fake/manual_workspace.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/fake/recording_notifications.h"
#include "support/answer_of.h"
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
    void setPinLine(const QString& t, StatusColor c) override { pin = line(t, c); }
    void setPinTitle(const QString& title) override { pinTitle = title; }
    void setPinEnabled(bool enabled) override { pinEnabled = enabled; }
    void setStopKeyLine(const QString& t, StatusColor c) override { stopKey = line(t, c); }
    QString blockedKeysText() const override { return blockedKeys; }
    void setBlockedKeysText(const QString& text) override { blockedKeys = text; }
    QString limitText(Limit limit) const override { return limits[static_cast<int>(limit)]; }
    void setLimitText(Limit limit, const QString& text) override {
        limits[static_cast<int>(limit)] = text;
    }
    QString inputText() const override { return input; }
    void setInputText(const QString& text) override { input = text; }
    void appendLog(const QString& message) override { log << message; }
    void showAlert(const QString& description) override { alerts << description; }

    // The enabled buttons of connect, pause, stop and test, e.g. "connect test".
    QString buttons() const {
        const char* names[] = {"connect", "pause", "stop", "test"};
        QStringList enabled;
        for (int i = 0; i < 4; ++i)
            if (enabledButtons[i])
                enabled << QString::fromLatin1(names[i]);
        return enabled.join(u' ');
    }

    QString permission, connection, activity, pauseTitle, input, pin, pinTitle, stopKey,
        blockedKeys;
    QString limits[2]; // cooldown, per minute
    bool pinEnabled = false;
    bool enabledButtons[4] = {};
    QStringList log, alerts;
    QStringList connectionHistory; // every connection line, in order
};

inline const QString connected =
    line(QStringLiteral("🟢 เชื่อม Vindaro แล้ว"), StatusColor::green);
inline const QString notConnected = line(QStringLiteral("🔴 ยังไม่เชื่อมต่อ"), StatusColor::red);
inline const QString armed = line(QStringLiteral("🎮 พร้อมกดคีย์ — คลิกกลับเข้าเกม"), StatusColor::green);
inline const QString paused =
    line(QStringLiteral("⏸️ ยังไม่ส่งคีย์เข้าเกม"),
         StatusColor::secondary);
// What every stop logs.
inline const QStringList stopLines = {QStringLiteral("หยุดการเชื่อมต่อแล้ว"),
                                      QStringLiteral("หยุด Agent แล้ว")};

class AgentTest : public TrustedServiceTest {
protected:
    explicit AgentTest(std::chrono::milliseconds reconnectDelay = 50ms)
        : AgentTest(reconnectDelay, secrets, defaults) {}
    // Keeps the credentials in the given keyring and settings instead of the ones in memory.
    AgentTest(std::chrono::milliseconds reconnectDelay, SecretStore& keyring, UserDefaults& stored)
        : secretStore(keyring)
        , userDefaults(stored)
        , agent{{poster, secretStore, userDefaults, clipboard, settings, workspace, focus, stopKey,
                 notifications},
                options(reconnectDelay, &limitsNow)} {
        EXPECT_TRUE(relay.listen());
        route(QStringLiteral("vindaro.net"), pairingService.port());
        route(QStringLiteral("www.vindaro.net"), relay.port());
        pairingService.plan({FakePairingService::Reply(200, pairingAnswer())});
    }
    ~AgentTest() override { agent.applicationWillTerminate(); }

    static AgentAppDelegate::Options options(std::chrono::milliseconds reconnectDelay,
                                             const std::chrono::steady_clock::time_point* now) {
        AgentAppDelegate::Options result;
        result.relayTiming.reconnectDelay = [reconnectDelay](int) { return reconnectDelay; };
        result.limitsClock = [now] { return *now; };
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
        store(sampleSession());
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

    // What the limits on the viewers' commands take for now; tests move it.
    std::chrono::steady_clock::time_point limitsNow;
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
    RecordingView view;
    AgentAppDelegate agent;
};

} // namespace vindaro::test
