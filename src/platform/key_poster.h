#pragma once

#include <cstdint>
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

// Posts synthetic key events into the desktop's input stream, as if typed on a hardware keyboard,
// for whichever application has the focus. Each implementation finds the physical key through
// KeyMap::byCode(code)->xkbName.
//
// Implementations must allow postKey() from one thread while another thread is also posting:
// the keyboard executor's worker presses keys while cancelAll() releases them from its caller.
class KeyPoster {
public:
    virtual ~KeyPoster() = default;

    // Whether this process may post key events now. Never prompts the user; cheap enough to ask
    // before every press.
    virtual bool mayPostEvents() = 0;

    // Creates and posts one key event. False when the event could not be created or could not
    // be confirmed delivered; a key-down that fails may still have reached the system, so the
    // caller should try to release the key.
    [[nodiscard]] virtual bool postKey(VirtualKeyCode code, KeyDirection direction) = 0;

protected:
    KeyPoster() = default;
    KeyPoster(const KeyPoster&) = default;
    KeyPoster& operator=(const KeyPoster&) = default;
    KeyPoster(KeyPoster&&) = default;
    KeyPoster& operator=(KeyPoster&&) = default;
};

} // namespace vindaro
