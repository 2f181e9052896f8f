#include "constants.h"

#include <algorithm>
#include <cstdlib>

namespace vindaro {

const QUrl& pairingEndpoint() {
    static const QUrl endpoint = [] {
        QUrl url(QStringLiteral("https://") + toQString(trustedHost) + toQString(pairingPath),
                 QUrl::StrictMode);
        // A constant that does not parse is a build mistake; going on without it is not safe.
        if (!url.isValid())
            std::abort();
        return url;
    }();
    return endpoint;
}

bool isAllowedHost(const QString& lowerCaseHost) {
    return std::ranges::any_of(allowedHosts, [&](std::string_view host) {
        return lowerCaseHost == QLatin1String(host.data(), static_cast<qsizetype>(host.size()));
    });
}

} // namespace vindaro
