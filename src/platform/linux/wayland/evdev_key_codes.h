#pragma once

#include "platform/key_poster.h"

#include <array>
#include <cstdint>
#include <optional>
#include <string>

namespace vindaro {

// The agent's keys as Linux input (evdev) key codes, found by their XKB key names in the standard
// us/pc105 keymap, and that keymap's text for a compositor that wants one uploaded. A key's code
// names its physical place, so the streamer's own layout decides what it types, as with a
// hardware keyboard.
class EvdevKeyCodes {
public:
    // Null when xkbcommon cannot build the keymap (its data files are missing).
    static std::optional<EvdevKeyCodes> standard();

    // The evdev code of one of the agent's keys; nothing for any other code.
    std::optional<std::uint32_t> code(VirtualKeyCode key) const;

    // The modifiers (a mask in the keymap's numbering) that one of the agent's keys sets while it
    // is down: Shift for SHIFT, Control for CTRL, none for every other key.
    std::uint32_t modifiers(VirtualKeyCode key) const;

    // The keymap in the XKB text format, as wl_keyboard.keymap carries it.
    const std::string& keymapText() const { return m_keymapText; }

private:
    EvdevKeyCodes() = default;

    static constexpr std::uint32_t none = 0;
    // Indexed by virtual key code; every key of the vocabulary is below 128.
    std::array<std::uint32_t, 128> m_codes{};
    std::array<std::uint32_t, 128> m_modifiers{};
    std::string m_keymapText;
};

} // namespace vindaro
