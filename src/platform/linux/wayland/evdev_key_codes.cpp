#include "evdev_key_codes.h"

#include "keyboard/key_map.h"

#include <xkbcommon/xkbcommon.h>

#include <cstdlib>
#include <memory>
#include <string>

namespace vindaro {

namespace {

// XKB keycodes are the kernel's evdev codes plus 8, a leftover of the X protocol's minimum.
constexpr xkb_keycode_t evdevOffset = 8;

struct ContextDeleter {
    void operator()(xkb_context* context) const { xkb_context_unref(context); }
};
struct KeymapDeleter {
    void operator()(xkb_keymap* keymap) const { xkb_keymap_unref(keymap); }
};
struct StateDeleter {
    void operator()(xkb_state* state) const { xkb_state_unref(state); }
};

// What the keymap's own actions make of the key held alone, so the mask follows whatever the
// keymap binds to that key.
std::uint32_t modifiersWhileDown(xkb_keymap* keymap, xkb_keycode_t keycode) {
    const std::unique_ptr<xkb_state, StateDeleter> state(xkb_state_new(keymap));
    if (!state)
        return 0;
    xkb_state_update_key(state.get(), keycode, XKB_KEY_DOWN);
    return xkb_state_serialize_mods(state.get(), XKB_STATE_MODS_DEPRESSED);
}

} // namespace

std::optional<EvdevKeyCodes> EvdevKeyCodes::standard() {
    // No environment names: XKB_DEFAULT_LAYOUT and friends must not change which keys we press.
    const std::unique_ptr<xkb_context, ContextDeleter> context(
        xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES));
    if (!context)
        return std::nullopt;
    const xkb_rule_names names{"evdev", "pc105", "us", "", ""};
    const std::unique_ptr<xkb_keymap, KeymapDeleter> keymap(
        xkb_keymap_new_from_names(context.get(), &names, XKB_KEYMAP_COMPILE_NO_FLAGS));
    if (!keymap)
        return std::nullopt;

    EvdevKeyCodes codes;
    for (const KeyName& key : KeyMap::values()) {
        const std::string xkbName(key.xkbName);
        const xkb_keycode_t keycode = xkb_keymap_key_by_name(keymap.get(), xkbName.c_str());
        if (keycode == XKB_KEYCODE_INVALID || keycode <= evdevOffset ||
            key.code >= codes.m_codes.size())
            return std::nullopt;
        codes.m_codes[key.code] = keycode - evdevOffset;
        codes.m_modifiers[key.code] = modifiersWhileDown(keymap.get(), keycode);
    }
    const std::unique_ptr<char, decltype(&std::free)> text(
        xkb_keymap_get_as_string(keymap.get(), XKB_KEYMAP_FORMAT_TEXT_V1), &std::free);
    if (!text)
        return std::nullopt;
    codes.m_keymapText = text.get();
    return codes;
}

std::optional<std::uint32_t> EvdevKeyCodes::code(VirtualKeyCode key) const {
    if (key >= m_codes.size() || m_codes[key] == none)
        return std::nullopt;
    return m_codes[key];
}

std::uint32_t EvdevKeyCodes::modifiers(VirtualKeyCode key) const {
    return key < m_modifiers.size() ? m_modifiers[key] : 0;
}

} // namespace vindaro
