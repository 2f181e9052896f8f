#pragma once

#include "pairing/credential_keeper.h"

#include <QString>

namespace vindaro {

// Every text the window and the controller show, in one place, each word for word as the user
// sees it. Texts that name something (a key, a room, a session) take it as their detail.
enum class AgentText {
    // Status lines.
    permissionGranted,
    permissionMissing,
    notConnected,
    connecting,
    connected,
    reconnecting,
    pairing,
    pairingFailed,
    armed,
    notArmed,

    // The pause button's two titles: what pressing it does.
    pause,
    resume,

    // Pinning the game window: the button, the status line and the log.
    pinButton,
    unpinButton,
    pinUnavailable,
    notPinned,
    choosingWindow,
    pinnedTo, // detail: the window's title
    pinnedWindowGone,
    pinnedLog,   // detail: the window's title
    pinTimedOut, //
    unpinned,
    pinnedWindowClosedLog,
    skippedNotInFront,   // detail: the key
    skippedPinnedClosed, // detail: the key
    skippedNoWindow,     // detail: the key
    skippedAgentWindow,  // detail: the key

    // The stop key.
    stopKeyReady,
    stopKeyTaken,
    stopKeyNeedsShortcut,
    stopKeyUnavailable,
    stopKeyPressed,
    stopRequested,

    // Keys the streamer's viewers may not press.
    blockedKeysLabel,
    blockedKeysExample,
    blockedKeysSet, // detail: the list
    blockedKeysNone,
    blockedKeysRefused,   // detail: the unknown names
    storedBlockedKeysBad, // detail: the unknown names
    skippedBlockedKey,    // detail: the key

    // Limits on the viewers' commands, the panel's status item, and starting with the desktop.
    cooldownLabel,
    perMinuteLabel,
    limitOff,
    cooldownSet, // detail: the milliseconds
    cooldownOff,
    perMinuteSet, // detail: the count
    perMinuteOff,
    cooldownRefused,
    perMinuteRefused,
    storedLimitsBad,
    skippedCoolingDown,  // detail: the key
    skippedPerMinuteCap, // detail: the key
    haltedLine,
    showWindowItem,
    startWithDesktop,
    startWithDesktopOn,
    startWithDesktopOff,
    startWithDesktopFailed, // detail: why

    // Desktop notifications' summaries.
    connectionEndedNotice,
    pausedNotice,
    stoppedNotice,
    pinLostNotice,

    // Event log lines.
    restoredSession,
    restoredLegacyPairing, // detail: the room
    connectingSession,     // detail: the session id
    connectingLegacyRoom,  // detail: the room
    connectedAdvice,
    willReconnectSuffix,
    permissionNotGranted,
    permissionWithdrawn,
    checkingPairingCode,
    pairedAndStored,
    usingLegacyPairing,
    paused,
    resumed,
    agentStopped,
    cleared,
    keychainUnreadable,
    clearFailed, // detail: the keychain's error
    nothingStored,
    formerPairingKept,
    saveFailed, // detail: what is stored now
    machineSleeping,
    screenLocked,
    skippedWhilePaused,    // detail: the key
    skippedUnsupportedKey, // detail: the key
    commandQueueFull,      // detail: the key
    testQueueFull,

    // The window.
    windowTitle,
    appName,
    subtitle,
    requestPermissionButton,
    openSettingsButton,
    instructions,
    codeField,
    pasteButton,
    clearButton,
    connectButton,
    stopButton,
    testButton,
    warning,
    logTitle,
    footer,
    aboutItem,
    quitItem,
    version, // detail: the version number
    alertButton,
};

// The text, with its detail where it takes one.
QString text(AgentText id, const QString& detail = {});

// The one log line that ends a credential flow: what is stored now, with the legacy pairing held.
QString credentialsLine(const CredentialKeeper::Report& report,
                        const std::optional<AgentPairing>& pairing);

} // namespace vindaro
