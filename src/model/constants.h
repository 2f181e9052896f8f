#pragma once

#include <QString>
#include <QUrl>
#include <QtGlobal>

#include <array>
#include <string_view>

namespace vindaro {

// Everything here is fixed at build time: no flag, file or environment variable may change
// where the agent connects or whom it trusts.

inline constexpr std::string_view appVersion = "0.2.0";
inline constexpr qint64 pairingProtocolVersion = 2;

// The trusted service host and its www form, in lower case.
inline constexpr std::string_view trustedHost = "vindaro.net";
inline constexpr std::array<std::string_view, 2> allowedHosts = {"vindaro.net", "www.vindaro.net"};

inline constexpr qsizetype maxWebSocketMessageBytes = 16384;
inline constexpr qsizetype maxPairingResponseBytes = 32768;

inline constexpr std::string_view pairingPath = "/api/v1/agent/pair";
inline constexpr std::string_view socketPath = "/ws";

// The service identifies agents by this header value on every request and handshake.
inline constexpr std::string_view userAgent = "Vindaro-Agent-macOS/0.2.0";

// "https://vindaro.net/api/v1/agent/pair", parsed once.
const QUrl& pairingEndpoint();

// True when the host, already in lower case, is one of allowedHosts.
bool isAllowedHost(const QString& lowerCaseHost);

inline QString toQString(std::string_view text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size()));
}

} // namespace vindaro
