#pragma once

#include "app/agent_view.h"
#include "platform/stop_key.h"

#include <QString>

#include <optional>

namespace vindaro {

// Where the relay connection stands, as the connection line says it. Pairing and its failure
// show on the same line, since they come before a connection.
enum class ConnectionPhase {
    notConnected,
    pairing,
    pairingFailed,
    connecting,
    reconnecting,
    connected
};

// Whether the agent's keys go only to one game window. The pin lasts for the run.
enum class PinPhase {
    unavailable, // the desktop does not say which window has the focus
    unpinned,    // keys go to whichever window has the focus
    choosing,    // the next window the streamer clicks is pinned
    pinned,      // keys go only to the pinned window
    windowClosed // the pinned window is gone: no key goes anywhere until the streamer decides
};

// Everything the window shows follows from this one value. The controller changes it only through
// AgentAppDelegate::change(), which repaints.
struct AgentState {
    ConnectionPhase phase = ConnectionPhase::notConnected;
    // A pairing request is in flight. It is apart from the phase because a connection that was
    // lost may come back while the user pairs, and the pairing's answer still counts then.
    bool pairing = false;
    // A keyring flow is under way or waiting for its turn: connect waits for it. Stop does not
    // end it; it only drops what was to follow.
    bool waitingOnKeyring = false;
    // The start-up read of the stored credentials is that step. Connect stays offered meanwhile:
    // a press is kept and acted on once the read is done, so a code typed at once is not lost.
    bool restoring = false;
    // Received key commands may be pressed.
    bool armed = false;
    // Whether keys may be posted, as last looked at; unknown until start-up looks.
    std::optional<bool> mayPost;
    PinPhase pin = PinPhase::unavailable;
    QString pinnedTitle;
    std::optional<StopKey::State> stopKey; // unknown until start-up
    // Stopped or paused by something the streamer did not press in the window (the stop key,
    // `--stop`, sleep, lock, lost key output); over once they connect or resume.
    bool halted = false;

    bool isConnected() const { return phase == ConnectionPhase::connected; }
    friend bool operator==(const AgentState&, const AgentState&) = default;
};

// What the window shows for a state.
ViewContent contentFor(const AgentState& state);
// The stop key's line in the window, and in the log when its state changes; empty when unknown.
StatusLine stopKeyLine(const std::optional<StopKey::State>& state);

} // namespace vindaro
