#include "key_command.h"

#include "model/json_fields.h"

namespace vindaro {

KeyCommand KeyCommand::decode(const QByteArray& bytes) {
    const QJsonObject object = decodeJsonObject(bytes);
    KeyCommand command;
    command.type = requiredString(object, QLatin1StringView("type"));
    command.key = optionalString(object, QLatin1StringView("key"));
    command.pressCount = optionalInteger(object, QLatin1StringView("pressCount"));
    command.holdMs = optionalInteger(object, QLatin1StringView("holdMs"));
    command.source = optionalString(object, QLatin1StringView("source"));
    command.viewer = optionalString(object, QLatin1StringView("viewer"));
    return command;
}

} // namespace vindaro
