#pragma once

#include <QProcess>
#include <QTemporaryDir>

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace vindaro {
class KeyPoster;
}

namespace vindaro::test {

struct WaylandKey {
    unsigned keycode;     // XKB keycode: the Linux input code plus 8
    unsigned long keysym; // what the key types under the compositor's layout and modifiers
    bool pressed;
    std::uint32_t time;                               // the event's own time stamp, milliseconds
    std::chrono::steady_clock::time_point receivedAt; // when the window read it
    unsigned modifiers;                               // Qt::KeyboardModifiers the window saw
};

// A native Wayland window in a process of its own that records the keys the compositor gives it,
// read on this thread's event loop, which the waits below run.
class WaylandKeyRecorder {
public:
    // `name` becomes the window's title and app_id.
    explicit WaylandKeyRecorder(const std::string& waylandDisplay,
                                const std::string& name = "vindaro-recorder");
    ~WaylandKeyRecorder();

    WaylandKeyRecorder(const WaylandKeyRecorder&) = delete;
    WaylandKeyRecorder& operator=(const WaylandKeyRecorder&) = delete;

    const std::vector<WaylandKey>& keys() const { return m_keys; }
    bool focused() const { return m_focused; } // whether it has been the active window
    qint64 pid() const { return m_process.processId(); }
    void clear() { m_keys.clear(); }

    const std::vector<WaylandKey>& waitForKeys(std::size_t count,

                                               std::chrono::milliseconds timeout);
    // A compositor gives a new window the keyboard a little after it maps: taps Shift through
    // the poster until the window has seen some of it, then Control once, and forgets every key
    // once Control is up. False on timeout.
    bool waitUntilReceiving(KeyPoster& poster, std::chrono::milliseconds timeout);

private:
    void read();

    QTemporaryDir m_folder;
    QProcess m_process;
    std::vector<WaylandKey> m_keys;
    bool m_focused = false;
};

// "+38@1234 -38@1254 ..." for failure messages.
std::string describe(const std::vector<WaylandKey>& keys);

} // namespace vindaro::test
