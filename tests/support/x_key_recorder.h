#pragma once

#include <cctype>
#include <chrono>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <map>
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

// What a US layout types, unshifted, on the key of a key-map name; from the name, not the code.
inline unsigned long usKeysymOf(const std::string& keyName) {
    static const std::map<std::string, unsigned long> named = {
        {"SPACE", 0x20},   {"ENTER", 0xff0d}, {"TAB", 0xff09},      {"ESC", 0xff1b},
        {"UP", 0xff52},    {"DOWN", 0xff54},  {"LEFT", 0xff51},     {"RIGHT", 0xff53},
        {"SHIFT", 0xffe1}, {"CTRL", 0xffe3},  {"BACKSPACE", 0xff08}};
    if (const auto found = named.find(keyName); found != named.end())
        return found->second;
    if (keyName.size() == 1)
        return static_cast<unsigned long>(std::tolower(keyName[0]));
    return 0xffbe + std::stoul(keyName.substr(1)) - 1; // F1 ... F12
}

// A top-level window of the recorder; 0 stands for the bare root window.
using TestWindow = unsigned long;

// A second X client that records every key the server delivers (XInput2 raw events) and plays
// the other programs on the desktop: windows, a keyboard typed on through XTest, a game's grabs.
// It has no thread: a key is stamped when a call reads it, so wait with the calls below.
class XKeyRecorder {
public:
    // Records from here on. Throws std::runtime_error without the display or its XInput2.
    explicit XKeyRecorder(const std::string& displayName);
    // Must run while the server is still up: Xlib ends the process on a lost connection.
    ~XKeyRecorder();

    XKeyRecorder(const XKeyRecorder&) = delete;
    XKeyRecorder& operator=(const XKeyRecorder&) = delete;

    std::vector<RecordedKey> events() const;
    // What was recorded once there are `count` events, `done` holds, or `timeout` has passed.
    std::vector<RecordedKey> waitForEvents(std::size_t count,
                                           std::chrono::milliseconds timeout) const;
    std::vector<RecordedKey>
    waitUntil(const std::function<bool(const std::vector<RecordedKey>&)>& done,
              std::chrono::milliseconds timeout) const;

    std::vector<unsigned> keysDown(); // keycodes the server reports as down
    // Grabs the X server for this client, as screen lockers and some games do, or lets it go.
    void grabServer(bool grabbed);
    void lockGroup(unsigned group); // 0 for the keymap's first layout
    // Swaps two keys' XKB names, as a keymap tool may: only a names change, no new keyboard.
    void swapKeyNames(unsigned keycode, unsigned otherKeycode);
    // The _NET_WM_NAME of the window with the keyboard focus; empty when no window has it.
    std::string focusedWindowTitle();

    // A viewable top-level window with this _NET_WM_NAME, WM_CLASS and _NET_WM_PID.
    TestWindow createWindow(const std::string& title, const std::string& programClass,
                            unsigned long pid);
    // Gives the window the keyboard focus, as a click on it would.
    void focus(TestWindow window);
    void destroy(TestWindow window);
    void movePointerTo(TestWindow window); // 0: over the bare root window
    // The key events the server delivered to the window itself.
    std::vector<RecordedKey> keysAt(TestWindow window) const;

    // Through XTest, on a connection other than the one that owns the windows and grabs.
    void typeKey(const std::string& keysymName, bool down);
    // The whole keyboard for the window, as a full-screen game does; one key on the root window.

    bool grabKeyboard(TestWindow window); // 0 lets go
    void grabKey(const std::string& keysymName);

    // "a", "Return", "F12", ... as an X keysym; 0 when there is no such name.
    static unsigned long keysym(const std::string& name);
    static std::string keysymName(unsigned long keysym);

private:
    struct State;
    std::unique_ptr<State> m_state;
};

} // namespace vindaro::test
