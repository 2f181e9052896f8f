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

// A second X client that records every key press and release the server delivers, from any
// device and whatever window has the focus (XInput2 raw events on the root window), and can
// ask the server which keys are down right now.
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

    // The title (_NET_WM_NAME, else WM_NAME) of the window that has the keyboard focus; empty
    // when no window has it.
    std::string focusedWindowTitle();

    // "a", "Return", "F12", ... as an X keysym; 0 when there is no such name.
    static unsigned long keysym(const std::string& name);
    static std::string keysymName(unsigned long keysym);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace vindaro::test
