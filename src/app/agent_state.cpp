#include "agent_state.h"

#include "app/agent_text.h"

namespace vindaro {

namespace {

StatusLine pinLine(const AgentState& state) {
    switch (state.pin) {
    case PinPhase::unavailable:
        return {text(AgentText::pinUnavailable), StatusColor::secondary};
    case PinPhase::unpinned:
        return {text(AgentText::notPinned), StatusColor::secondary};
    case PinPhase::choosing:
        return {text(AgentText::choosingWindow), StatusColor::orange};
    case PinPhase::pinned:
        return {text(AgentText::pinnedTo, state.pinnedTitle), StatusColor::green};
    case PinPhase::windowClosed:
        return {text(AgentText::pinnedWindowGone), StatusColor::red};
    }
    return {};
}

StatusLine connectionLine(ConnectionPhase phase) {
    switch (phase) {
    case ConnectionPhase::notConnected:
        return {text(AgentText::notConnected), StatusColor::red};
    case ConnectionPhase::pairing:
        return {text(AgentText::pairing), StatusColor::orange};
    case ConnectionPhase::pairingFailed:
        return {text(AgentText::pairingFailed), StatusColor::red};
    case ConnectionPhase::connecting:
        return {text(AgentText::connecting), StatusColor::orange};
    case ConnectionPhase::reconnecting:
        return {text(AgentText::reconnecting), StatusColor::orange};
    case ConnectionPhase::connected:
        return {text(AgentText::connected), StatusColor::green};
    }
    return {};
}

} // namespace

StatusLine stopKeyLine(const std::optional<StopKey::State>& state) {
    if (!state)
        return {};
    switch (*state) {
    case StopKey::State::ready:
        return {text(AgentText::stopKeyReady), StatusColor::green};
    case StopKey::State::takenByAnotherProgram:
        return {text(AgentText::stopKeyTaken), StatusColor::orange};
    case StopKey::State::needsDesktopShortcut:
        return {text(AgentText::stopKeyNeedsShortcut), StatusColor::secondary};
    case StopKey::State::unavailable:
        return {text(AgentText::stopKeyUnavailable), StatusColor::orange};
    }
    return {};
}

// What the window shows for a state. Connect waits while the agent is connected or pairing.
// An armed agent presses keys the moment a socket opens, so stop is there whenever it is armed
// or a connection is being opened, and pause whenever it is armed (resume needs a connection).
ViewContent contentFor(const AgentState& state) {
    ViewContent content;
    if (state.mayPost)
        content.permission =
            *state.mayPost ? StatusLine{text(AgentText::permissionGranted), StatusColor::green}
                           : StatusLine{text(AgentText::permissionMissing), StatusColor::red};
    content.connection = connectionLine(state.phase);
    content.activity = state.armed ? StatusLine{text(AgentText::armed), StatusColor::green}
                                   : StatusLine{text(AgentText::notArmed), StatusColor::secondary};
    content.connectEnabled =
        !state.isConnected() && !state.pairing && (!state.waitingOnKeyring || state.restoring);
    const bool opening =
        state.phase == ConnectionPhase::connecting || state.phase == ConnectionPhase::reconnecting;
    content.pauseEnabled = state.isConnected() || state.armed;
    content.stopEnabled = state.isConnected() || state.armed || opening || state.pairing ||
                          (state.waitingOnKeyring && !state.restoring);
    // Until the permission has been looked at there is no reason to refuse the test press.
    content.testEnabled = state.mayPost.value_or(true);
    content.pauseTitle = text(state.armed ? AgentText::pause : AgentText::resume);
    content.pin = pinLine(state);
    const bool pinSet = state.pin == PinPhase::choosing || state.pin == PinPhase::pinned ||
                        state.pin == PinPhase::windowClosed;
    content.pinTitle = text(pinSet ? AgentText::unpinButton : AgentText::pinButton);
    content.pinEnabled = state.pin != PinPhase::unavailable;
    content.stopKey = stopKeyLine(state.stopKey);
    return content;
}

} // namespace vindaro
