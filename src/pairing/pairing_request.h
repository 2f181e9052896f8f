#pragma once

#include <QByteArray>
#include <QString>
#include <QtGlobal>

#include <optional>

namespace vindaro {

// The body the agent POSTs to the pairing endpoint.
struct PairingRequest {
    QString code;
    QString installId;
    QString deviceName;
    QString platform;
    QString appVersion;
    qint64 protocolVersion = 0;

    // A request for this agent: platform "macos" (the service relies on it), the app's version
    // and protocol, and the device name as deviceNameFor() gives it.
    static PairingRequest make(const QString& code, const QString& installId,
                               const std::optional<QString>& hostName);

    // The computer's name as the service shows it: "Mac" when the system has none, cut to its
    // first 128 characters. An empty name stays empty.
    static QString deviceNameFor(const std::optional<QString>& hostName);

    // One compact JSON object in UTF-8; protocolVersion is a JSON number.
    QByteArray encode() const;
};

} // namespace vindaro
