#include "json_fields.h"

#include <QJsonDocument>
#include <QJsonParseError>
#include <QJsonValue>

namespace vindaro {

namespace {

std::string memberError(QLatin1StringView name, const char* problem) {
    return std::string(name.data(), static_cast<size_t>(name.size())) + ": " + problem;
}

QString stringValue(const QJsonValue& value, QLatin1StringView name) {
    if (!value.isString())
        throw JsonDecodeError(memberError(name, "not a string"));
    return value.toString();
}

qint64 integerValue(const QJsonValue& value, QLatin1StringView name) {
    if (!value.isDouble())
        throw JsonDecodeError(memberError(name, "not a number"));
    // toInteger answers the default unless the number is whole and fits in 64 bits, so two
    // different defaults tell a real value from a refusal.
    const qint64 first = value.toInteger(0);
    if (first == 0 && value.toInteger(1) != 0)
        throw JsonDecodeError(memberError(name, "not a whole 64-bit number"));
    return first;
}

QJsonValue presentValue(const QJsonObject& object, QLatin1StringView name) {
    QJsonValue value = object.value(name);
    if (value.isUndefined() || value.isNull())
        throw JsonDecodeError(memberError(name, "missing"));
    return value;
}

} // namespace

QJsonObject decodeJsonObject(const QByteArray& bytes) {
    QJsonParseError error{};
    const QJsonDocument document = QJsonDocument::fromJson(bytes, &error);
    if (error.error != QJsonParseError::NoError)
        throw JsonDecodeError("not JSON");
    if (!document.isObject())
        throw JsonDecodeError("not a JSON object");
    return document.object();
}

QString requiredString(const QJsonObject& object, QLatin1StringView name) {
    return stringValue(presentValue(object, name), name);
}

qint64 requiredInteger(const QJsonObject& object, QLatin1StringView name) {
    return integerValue(presentValue(object, name), name);
}

std::optional<QString> optionalString(const QJsonObject& object, QLatin1StringView name) {
    const QJsonValue value = object.value(name);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    return stringValue(value, name);
}

std::optional<qint64> optionalInteger(const QJsonObject& object, QLatin1StringView name) {
    const QJsonValue value = object.value(name);
    if (value.isUndefined() || value.isNull())
        return std::nullopt;
    return integerValue(value, name);
}

} // namespace vindaro
