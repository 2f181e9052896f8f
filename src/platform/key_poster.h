#pragma once

#include <cstdint>

namespace vindaro {

enum class KeyDirection { down, up };

// Posts synthetic key events into the desktop's input stream, as if typed on a hardware keyboard,
// for whichever application has the focus. Key codes are macOS virtual key codes, the service's
// vocabulary; each implementation translates them for its own system.
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
    [[nodiscard]] virtual bool postKey(std::uint16_t code, KeyDirection direction) = 0;

protected:
    KeyPoster() = default;
    KeyPoster(const KeyPoster&) = default;
    KeyPoster& operator=(const KeyPoster&) = default;
    KeyPoster(KeyPoster&&) = default;
    KeyPoster& operator=(KeyPoster&&) = default;
};

} // namespace vindaro
