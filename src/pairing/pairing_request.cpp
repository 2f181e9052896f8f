#include "pairing_request.h"

#include "model/constants.h"
#include "model/text_rules.h"

#include <QJsonDocument>
#include <QJsonObject>

namespace vindaro {

namespace {
constexpr qsizetype maxDeviceNameLength = 128;
}

PairingRequest PairingRequest::make(const QString& code, const QString& installId,
                                    const std::optional<QString>& hostName) {
    return {code,
            installId,
            deviceNameFor(hostName),
            QStringLiteral("macos"),
            toQString(vindaro::appVersion),
            pairingProtocolVersion};
}

QString PairingRequest::deviceNameFor(const std::optional<QString>& hostName) {
    return leadingCharacters(hostName.value_or(QStringLiteral("Mac")), maxDeviceNameLength);
}

QByteArray PairingRequest::encode() const {
    const QJsonObject object{
        {QStringLiteral("code"), code},
        {QStringLiteral("installId"), installId},
        {QStringLiteral("deviceName"), deviceName},
        {QStringLiteral("platform"), platform},
        {QStringLiteral("appVersion"), appVersion},
        {QStringLiteral("protocolVersion"), protocolVersion},
    };
    return QJsonDocument(object).toJson(QJsonDocument::Compact);
}

} // namespace vindaro
