#pragma once

#include "platform/window_focus.h"

#include <chrono>
#include <memory>
#include <string>

namespace vindaro {

// Which X window has the keyboard focus, and the pin to one game window.
//
// Construct, observe, pin and unpin on the main thread; the main thread never waits on the X
// server here. X events are read on a thread of its own with a connection of its own, and
// beforeKeyDown() asks the server on a second connection, from whichever thread calls it.
// Whatever holds this as its KeyDestinationCheck must be destroyed first.
class X11WindowFocus final : public WindowFocus {
public:
    // An empty display name means $DISPLAY. Connects in the background: canPin() is true until
    // connecting has failed, and a pin asked for after that times out at once.
    explicit X11WindowFocus(std::string displayName = {});
    ~X11WindowFocus() override;

    X11WindowFocus(const X11WindowFocus&) = delete;
    X11WindowFocus& operator=(const X11WindowFocus&) = delete;

    bool canPin() const override;
    // The focusLeftPinnedWindow handler runs on the X event thread and must not call observe();
    // observe() waits for a call of it that is under way.
    void observe(Handlers handlers) override;
    void pinNextFocusedWindow(std::chrono::milliseconds within) override;
    void unpin() override;

    // One round trip to the server while the focus stays in one window; a few more the first
    // time the focus is in a window it has not seen. A focus that cannot be read (no answer
    // within checkTimeout, a broken connection) refuses the key-down. While pinned, a keyboard
    // grab by another program counts as the focus elsewhere.
    KeyDestination beforeKeyDown() override;

    static constexpr std::chrono::milliseconds checkTimeout{100};

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace vindaro
