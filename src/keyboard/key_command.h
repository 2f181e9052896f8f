#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace vindaro {

// One message from the relay asking for a key press, exactly as decoded: no trimming,
// defaulting or clamping happens here (the controller applies those).
struct KeyCommand {
    QString type;
    std::optional<QString> key;
    std::optional<qint64> pressCount;
    std::optional<qint64> holdMs;
    std::optional<QString> source;
    std::optional<QString> viewer;

    // Decodes one WebSocket message. Throws JsonDecodeError when the bytes are not a JSON
    // object, "type" is missing or not a string, or any known member has the wrong JSON type.
    static KeyCommand decode(const QByteArray& bytes);
};

} // namespace vindaro
