#pragma once

#include "platform/key_poster.h"

#include <QString>

#include <optional>
#include <span>

namespace vindaro {

// A key name and its virtual key code, as a command names it.
struct KeyMapEntry {
    QString name;
    VirtualKeyCode code;
    friend bool operator==(const KeyMapEntry&, const KeyMapEntry&) = default;
};

// One of the keys the service may ask for, in the agent's one key vocabulary: the name the
// service's commands use, the key's macOS virtual key code (the number the protocol and the log
// use), and the XKB name of the same physical place on an ANSI keyboard. Every posting backend
// presses the key by its XKB name, so a command presses the same physical key whatever layout
// the streamer types with.
struct KeyName {
    const char* name;    // "A", "SPACE", "F1"
    VirtualKeyCode code; // 0 for A
    XkbKeyName xkbName;  // "AC01" for A
};

namespace KeyMap {

// The 59 keys the service may ask for, in the order the self-test lists them.
std::span<const KeyName> values();

// Trims white space and line breaks, upper-cases, then looks the name up exactly.
// An absent name is treated as empty text and so has no entry.
std::optional<KeyMapEntry> code(const std::optional<QString>& name);

// The key with this virtual key code; null when it is none of the 59.
const KeyName* byCode(VirtualKeyCode code);

} // namespace KeyMap

} // namespace vindaro
