#include "blocked_keys.h"

#include "keyboard/key_map.h"
#include "platform/user_defaults.h"

#include <QRegularExpression>

namespace vindaro::BlockedKeys {

namespace {

QString settingsKey() {
    return QStringLiteral("vindaro.agent.blocked-keys");
}

} // namespace

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

Parsed stored(const UserDefaults& defaults) {
    return parse(defaults.string(settingsKey()).value_or(QString()));
}

bool store(UserDefaults& defaults, const QStringList& keys) {
    if (keys.isEmpty())
        defaults.remove(settingsKey());
    else
        defaults.setString(settingsKey(), format(keys));
    return defaults.flush();
}

} // namespace vindaro::BlockedKeys
