#pragma once

#include "app/agent_state.h"
#include "app/agent_text.h"
#include "app/agent_view.h"
#include "app/viewer_rules.h"
#include "keyboard/keyboard_executor.h"
#include "model/agent_pairing.h"
#include "model/agent_session.h"
#include "pairing/credential_keeper.h"
#include "pairing/pairing_client.h"
#include "platform/stop_key.h"
#include "platform/window_focus.h"
#include "relay/web_socket_client.h"
#include "relay/web_socket_client_delegate.h"

#include <QObject>
#include <QStringList>

#include <functional>
#include <optional>

namespace vindaro {

class Clipboard;
class DesktopNotifications;
class KeyPoster;
class SecretStore;
class SettingsOpener;
class UserDefaults;
class WorkspaceNotifications;

// What the agent needs of the operating system. Each must outlive the controller.
struct AgentPlatform {
    KeyPoster& keyPoster;
    SecretStore& secrets;
    UserDefaults& defaults;
    Clipboard& clipboard;
    SettingsOpener& settings;
    WorkspaceNotifications& workspace;
    WindowFocus& focus;
    StopKey& stopKey;
    DesktopNotifications& notifications;
};

// The agent's one controller. It decides whether a key command from the relay may be pressed
// (armed, paused, stopped, permission), runs the pairing and connect flows, and tells the window
// what to show through AgentView. It owns the relay connection, the pairing client and the
// keyboard executor for as long as it lives. Main thread only.
class AgentAppDelegate final : public AgentActions, public WebSocketClientDelegate {
public:
    // The agent runs with the defaults; tests shorten the relay's and the pairing's timings.
    struct Options {
        WebSocketClient::Timing relayTiming;
        PairingClientOptions pairing;
        // Runs first thing on the keyboard's worker thread: the agent asks for real-time
        // scheduling there, so a busy machine cannot stretch a hold.
        std::function<void()> keyWorkerStart;
        // What the limits on the viewers' commands measure time with.
        CommandLimits::Clock limitsClock;
    };

    explicit AgentAppDelegate(AgentPlatform platform);
    AgentAppDelegate(AgentPlatform platform, Options options);
    ~AgentAppDelegate() override;

    AgentAppDelegate(const AgentAppDelegate&) = delete;
    AgentAppDelegate& operator=(const AgentAppDelegate&) = delete;

    // Start-up, once: takes the window, wires the relay and the keyboard's log to it, restores
    // stored credentials and listens for sleep and screen lock. Connects nothing: the user
    // presses connect. Showing the window is the caller's. Every operation but the destructor
    // uses the window, so it may go just before the controller (it needs the controller first).
    void applicationDidFinishLaunching(AgentView& view);
    void applicationDidBecomeActive();
    // Disarms, releases every key, abandons a pairing and closes the connection with 1000,
    // without a word in the log. Safe to run more than once.
    void applicationWillTerminate();
    // Whether a connection that was ended is still sending its close frame; quitting waits for
    // it, a little, so the service learns the agent left on purpose.
    bool isClosingConnection() const { return m_client.isClosing(); }
    // Whether a keyring flow is still under way; quitting waits for it, a little, so that what
    // the keyring was asked to keep is kept whole.
    bool isStoringCredentials() const { return m_credentials.isBusy(); }

    void workspaceWillSleep();
    void sessionDidResign();
    // Which way keys reach the desktop, as a line for the log; once, at start-up.
    void keyOutputChosen(const QString& line);
    // Keys can no longer be posted at all (the compositor went away, the desktop session was
    // closed): the agent pauses and says why.
    void keyOutputLost(const QString& why);
    // Another process of the user's asked the agent to stop (`vindaro-agent --stop`).
    void stopRequested();
    // The keyboard refused a command's key-downs because of where they would land; reported once
    // for a run of such commands.
    void keyCommandSkipped(KeyDestination destination, const QString& key);

    // Opens the relay connection with the record's credentials and arms the agent.
    void connect(const AgentSession& session);
    void connect(const AgentPairing& pairing);
    void startPairing(const QString& code);
    void connectLegacy(const QString& bundle);

    void refreshPermission();
    // Whether a key the agent posted may still reach one of its own windows; whatever reacts to
    // keys in the agent must ignore them meanwhile. Main thread.
    bool keysInFlight();

