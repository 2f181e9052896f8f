// Pasted or piped bundle text: parsing never crashes, and what it accepts is sound.
#include "fuzz_check.h"
#include "model/agent_error.h"
#include "model/agent_pairing.h"
#include "model/validation.h"

#include <QUrl>

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
        // The service must get the token back whole, as the last query item. It is decoded
        // here as the service decodes it: Qt's FullyDecoded reading would replace noncharacters.
        const QString query = url->query(QUrl::FullyEncoded);
        const QString last = query.sliced(query.lastIndexOf(u'&') + 1);
        FUZZ_CHECK(last.startsWith(u"token=") &&
                   QUrl::fromPercentEncoding(last.sliced(6).toLatin1()) == pairing.token());
        FUZZ_CHECK(vindaro::AgentPairing::fromBundle(pairing.bundle()) == pairing);
    } catch (const vindaro::AgentError&) {
    }
    return 0;
}
