#include "key_map.h"

#include "model/text_rules.h"

#include <QHash>

#include <algorithm>
#include <array>

namespace vindaro::KeyMap {

namespace {

// The service's key names, in the order the self-test lists them, with each key's macOS virtual
// key code and XKB position name. SHIFT and CTRL are the left-hand keys; BACKSPACE is the key macOS
// calls Delete.
constexpr std::array<KeyName, 59> table = {{
    {"SPACE", 49, "SPCE"}, {"ENTER", 36, "RTRN"}, {"TAB", 48, "TAB"},        {"ESC", 53, "ESC"},
    {"UP", 126, "UP"},     {"DOWN", 125, "DOWN"}, {"LEFT", 123, "LEFT"},     {"RIGHT", 124, "RGHT"},
    {"SHIFT", 56, "LFSH"}, {"CTRL", 59, "LCTL"},  {"BACKSPACE", 51, "BKSP"}, {"A", 0, "AC01"},
    {"B", 11, "AB05"},     {"C", 8, "AB03"},      {"D", 2, "AC03"},          {"E", 14, "AD03"},
    {"F", 3, "AC04"},      {"G", 5, "AC05"},      {"H", 4, "AC06"},          {"I", 34, "AD08"},
    {"J", 38, "AC07"},     {"K", 40, "AC08"},     {"L", 37, "AC09"},         {"M", 46, "AB07"},
    {"N", 45, "AB06"},     {"O", 31, "AD09"},     {"P", 35, "AD10"},         {"Q", 12, "AD01"},
    {"R", 15, "AD04"},     {"S", 1, "AC02"},      {"T", 17, "AD05"},         {"U", 32, "AD07"},
    {"V", 9, "AB04"},      {"W", 13, "AD02"},     {"X", 7, "AB02"},          {"Y", 16, "AD06"},
    {"Z", 6, "AB01"},      {"0", 29, "AE10"},     {"1", 18, "AE01"},         {"2", 19, "AE02"},
    {"3", 20, "AE03"},     {"4", 21, "AE04"},     {"5", 23, "AE05"},         {"6", 22, "AE06"},
    {"7", 26, "AE07"},     {"8", 28, "AE08"},     {"9", 25, "AE09"},         {"F1", 122, "FK01"},
    {"F2", 120, "FK02"},   {"F3", 99, "FK03"},    {"F4", 118, "FK04"},       {"F5", 96, "FK05"},
    {"F6", 97, "FK06"},    {"F7", 98, "FK07"},    {"F8", 100, "FK08"},       {"F9", 101, "FK09"},
    {"F10", 109, "FK10"},  {"F11", 103, "FK11"},  {"F12", 111, "FK12"},
}};

const QHash<QString, VirtualKeyCode>& index() {
    // Built once on first use; function-local statics are initialised thread-safely, and the
    // table is never written afterwards, so lookups may come from any thread.
    static const QHash<QString, VirtualKeyCode> byName = [] {
        QHash<QString, VirtualKeyCode> result;
        result.reserve(static_cast<qsizetype>(table.size()));
        for (const KeyName& key : table)
            result.insert(QString::fromLatin1(key.name), key.code);
        return result;
    }();
    return byName;
}

} // namespace

std::span<const KeyName> values() {
    return table;
}

std::optional<KeyMapEntry> code(const std::optional<QString>& name) {
    const QString normalised = trimmedText(name.value_or(QString())).toUpper();
    const auto found = index().constFind(normalised);
    if (found == index().cend())
        return std::nullopt;
    return KeyMapEntry{normalised, found.value()};
}

const KeyName* byCode(VirtualKeyCode code) {
    const auto found = std::ranges::find(table, code, &KeyName::code);
    return found == table.end() ? nullptr : &*found;
}

} // namespace vindaro::KeyMap
