#include "blocked_keys.h"

#include "keyboard/key_map.h"

#include <QRegularExpression>

namespace vindaro::BlockedKeys {

Parsed parse(const QString& text) {
    static const QRegularExpression separators(QStringLiteral("[,\\s]+"));
    Parsed parsed;
    for (const QString& name : text.split(separators, Qt::SkipEmptyParts)) {
        if (const std::optional<KeyMapEntry> key = KeyMap::code(name)) {
            if (!parsed.keys.contains(key->name))
                parsed.keys << key->name;
        } else if (!parsed.unknown.contains(name)) {
            parsed.unknown << name;
        }
    }
    return parsed;
}

QString format(const QStringList& keys) {
    return keys.join(QStringLiteral(", "));
}

} // namespace vindaro::BlockedKeys
