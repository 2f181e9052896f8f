#pragma once

#include <functional>

namespace vindaro {

// A key that stops the agent from inside a full-screen game: Pause, with any modifiers. It does
// what the stop button does. The agent's own key vocabulary has no Pause, so the agent can never
// press it itself.
class StopKey {
public:
    enum class State {
        // Pause stops the agent whichever program has the focus, even one holding the keyboard.
        ready,
        // Another program holds Pause; where the desktop still reports raw key presses they are
        // heard, but the window must not promise that the key works.
        takenByAnotherProgram,
        // The desktop lets no program see keys meant for others (a Wayland compositor): the
        // streamer binds Pause to `vindaro-agent --stop` in the desktop's own settings.
        needsDesktopShortcut,
        // Nothing here can hear the key (no display to listen on).
        unavailable,
    };

    virtual ~StopKey() = default;

    virtual State state() const = 0;

    // Replaces the handler, which runs on the main thread each time the key is pressed; empty
    // ignores presses. Call on the main thread.
    virtual void observe(std::function<void()> pressed) = 0;

    // Replaces the handler that runs on the main thread whenever state() changes after start-up
    // (the key taken again after a keymap change, or after the display came back). A key whose
    // state never changes never calls it. Call on the main thread.
    virtual void observeState(std::function<void()> changed) { static_cast<void>(changed); }
};

} // namespace vindaro
