#include "agent_app_delegate.h"

#include "app/agent_text.h"
#include "keyboard/key_map.h"
#include "model/agent_error.h"
#include "model/text_rules.h"
#include "platform/clipboard.h"
#include "platform/desktop_notifications.h"
#include "platform/key_poster.h"
#include "platform/settings_opener.h"
#include "platform/workspace_notifications.h"

#include <QPointer>

#include <algorithm>
#include <utility>

namespace vindaro {

namespace {

constexpr int minPressCount = 1;
constexpr int maxPressCount = 20;
constexpr int defaultPressCount = 1;
constexpr int minHoldMs = 20;
constexpr int maxHoldMs = 3000;
constexpr int defaultHoldMs = 80;
const char* const defaultSource = "Vindaro event";
const char* const testKeyName = "SPACE";
const char* const testSource = "ทดสอบจาก Agent";

// How long going to sleep may wait for the display server to take the key-ups.
constexpr std::chrono::milliseconds sleepReleaseLimit{1000};

// How long after the agent's last key-up its own key events may still be on their way to it.
constexpr std::chrono::milliseconds ownKeySettleTime{1000};

// How long a pin waits for the streamer to click the game.
constexpr std::chrono::seconds pinChoiceTime{10};

QString shownKey(const KeyCommand& command) {
    return trimmedText(command.key.value_or(QString())).toUpper();
}

int clamped(const std::optional<qint64>& value, int low, int high, int absent) {
    if (!value)
        return absent;
    return static_cast<int>(std::clamp<qint64>(*value, low, high));
}

} // namespace

AgentAppDelegate::AgentAppDelegate(AgentPlatform platform)
    : AgentAppDelegate(platform, Options{}) {}

AgentAppDelegate::AgentAppDelegate(AgentPlatform platform, Options options)
    : m_platform(platform)
    , m_client(std::move(options.relayTiming))
    , m_pairingClient(std::move(options.pairing))
    , m_keyboard(platform.keyPoster, &platform.focus, std::move(options.keyWorkerStart))
    , m_credentials(platform.secrets, platform.defaults)
    , m_rules(platform.defaults, std::move(options.limitsClock),
              {[this](const QString& line) { appendLog(line); },
               [this](const QString& description) { show(description); }}) {
    const auto busy = [this](AgentState& state) {
        state.waitingOnKeyring = m_credentials.isBusy();
    };
    m_credentials.setListener(
        {[this](const auto& report) { appendLog(credentialsLine(report, currentPairing())); },
         [this, busy] { change(busy); }});
}

AgentAppDelegate::~AgentAppDelegate() {
    // Nothing may reach this controller once it starts going: the executor's worker stops
    // calling the sink before setOnLog returns, and the client and the desktop stop reporting.
    m_keyboard.setOnLog({});
    m_keyboard.setOnSkip({});
    m_platform.keyPoster.setPermissionHandler({});
    m_client.setDelegate(nullptr);
    m_platform.workspace.observe({});
    m_platform.focus.observe({});
    m_platform.stopKey.observe({});
    m_platform.stopKey.observeState({});
}

void AgentAppDelegate::applicationDidFinishLaunching(AgentView& view) {
    m_view = &view;
    render();
    m_client.setDelegate(this);

    // The executor logs on its worker thread; the line is handed to the main thread, where the
    // window lives, and dropped if the controller has gone by then.
    m_keyboard.setOnLog([context = QPointer<QObject>(&m_context), this](const std::string& line) {
        if (QObject* target = context.data())
            QMetaObject::invokeMethod(
                target, [this, message = QString::fromStdString(line)] { appendLog(message); },
                Qt::QueuedConnection);
    });

    restoreCredentials(true);

    m_platform.workspace.observe(
        {[this] { workspaceWillSleep(); }, [this] { sessionDidResign(); }});
    m_keyboard.setOnSkip([context = QPointer<QObject>(&m_context), this](KeyDestination destination,
                                                                         const std::string& key) {
        if (QObject* target = context.data())
            QMetaObject::invokeMethod(
                target,
                [this, destination, name = QString::fromStdString(key)] {
                    keyCommandSkipped(destination, name);
                },
                Qt::QueuedConnection);
    });
    // The poster learns on a thread of its own when the display comes or goes; the permission line
    // follows on the main thread.
    m_platform.keyPoster.setPermissionHandler(
        [context = QPointer<QObject>(&m_context), this](bool) {
            if (QObject* target = context.data())
                QMetaObject::invokeMethod(
                    target, [this] { refreshPermission(); }, Qt::QueuedConnection);
        });
    watchFocus();
    m_platform.stopKey.observe([this] { stopAndSay(text(AgentText::stopKeyPressed)); });
    change([this](AgentState& state) { state.stopKey = m_platform.stopKey.state(); });
    // Taken again after a keymap change or a lost display: the window and the log follow.
    m_platform.stopKey.observeState([this] {
        const StopKey::State now = m_platform.stopKey.state();
        if (m_state.stopKey == now)
            return;
        change([now](AgentState& state) { state.stopKey = now; });
        appendLog(stopKeyLine(now).text);
    });
    m_rules.restore(m_view);
    refreshPermission();
}

void AgentAppDelegate::applicationDidBecomeActive() {
    refreshPermission();
}

void AgentAppDelegate::applicationWillTerminate() {
    // The abandoned pairing still answers, with its cancellation; it must not raise an alert
    // while the agent is quitting.
    change([](AgentState& state) {
        state.armed = false;
        state.pairing = false;
    });
    abandonKeyringFlow();
    m_keyboard.cancelAll();
    m_pairingClient.cancel();
    m_client.disconnect(false);
}

void AgentAppDelegate::workspaceWillSleep() {
    pauseAutomatically(text(AgentText::machineSleeping));
    // The machine sleeps once this returns: the key-ups must have reached the display server by
    // then. A server that does not answer is not waited for long.
    static_cast<void>(m_keyboard.waitForReleases(sleepReleaseLimit));
}

void AgentAppDelegate::sessionDidResign() {
    pauseAutomatically(text(AgentText::screenLocked));
}

void AgentAppDelegate::keyOutputChosen(const QString& line) {
    appendLog(line);
}

void AgentAppDelegate::keyOutputLost(const QString& why) {
    refreshPermission();
    pauseAutomatically(why);
}

void AgentAppDelegate::stopRequested() {
    stopAndSay(text(AgentText::stopRequested));
}

void AgentAppDelegate::keyCommandSkipped(KeyDestination destination, const QString& key) {
    switch (destination) {
    case KeyDestination::allowed:
        return;
    case KeyDestination::pinnedWindowNotFocused:
        appendLog(text(AgentText::skippedNotInFront, key));
        return;
    case KeyDestination::pinnedWindowClosed:
        appendLog(text(AgentText::skippedPinnedClosed, key));
        return;
    case KeyDestination::noFocusedWindow:
        appendLog(text(AgentText::skippedNoWindow, key));
        return;
    case KeyDestination::agentWindowFocused:
        appendLog(text(AgentText::skippedAgentWindow, key));
        return;
    }
}

void AgentAppDelegate::connect(const AgentSession& session) {
    openRelay(session.socketURL(), text(AgentText::connectingSession, session.sessionId()),
              session.token());
}

void AgentAppDelegate::connect(const AgentPairing& pairing) {
    // The legacy URL carries its credentials in its query.
    openRelay(pairing.socketURL(), text(AgentText::connectingLegacyRoom, pairing.room()),
              std::nullopt);
}

void AgentAppDelegate::openRelay(const std::optional<QUrl>& url, const QString& logLine,
                                 const std::optional<QString>& bearerToken) {
    if (!url) {
        show(AgentError::invalidServer().description());
        return;
    }
    // Connecting arms the agent: commands are pressed as soon as the socket is open.
    change([](AgentState& state) {
        state.armed = true;
        state.halted = false;
    });
    appendLog(logLine);
    m_client.connectTo(*url, bearerToken);
}

void AgentAppDelegate::restoreCredentials(bool atStartUp) {
    change([atStartUp](AgentState& state) { state.restoring = atStartUp; });
    m_credentials.restore(
        atStartUp, [this, atStartUp, asked = m_requests](const std::optional<StorageError>& error) {
            if (atStartUp) {
                change([](AgentState& state) { state.restoring = false; });
                if (std::exchange(m_connectWhenRestored, false))
                    connectTapped();
            } else if (asked == m_requests && !connectStored() && !error) {
                show(AgentError::invalidPairingCode().description());
            }
        });
}

bool AgentAppDelegate::connectStored() {
    if (currentSession())
        connect(*currentSession());
    else if (currentPairing())
        connect(*currentPairing());
    return currentSession() || currentPairing();
}

StorageDone AgentAppDelegate::connectWhenSaved(std::function<void()> failed) {
    // Stopped meanwhile, the save still ends in its log line, but nothing else follows it.
    return [this, failed = std::move(failed),
            asked = m_requests](const std::optional<StorageError>& error) {
        if (asked != m_requests)
            return;
        if (error) {
            failed();
            show(error->description());
            return;
        }
        if (m_view)
            m_view->setInputText(QString());
        connectStored();
    };
}

void AgentAppDelegate::abandonKeyringFlow() {
    ++m_requests;
    m_connectWhenRestored = false;
}

void AgentAppDelegate::refreshPermission() {
    const bool granted = m_platform.keyPoster.mayPostEvents();
    change([granted](AgentState& state) { state.mayPost = granted; });
}

void AgentAppDelegate::connectTapped() {
    if (m_state.restoring) {
        m_connectWhenRestored = true;
        return;
    }
    // One flow at a time: the button waits too, but a tap may already be on its way.
    if (m_state.pairing || m_state.waitingOnKeyring)
        return;
    if (!obtainPermission()) {
        openAccessibilitySettings();
        appendLog(text(AgentText::permissionNotGranted));
        return;
    }
    const QString input = trimmedText(m_view ? m_view->inputText() : QString());
    if (isValidPairingCode(input))
        startPairing(input);
    else if (input.contains(u'|'))
        connectLegacy(input);
    else if (input.isEmpty() && (currentSession() || currentPairing()))
        connectStored();
    else if (input.isEmpty() && m_credentials.needsReading())
        restoreCredentials(false);
    else
        show(AgentError::invalidPairingCode().description());
}

void AgentAppDelegate::startPairing(const QString& code) {
    m_credentials.installationId(
        [this, code, asked = m_requests](const StorageResult<QString>& installId) {
            if (const StorageError* error = installId.error(); error && asked == m_requests)
                show(error->description());
            else if (asked == m_requests)
                pair(code, *installId.value());
        });
}

void AgentAppDelegate::pair(const QString& code, const QString& installId) {
    const quint64 attempt = ++m_pairingAttempt;
    change([](AgentState& state) {
        state.pairing = true;
        state.phase = ConnectionPhase::pairing;
    });
    appendLog(text(AgentText::checkingPairingCode));
    m_pairingClient.pair(
        code, installId,
        [context = QPointer<QObject>(&m_context), this, attempt](const PairingResult& result) {
            if (context && attempt == m_pairingAttempt)
                pairingFinished(result);
        });
}

void AgentAppDelegate::pairingFinished(const PairingResult& result) {
    // Stop and clear abandon the pairing in flight; its answer, whatever it says, changes nothing.
    if (!m_state.pairing)
        return;
    const auto failed = [this] {
        change([](AgentState& state) { state.phase = ConnectionPhase::pairingFailed; });
    };
    change([](AgentState& state) { state.pairing = false; });

    const AgentSession* paired = result.session();
    if (!paired) {
        failed();
        appendLog(result.errorDescription());
        show(result.errorDescription());
        return;
    }
    m_credentials.save(*paired, connectWhenSaved(failed));
}

void AgentAppDelegate::connectLegacy(const QString& bundle) {
    std::optional<AgentPairing> parsed;
    try {
        parsed = AgentPairing::fromBundle(bundle);
    } catch (const AgentError& error) {
        show(error.description());
        return;
    }
    m_credentials.save(*parsed, connectWhenSaved([] {}));
}

void AgentAppDelegate::pauseTapped() {
    if (m_state.armed) {
        disarm();
        appendLog(text(AgentText::paused));
    } else if (m_state.isConnected()) {
        change([](AgentState& state) {
            state.armed = true;
            state.halted = false;
        });
        appendLog(text(AgentText::resumed));
    }
}

void AgentAppDelegate::stopTapped() {
    change([](AgentState& state) {
        state.pairing = false;
        state.armed = false;
        state.phase = ConnectionPhase::notConnected;
        state.halted = false;
    });
    abandonKeyringFlow();
    m_pairingClient.cancel();
    m_keyboard.cancelAll();
    // Reports "หยุดการเชื่อมต่อแล้ว" before it returns, so that line comes first.
    m_client.disconnect(true);
    appendLog(text(AgentText::agentStopped));
}

void AgentAppDelegate::testSpaceTapped() {
    if (!obtainPermission()) {
        openAccessibilitySettings();
        return;
    }
    const std::optional<KeyMapEntry> space = KeyMap::code(QString::fromLatin1(testKeyName));
    if (!space)
        return;
    // Into whichever window has the focus, the agent's own included: the agent ignores its own
    // keys there (keysInFlight()), so the press cannot press this button again.
    if (!m_keyboard.enqueue(testKeyName, space->code, 1, defaultHoldMs, testSource,
                            KeyboardExecutor::Origin::streamer))
        appendLog(text(AgentText::testQueueFull));
}

bool AgentAppDelegate::keysInFlight() {
    return m_keyboard.keysInFlight(ownKeySettleTime);
}

void AgentAppDelegate::requestPermissionTapped() {
    refreshPermission();
    if (!m_platform.keyPoster.mayPostEvents())
        openAccessibilitySettings();
}

void AgentAppDelegate::openSettingsTapped() {
    openAccessibilitySettings();
}

void AgentAppDelegate::pasteTapped() {
    const std::optional<QString> pasted = m_platform.clipboard.plainText();
    if (!pasted || pasted->isEmpty() || !m_view)
        return;
    m_view->setInputText(trimmedText(*pasted));
}

void AgentAppDelegate::clearTapped() {
    stopTapped();
    if (m_view)
        m_view->setInputText(QString());
    m_credentials.clear({});
}

void AgentAppDelegate::webSocketClientConnecting(WebSocketClient&) noexcept {
    change([](AgentState& state) { state.phase = ConnectionPhase::connecting; });
}

void AgentAppDelegate::webSocketClientConnected(WebSocketClient&) noexcept {
    change([](AgentState& state) { state.phase = ConnectionPhase::connected; });
    appendLog(text(AgentText::connectedAdvice));
}

void AgentAppDelegate::webSocketClientDisconnected(WebSocketClient&, const QString& message,
                                                   bool willReconnect) noexcept {
    // Nothing queued outlives a lost connection, and no key stays held. The agent stays armed:
    // after an automatic reconnection it goes on pressing keys without the user's action.
    m_keyboard.cancelAll();
    // The user's own stop has already set the line; only an ending they did not ask for is news.
    const bool endedByItself = !willReconnect && m_state.phase != ConnectionPhase::notConnected;
    change([willReconnect](AgentState& state) {
        state.phase = willReconnect ? ConnectionPhase::reconnecting : ConnectionPhase::notConnected;
    });
    appendLog(willReconnect ? message + text(AgentText::willReconnectSuffix) : message);
    if (endedByItself)
        notify(AgentText::connectionEndedNotice, message);
}

void AgentAppDelegate::webSocketClientWaitingForNetwork(WebSocketClient&,
                                                        const QString& message) noexcept {
    appendLog(message);
}

void AgentAppDelegate::webSocketClientReceived(WebSocketClient&,
                                               const KeyCommand& command) noexcept {
    if (!m_state.armed) {
        appendLog(text(AgentText::skippedWhilePaused, shownKey(command)));
        return;
    }
    if (!m_platform.keyPoster.mayPostEvents()) {
        refreshPermission();
        pauseAutomatically(text(AgentText::permissionWithdrawn));
        return;
    }
    const std::optional<KeyMapEntry> key = KeyMap::code(command.key);
    if (!key) {
        appendLog(text(AgentText::skippedUnsupportedKey, shownKey(command)));
        return;
    }
    if (!m_rules.allows(key->name))
        return;
    const int count = clamped(command.pressCount, minPressCount, maxPressCount, defaultPressCount);
    const int holdMs = clamped(command.holdMs, minHoldMs, maxHoldMs, defaultHoldMs);
    const std::string source = command.source && !command.source->isEmpty()
                                   ? command.source->toStdString()
                                   : std::string(defaultSource);
    if (!m_keyboard.enqueue(key->name.toStdString(), key->code, count, holdMs, source)) {
        appendLog(text(AgentText::commandQueueFull, key->name));
        return;
    }
    m_rules.accepted(key->name);
}

void AgentAppDelegate::openAccessibilitySettings() {
    // When nothing can be opened there is nowhere else to send the user; the permission line
    // already says what is missing.
    static_cast<void>(m_platform.settings.openAccessibilitySettings());
}

bool AgentAppDelegate::obtainPermission() {
    if (m_platform.keyPoster.mayPostEvents())
        return true;
    // This desktop has no prompt to raise: the permission is the X display with XTEST, so
    // asking for it is looking again.
    refreshPermission();
    return m_platform.keyPoster.mayPostEvents();
}

void AgentAppDelegate::disarm() {
    change([](AgentState& state) { state.armed = false; });
    m_keyboard.cancelAll();
}

void AgentAppDelegate::pauseAutomatically(const QString& why) {
    const bool wasArmed = m_state.armed;
    disarm();
    if (wasArmed)
        change([](AgentState& state) { state.halted = true; });
    appendLog(why);
    if (wasArmed)
        notify(AgentText::pausedNotice, why);
}

void AgentAppDelegate::stopAndSay(const QString& why) {
    const bool wasRunning =
        m_state.armed || m_state.pairing || m_state.phase != ConnectionPhase::notConnected;
    appendLog(why);
    stopTapped();
    if (wasRunning)
        change([](AgentState& state) { state.halted = true; });
    notify(AgentText::stoppedNotice, why);
}

void AgentAppDelegate::pinTapped() {
    switch (m_state.pin) {
    case PinPhase::unavailable:
        return;
    case PinPhase::unpinned:
        m_platform.focus.pinNextFocusedWindow(pinChoiceTime);
        change([](AgentState& state) { state.pin = PinPhase::choosing; });
        return;
    case PinPhase::choosing:
    case PinPhase::pinned:
    case PinPhase::windowClosed:
        m_platform.focus.unpin();
        change([](AgentState& state) {
            state.pin = PinPhase::unpinned;
            state.pinnedTitle.clear();
        });
        appendLog(text(AgentText::unpinned));
        return;
    }
}

void AgentAppDelegate::watchFocus() {
    if (!m_platform.focus.canPin())
        return;
    change([](AgentState& state) { state.pin = PinPhase::unpinned; });
    WindowFocus::Handlers handlers;
    handlers.pinned = [this](const QString& title) {
        change([&title](AgentState& state) {
            state.pin = PinPhase::pinned;
            state.pinnedTitle = title;
        });
        appendLog(text(AgentText::pinnedLog, title));
    };
    handlers.pinTimedOut = [this] {
        change([](AgentState& state) { state.pin = PinPhase::unpinned; });
        appendLog(text(AgentText::pinTimedOut));
    };
    handlers.pinnedWindowClosed = [this] {
        change([](AgentState& state) { state.pin = PinPhase::windowClosed; });
        appendLog(text(AgentText::pinnedWindowClosedLog));
        notify(AgentText::pinLostNotice, text(AgentText::pinnedWindowClosedLog));
    };
    // Runs on the focus watcher's own thread, so that a held key comes up without waiting for
    // the main thread. The agent stays armed: the next command while the game has the focus
    // goes through.
    handlers.focusLeftPinnedWindow = [this] { m_keyboard.cancelAll(); };
    m_platform.focus.observe(std::move(handlers));
}

void AgentAppDelegate::blockedKeysEdited() {
    if (m_view)
        m_rules.blockedKeysEdited(*m_view);
}

void AgentAppDelegate::limitsEdited() {
    if (m_view)
        m_rules.limitsEdited(*m_view);
}

void AgentAppDelegate::observeState(StateObserver observer) {
    m_stateObserver = std::move(observer);
    if (m_stateObserver && m_shown)
        m_stateObserver(m_state, *m_shown);
}

void AgentAppDelegate::notify(AgentText summary, const QString& body) {
    m_platform.notifications.notify(text(summary), body);
}

void AgentAppDelegate::show(const QString& description) {
    if (m_view)
        m_view->showAlert(description);
}

void AgentAppDelegate::appendLog(const QString& message) {
    if (m_view)
        m_view->appendLog(message);
}

void AgentAppDelegate::change(const std::function<void(AgentState&)>& edit) {
    edit(m_state);
    render();
}

void AgentAppDelegate::render() {
    if (!m_view)
        return;
    const ViewContent next = contentFor(m_state);
    const std::optional<ViewContent> shown = std::exchange(m_shown, next);
    const auto differs = [&](auto member) { return !shown || (*shown).*member != next.*member; };
    if (differs(&ViewContent::permission))
        m_view->setPermissionLine(next.permission.text, next.permission.color);
    if (differs(&ViewContent::connection))
        m_view->setConnectionLine(next.connection.text, next.connection.color);
    if (differs(&ViewContent::activity))
        m_view->setActivityLine(next.activity.text, next.activity.color);
    if (differs(&ViewContent::connectEnabled))
        m_view->setConnectEnabled(next.connectEnabled);
    if (differs(&ViewContent::pauseEnabled))
        m_view->setPauseEnabled(next.pauseEnabled);
    if (differs(&ViewContent::stopEnabled))
        m_view->setStopEnabled(next.stopEnabled);
    if (differs(&ViewContent::testEnabled))
        m_view->setTestEnabled(next.testEnabled);
    if (differs(&ViewContent::pauseTitle))
        m_view->setPauseTitle(next.pauseTitle);
    if (differs(&ViewContent::pin))
        m_view->setPinLine(next.pin.text, next.pin.color);
    if (differs(&ViewContent::pinTitle))
        m_view->setPinTitle(next.pinTitle);
    if (differs(&ViewContent::pinEnabled))
        m_view->setPinEnabled(next.pinEnabled);
    if (differs(&ViewContent::stopKey))
        m_view->setStopKeyLine(next.stopKey.text, next.stopKey.color);
    if (m_stateObserver)
        m_stateObserver(m_state, next);
}

} // namespace vindaro
