#pragma once

#include "platform/key_poster.h"

#include <chrono>
#include <functional>
#include <memory>
#include <string>

namespace vindaro {

class KWinFakeInput;

// Posts keys on KDE Plasma through KWin's fake input, on a Wayland connection of the agent's own:
// evdev codes of the standard us/pc105 keymap, so a game that reads key codes sees the physical
// keys the service names. KWin offers the fake input only to a program that an installed
// desktop entry names by its absolute path (Exec=) and grants it (X-KDE-Wayland-Interfaces).
//
// A thread of its own reads KWin's events, so mayPostEvents() only reads a flag and notices at
// once when KWin goes away or withdraws the fake input.
class KWinKeyPoster final : public KeyPoster {
public:
    // Called once, on the poster's own thread, with a Thai line for the log, when keys can no
    // longer be posted. Must return promptly.
    using LossHandler = std::function<void(const std::string& line)>;

    enum class Refusal {
        none,       // connected
        noDesktop,  // no compositor at that name, or it did not answer
        notOffered, // the compositor runs but does not offer this program the fake input
    };

    // Connects (a name relative to XDG_RUNTIME_DIR, or an absolute socket path) and authenticates.
    // Null, with the reason in `refusal`, when that cannot be done within setupTimeout.
    static std::unique_ptr<KWinKeyPoster> connect(const std::string& displayName, Refusal& refusal);
    ~KWinKeyPoster() override;

    KWinKeyPoster(const KWinKeyPoster&) = delete;
    KWinKeyPoster& operator=(const KWinKeyPoster&) = delete;

    // False once KWin has gone or withdrawn the fake input. Never waits.
    bool mayPostEvents() override;
    // True once KWin has answered a round trip sent after the event, so it has given the key to
    // the focused window. A key-up is still tried after the fake input was withdrawn, while the
    // connection lives.
    bool postKey(VirtualKeyCode code, KeyDirection direction) override;

    void setOnLost(LossHandler handler);

    static constexpr std::chrono::milliseconds setupTimeout{2000};
    static constexpr std::chrono::milliseconds confirmationTimeout{1000};

private:
    explicit KWinKeyPoster(std::unique_ptr<KWinFakeInput> input);

    std::unique_ptr<KWinFakeInput> m_input;
};

} // namespace vindaro
