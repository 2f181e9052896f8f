// Pasted or piped bundle text: parsing never crashes, and what it accepts is sound.
#include "fuzz_check.h"
#include "model/agent_error.h"
#include "model/agent_pairing.h"
#include "model/validation.h"

#include <QUrlQuery>

#include <cstddef>
#include <cstdint>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const QString text =
        QString::fromUtf8(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size));
    try {
        const auto pairing = vindaro::AgentPairing::fromBundle(text);
        FUZZ_CHECK(vindaro::isTrustedURL(pairing.baseURL(), u"wss", u"/ws"));
        FUZZ_CHECK(pairing.room() == pairing.room().toUpper());
        const auto url = pairing.socketURL();
        FUZZ_CHECK(url && vindaro::isTrustedURL(*url, u"wss", u"/ws"));
        // The service must get the token back whole, as the last query item.
        const auto items = QUrlQuery(*url).queryItems(QUrl::FullyDecoded);
        FUZZ_CHECK(!items.isEmpty() && items.last().first == u"token" &&
                   items.last().second == pairing.token());
        FUZZ_CHECK(vindaro::AgentPairing::fromBundle(pairing.bundle()) == pairing);
    } catch (const vindaro::AgentError&) {
    }
    return 0;
}