    const AgentState& state() const { return m_state; }
    // Told the state and what the window shows after every change, for whatever else shows them
    // (the panel's status item).
    using StateObserver = std::function<void(const AgentState&, const ViewContent&)>;
    void observeState(StateObserver observer);
    bool isConnected() const { return m_state.isConnected(); }
    bool isArmed() const { return m_state.armed; }
    bool isPairing() const { return m_state.pairing; }
    const std::optional<AgentSession>& currentSession() const { return m_credentials.session(); }
    const std::optional<AgentPairing>& currentPairing() const { return m_credentials.pairing(); }

    // AgentActions
    void connectTapped() override;
    void pauseTapped() override;
    void stopTapped() override;
    void testSpaceTapped() override;
    void requestPermissionTapped() override;
    void openSettingsTapped() override;
    void pasteTapped() override;
    void clearTapped() override;
    void pinTapped() override;
    void blockedKeysEdited() override;
    void limitsEdited() override;

    // WebSocketClientDelegate
    void webSocketClientConnecting(WebSocketClient& client) noexcept override;
    void webSocketClientConnected(WebSocketClient& client) noexcept override;
    void webSocketClientDisconnected(WebSocketClient& client, const QString& message,
                                     bool willReconnect) noexcept override;
    void webSocketClientReceived(WebSocketClient& client,
                                 const KeyCommand& command) noexcept override;
    void webSocketClientWaitingForNetwork(WebSocketClient& client,
                                          const QString& message) noexcept override;

private:
    void openRelay(const std::optional<QUrl>& url, const QString& logLine,
                   const std::optional<QString>& bearerToken);
    // Reads the stored session, else the legacy pairing; at start-up only that, otherwise it
    // connects with what was found.
    void restoreCredentials(bool atStartUp);
    // Connects with the session or legacy pairing held; false when none is.
    bool connectStored();
    // After a save: the field empties and the agent connects with what was stored, unless the
    // user stopped meanwhile; a failure runs failed and raises the alert.
    StorageDone connectWhenSaved(std::function<void()> failed);
    void pair(const QString& code, const QString& installId);
    void pairingFinished(const PairingResult& result);
    // Stop, clear and quitting: what was to follow the keyring flow under way (a pairing, a
    // connect) no longer happens. The flow itself runs to its end.
    void abandonKeyringFlow();
    void openAccessibilitySettings();
    // Asks for the posting permission and looks again; true when it is granted now.
    bool obtainPermission();
    // Stops pressing: not armed, nothing queued, no key held.
    void disarm();
    // Disarms for a reason the streamer did not choose, and tells them even if they are in a game.
    void pauseAutomatically(const QString& why);
    void stopAndSay(const QString& why);
    void watchFocus();
    // The command for the key passed every other check: whether the streamer's limits let it go.
    void notify(AgentText summary, const QString& body);
    void show(const QString& description);
    void appendLog(const QString& message);

    // The one way the state changes: edits it, then shows the result.
    void change(const std::function<void(AgentState&)>& edit);
    // Brings the window in line with the state, touching only what differs from what it shows.
    void render();

    AgentPlatform m_platform;
    WebSocketClient m_client;
    PairingClient m_pairingClient;
    KeyboardExecutor m_keyboard;
    CredentialKeeper m_credentials;

    AgentView* m_view = nullptr; // set at start-up
    AgentState m_state;
    // What the window shows now; nothing until the first render.
    std::optional<ViewContent> m_shown;
    // Which pairing a result belongs to: a result counts only while its own pairing is the one
    // in flight, so an abandoned pairing's late answer can never pass for a newer one's.
    quint64 m_pairingAttempt = 0;
    // Counts stop, clear and quitting: an answer for a request made before the last of them
    // starts nothing.
    quint64 m_requests = 0;
    ViewerRules m_rules;
    StateObserver m_stateObserver;
    // Connect was pressed while the start-up read was in flight.
    bool m_connectWhenRestored = false;

    // The executor's log lines and the pairing's answers reach the controller
    // through this: once it is gone, with the controller, nothing queued for it runs.
    QObject m_context;
};

} // namespace vindaro
