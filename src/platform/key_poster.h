#pragma once

#include <chrono>
#include <cstdint>
#include <functional>
#include <string_view>

namespace vindaro {

// A key's place on the keyboard numbered the macOS way (0 is the key of A on an ANSI keyboard,
// 49 the space bar): the service's vocabulary, and the number the log and the held-key journal
// keep. It names a physical key, not the character a layout prints on it.
using VirtualKeyCode = std::uint16_t;

// The same place by its XKB key name ("AC01", "SPCE", "RTRN"): X11 and Wayland keymaps name
// their keys this way whatever the layout, so backends find keycodes by it.
using XkbKeyName = std::string_view;

enum class KeyDirection { down, up };

// A key event handed over with KeyPoster::sendKey(), to be followed with awaitKey().
enum class KeyTicket : std::uint64_t {};

enum class KeyDelivery {
    delivered, // the system has taken the event
    failed,    // it could not be created or sent; a key-down may still have gone through
    pending,   // no answer yet (a stalled display server): ask again later
};

// Posts synthetic key events into the desktop's input stream, as if typed on a hardware keyboard,
// for whichever application has the focus. Each implementation finds the physical key through
// KeyMap::byCode(code)->xkbName.
//
// All members may be called from several threads at once: the keyboard executor's worker presses
// keys while cancelAll() releases them from its caller.
class KeyPoster {
public:
    using PermissionHandler = std::function<void(bool mayPost)>;

    virtual ~KeyPoster() = default;

    // Whether this process may post key events, as last seen. Answers at once: it never waits for
    // the display server and never prompts the user, so the window may ask it at any time. While
    // the answer is no, asking also starts a fresh look, whose outcome a later call gives and the
    // permission handler announces.
    virtual bool mayPostEvents() = 0;

    // Creates and posts one key event and waits until it is confirmed delivered, or for a bounded
    // time of the poster's choosing. False when the event could not be created, sent or confirmed;
    // a key-down that fails may still have reached the system, so the caller should try to
    // release the key.
    [[nodiscard]] virtual bool postKey(VirtualKeyCode code, KeyDirection direction) = 0;

    // Posting in two steps, for callers that must never wait on the display server. sendKey()
    // hands one event over and returns; events handed over reach the system in the order of the
    // calls, whichever threads make them. awaitKey() then waits until `deadline` at most. Ask
    // about a ticket until it answers delivered or failed, and not after.
    //
    // The defaults post through postKey() and so wait in sendKey(); a poster whose server can
    // stall overrides both.
    [[nodiscard]] virtual KeyTicket sendKey(VirtualKeyCode code, KeyDirection direction) {
        return postKey(code, direction) ? deliveredTicket : failedTicket;
    }
    [[nodiscard]] virtual KeyDelivery awaitKey(KeyTicket ticket,
                                               std::chrono::steady_clock::time_point deadline) {
        static_cast<void>(deadline);
        return ticket == deliveredTicket ? KeyDelivery::delivered : KeyDelivery::failed;
    }

    // Whether a key-down's confirmation may come long after the system took the key: when it is
    // read on a thread of the toolkit's that the desktop's drawing can keep waiting. A hold is what
    // the game sees between its key-down and key-up, so it is then timed from the moment the
    // key-down was sent, which the system keeps in order ahead of the key-up.
    virtual bool timesHoldsFromSending() const { return false; }

    // Called on a thread of the poster's whenever the answer of mayPostEvents() changes, for
    // example when a display that went away comes back. It must return promptly. Once this
    // returns, the previous handler is no longer called. A poster whose answer only changes when
    // asked never calls it.
    virtual void setPermissionHandler(PermissionHandler handler) { static_cast<void>(handler); }

protected:
    KeyPoster() = default;
    KeyPoster(const KeyPoster&) = default;
    KeyPoster& operator=(const KeyPoster&) = default;
    KeyPoster(KeyPoster&&) = default;
    KeyPoster& operator=(KeyPoster&&) = default;

private:
    static constexpr KeyTicket failedTicket{0};
    static constexpr KeyTicket deliveredTicket{1};
};

} // namespace vindaro
