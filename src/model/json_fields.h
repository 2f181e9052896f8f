#pragma once

#include <QByteArray>
#include <QJsonObject>
#include <QString>
#include <QtGlobal>

#include <optional>
#include <stdexcept>

namespace vindaro {

// Strict reading of JSON messages from the service: member names match exactly, a value of the
// wrong JSON type fails the whole message, integers must be whole and fit in 64 bits, and
// unknown members are ignored. Failures throw JsonDecodeError; callers turn it into the one
// outcome their message allows (dropped command, invalid pairing response).
class JsonDecodeError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

// The bytes must hold one JSON object.
QJsonObject decodeJsonObject(const QByteArray& bytes);

QString requiredString(const QJsonObject& object, QLatin1StringView name);
qint64 requiredInteger(const QJsonObject& object, QLatin1StringView name);
// Absent or null give nothing.
std::optional<QString> optionalString(const QJsonObject& object, QLatin1StringView name);
std::optional<qint64> optionalInteger(const QJsonObject& object, QLatin1StringView name);

} // namespace vindaro
