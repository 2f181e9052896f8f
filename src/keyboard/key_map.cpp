#include "key_map.h"

#include "model/text_rules.h"

#include <QHash>

#include <array>

namespace vindaro::KeyMap {

namespace {

constexpr std::array<KeyName, 59> table = {{
    {"SPACE", 49}, {"ENTER", 36},  {"TAB", 48},   {"ESC", 53},  {"UP", 126},       {"DOWN", 125},
    {"LEFT", 123}, {"RIGHT", 124}, {"SHIFT", 56}, {"CTRL", 59}, {"BACKSPACE", 51}, {"A", 0},
    {"B", 11},     {"C", 8},       {"D", 2},      {"E", 14},    {"F", 3},          {"G", 5},
    {"H", 4},      {"I", 34},      {"J", 38},     {"K", 40},    {"L", 37},         {"M", 46},
    {"N", 45},     {"O", 31},      {"P", 35},     {"Q", 12},    {"R", 15},         {"S", 1},
    {"T", 17},     {"U", 32},      {"V", 9},      {"W", 13},    {"X", 7},          {"Y", 16},
    {"Z", 6},      {"0", 29},      {"1", 18},     {"2", 19},    {"3", 20},         {"4", 21},
    {"5", 23},     {"6", 22},      {"7", 26},     {"8", 28},    {"9", 25},         {"F1", 122},
    {"F2", 120},   {"F3", 99},     {"F4", 118},   {"F5", 96},   {"F6", 97},        {"F7", 98},
    {"F8", 100},   {"F9", 101},    {"F10", 109},  {"F11", 103}, {"F12", 111},
}};

const QHash<QString, quint16>& index() {
    // Built once on first use; function-local statics are initialised thread-safely, and the
    // table is never written afterwards, so lookups may come from any thread.
    static const QHash<QString, quint16> byName = [] {
        QHash<QString, quint16> result;
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

} // namespace vindaro::KeyMap
