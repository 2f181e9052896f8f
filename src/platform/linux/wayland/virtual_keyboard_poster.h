#pragma once

#include "platform/key_poster.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vindaro {

class VirtualKeyboardConnection;

// Posts keys through the virtual keyboard that wlroots compositors (sway, Hyprland, river,
// Wayfire, labwc) offer their clients: one keyboard for the whole run, on a Wayland connection of
// its own, with the standard us/pc105 keymap uploaded once, so a game that reads key codes sees
// the physical keys the service names.
//
// A thread of its own reads the compositor's events, so mayPostEvents() only reads a flag and
// notices at once when the compositor goes away or withdraws the virtual keyboard.
class VirtualKeyboardPoster final : public KeyPoster {
public:
    // Called once, on the poster's own thread, with a Thai line for the log, when keys can no
    // longer be posted. Must return promptly.
    using LossHandler = std::function<void(const std::string& line)>;

    // Connects to the compositor (a name relative to XDG_RUNTIME_DIR, an absolute socket path,
    // or empty for WAYLAND_DISPLAY), makes the keyboard and waits until the compositor has its
    // keymap, so the first key is not spent on the keyboard's arrival. Null when there is no
    // compositor, it offers no virtual keyboard, or it does not answer within setupTimeout.
    static std::unique_ptr<VirtualKeyboardPoster> connect(const std::string& displayName = {});
    ~VirtualKeyboardPoster() override;

    VirtualKeyboardPoster(const VirtualKeyboardPoster&) = delete;
    VirtualKeyboardPoster& operator=(const VirtualKeyboardPoster&) = delete;

    // False once the compositor has gone or withdrawn the virtual keyboard. Never waits.
    bool mayPostEvents() override;
    // True once the compositor has answered a round trip sent after the event, so it has
    // applied the key to its seat (and sent it to the focused window, if any). A key-up is still
    // tried after the keyboard was withdrawn, while the connection lives.
    bool postKey(VirtualKeyCode code, KeyDirection direction) override;

    void setOnLost(LossHandler handler);

    static constexpr std::chrono::milliseconds setupTimeout{2000};
    static constexpr std::chrono::milliseconds confirmationTimeout{1000};

private:
    explicit VirtualKeyboardPoster(std::unique_ptr<VirtualKeyboardConnection> connection);

    std::unique_ptr<VirtualKeyboardConnection> m_connection;
};

} // namespace vindaro
