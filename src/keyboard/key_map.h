#pragma once

#include <QString>
#include <QtGlobal>

#include <optional>
#include <span>

namespace vindaro {

// A key name and its macOS virtual key code. The posting layer translates the code for the
// platform it runs on; the table itself is the service's vocabulary.
struct KeyMapEntry {
    QString name;
    quint16 code;
    friend bool operator==(const KeyMapEntry&, const KeyMapEntry&) = default;
};

struct KeyName {
    const char* name;
    quint16 code;
};

namespace KeyMap {

// The 59 keys the service may ask for, in the order the self-test lists them.
std::span<const KeyName> values();

// Trims white space and line breaks, upper-cases, then looks the name up exactly.
// An absent name is treated as empty text and so has no entry.
std::optional<KeyMapEntry> code(const std::optional<QString>& name);

} // namespace KeyMap

} // namespace vindaro
