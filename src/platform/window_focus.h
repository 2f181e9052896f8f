#pragma once

#include <QString>

#include <chrono>
#include <functional>
#include <mutex>

namespace vindaro {

// Where a key-down would land if it were posted now.
enum class KeyDestination {
    // The focused window may have the key: the pinned window, or any window while none is pinned.
    allowed,
    // A window is pinned and another one, or none, has the focus.
    pinnedWindowNotFocused,
    // The pinned window is gone. Nothing may have keys until the streamer pins again or unpins:
    // the agent never falls back to "any window" by itself.
    pinnedWindowClosed,
    // Nothing is pinned and no window has the keyboard focus: the desktop itself, or a native
    // Wayland window, which X clients cannot see. Also when the focus could not be read: a key
    // is never pressed blindly.
    noFocusedWindow,
    // Nothing is pinned and one of the agent's own windows has the focus: a viewer's key would
    // type into the agent itself.
    agentWindowFocused,
};

// Asked by the keyboard worker right before every key-down. Free of Qt types so that the
// executor can hold it; callable from any thread, and quick (well under a millisecond).
class KeyDestinationCheck {
public:
    virtual ~KeyDestinationCheck() = default;
    virtual KeyDestination beforeKeyDown() = 0;
};

// Which window has the keyboard focus, as the desktop tells it, so that the streamer can pin the
// agent's keys to one game window. One implementation per desktop backend. A pin lasts for the
// run and is never stored.
class WindowFocus : public KeyDestinationCheck {
public:
    struct Handlers {
        // On the main thread: the pin caught this window, named by its title.
        std::function<void(const QString& title)> pinned;
        // On the main thread: no other window took the focus in time; nothing is pinned.
        std::function<void()> pinTimedOut;
        // On the main thread: the pinned window closed. The pin stays and refuses every key.
        std::function<void()> pinnedWindowClosed;
        // On whichever thread saw it, at once: the focus left the pinned window. Held keys must
        // come up within milliseconds, so the handler releases them itself (the executor's
        // cancelAll() may be called from any thread) and hops to the main thread for the rest.
        std::function<void()> focusLeftPinnedWindow;
    };

    // Whether this desktop says which window has the focus. When it does not, pinning cannot be
    // offered and beforeKeyDown() always answers allowed.
    virtual bool canPin() const = 0;

    // Replaces the handlers; call on the main thread. Until then events are dropped. Once it
    // returns, the previous handlers are not called again, from any thread.
    virtual void observe(Handlers handlers) = 0;

    // Pins the next window other than the agent's own that receives the focus within `within`.
    // Replaces any pin or pin in progress. Main thread.
    virtual void pinNextFocusedWindow(std::chrono::milliseconds within) = 0;

    // Ends the pin, or the wait for one; keys then go to whichever window has the focus.
    virtual void unpin() = 0;
};

// The focus-left handler as the thread that reads the desktop's events holds it: a call runs to
// its end before set() replaces the handler, so that observe() can keep its promise and a
// controller that has gone is never called.
class FocusLeftHandler {
public:
    void set(std::function<void()> handler) {
        std::scoped_lock lock(m_mutex);
        m_handler = std::move(handler);
    }
    void operator()() {
        std::scoped_lock lock(m_mutex);
        if (m_handler)
            m_handler();
    }

private:
    std::mutex m_mutex;
    std::function<void()> m_handler;
};

// For desktops that do not say which window has the focus: nothing can be pinned, and every key
// goes wherever the desktop sends it.
class UnknownWindowFocus final : public WindowFocus {
public:
    KeyDestination beforeKeyDown() override { return KeyDestination::allowed; }
    bool canPin() const override { return false; }
    void observe(Handlers) override {}
    void pinNextFocusedWindow(std::chrono::milliseconds) override {}
    void unpin() override {}
};

} // namespace vindaro
