#pragma once

#include "platform/stop_key.h"

#include <atomic>
#include <chrono>
#include <memory>
#include <string>

namespace vindaro {

// Pause, with any modifiers, heard on an X server whichever window has the focus: a passive
// grab on the root window takes the key away from other programs, and XInput 2 raw key events
// still report it while a game holds the whole keyboard (the grab does not fire then).
//
// Construct and observe on the main thread. The key is watched on a thread of its own with a
// connection of its own; each physical press, however long it is held, calls the handler once.
class X11StopKey final : public StopKey {
public:
    // An empty display name means $DISPLAY. Waits up to setupTimeout for the server's answer to
    // the grab, normally about a millisecond, so that state() is right from the start; a server
    // slower than that leaves state() at takenByAnotherProgram until the answer comes.
    explicit X11StopKey(std::string displayName = {});
    ~X11StopKey() override;

    X11StopKey(const X11StopKey&) = delete;
    X11StopKey& operator=(const X11StopKey&) = delete;

    // needsDesktopShortcut when the display cannot be opened at all.
    State state() const override;
    void observe(std::function<void()> pressed) override;
    // Changes come with keymap changes, when the display goes away (unavailable) and when it
    // comes back: the key is looked for every reconnectInterval meanwhile.
    void observeState(std::function<void()> changed) override;

    static constexpr std::chrono::milliseconds setupTimeout{500};
    static constexpr std::chrono::seconds reconnectInterval{2};

private:
    struct Watcher;
    std::unique_ptr<Watcher> m_watcher;
};

} // namespace vindaro
