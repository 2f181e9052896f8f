#pragma once

#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <vector>

namespace vindaro::test {

struct RecordedKey {
    unsigned keycode;
    unsigned long keysym; // the key's first keysym, as the unshifted key types it
    bool pressed;
    std::uint32_t serverTime; // milliseconds of the server's monotonic clock
    std::chrono::steady_clock::time_point receivedAt; // when this client read it
};

// A top-level window of the recorder; 0 stands for the bare root window.
using TestWindow = unsigned long;

// A second X client that records every key press and release the server delivers, from any
// device and whatever window has the focus (XInput2 raw events on the root window), and can
// ask the server which keys are down right now. It also plays the other programs on the
// desktop: windows that record the keys delivered to them, a keyboard typed on through XTest, a
// game that grabs the keyboard.
class XKeyRecorder {
public:
    // Recording has started when the constructor returns. Throws std::runtime_error when the
    // display cannot be opened or lacks XInput2.
    explicit XKeyRecorder(const std::string& displayName);
    // Must run while the server is still up: Xlib ends the process on a lost connection.
    ~XKeyRecorder();

    XKeyRecorder(const XKeyRecorder&) = delete;
    XKeyRecorder& operator=(const XKeyRecorder&) = delete;

    std::vector<RecordedKey> events() const;
    // Waits until at least `count` events have been recorded or `timeout` has passed, and
    // returns what was recorded by then.
    std::vector<RecordedKey> waitForEvents(std::size_t count,
                                           std::chrono::milliseconds timeout) const;
    // Waits until `done` holds for the recorded events or `timeout` has passed.
    std::vector<RecordedKey>
    waitUntil(const std::function<bool(const std::vector<RecordedKey>&)>& done,
              std::chrono::milliseconds timeout) const;

    // Keycodes the server reports as down (XQueryKeymap).
    std::vector<unsigned> keysDown();
    // Grabs the X server for this client, as screen lockers and some games do, or lets it go.
    // While grabbed, the server serves no other client unless that client asked XTest to be
    // served anyway.
    void grabServer(bool grabbed);
    // Takes the keysym off every key that carries it, so nothing on the keyboard types it.
    void removeKeysym(const std::string& keysymName);
    // Makes `group` (0 for the keymap's first layout) the keyboard's active one.
    void lockGroup(unsigned group);

    // The title (_NET_WM_NAME, else WM_NAME) of the window that has the keyboard focus; empty
    // when no window has it.
    std::string focusedWindowTitle();

    // Maps a top-level window with the title (_NET_WM_NAME and WM_NAME), program class
    // (WM_CLASS) and process id (_NET_WM_PID) given, and returns once it is viewable.
    TestWindow createWindow(const std::string& title, const std::string& programClass,
                            unsigned long pid);
    // Gives the window the keyboard focus, as a click on it would.
    void focus(TestWindow window);
    void destroy(TestWindow window);
    // Moves the pointer into the window, or for 0 over the bare root window.
    void movePointerTo(TestWindow window);
    // The key events the server delivered to the window itself.
    std::vector<RecordedKey> keysAt(TestWindow window) const;

    // Presses or releases the key that types `keysymName`, through XTest on a connection other
    // than the one that owns the windows and grabs.
    void typeKey(const std::string& keysymName, bool down);
    // Actively grabs the whole keyboard for the window, as a full-screen game does.
    bool grabKeyboard(TestWindow window);
    // Passively grabs the key on the root window with any modifiers.
    void grabKey(const std::string& keysymName);

    // "a", "Return", "F12", ... as an X keysym; 0 when there is no such name.
    static unsigned long keysym(const std::string& name);
    static std::string keysymName(unsigned long keysym);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace vindaro::test
