// Session fields as the service or the settings file may hold them: the constructor never
// crashes, and a session that exists connects only to the trusted host without its token.
#include "fuzz_check.h"
#include "model/agent_error.h"
#include "model/agent_session.h"
#include "model/validation.h"

#include <QByteArray>
#include <QList>
#include <QUrlQuery>

#include <cstdint>
#include <cstring>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    // Layout: 8 bytes of protocol version, then URL, session id, agent id and token separated
    // by NUL bytes.
    qint64 version = 2;
    if (size >= sizeof version) {
        std::memcpy(&version, data, sizeof version);
        data += sizeof version;
        size -= sizeof version;
    }
    const QList<QByteArray> fields =
        QByteArray(reinterpret_cast<const char*>(data), static_cast<qsizetype>(size)).split('\0');
    const auto field = [&](qsizetype i) {
        return i < fields.size() ? QString::fromUtf8(fields[i]) : QString();
    };
    try {
        const vindaro::AgentSession session(field(0), field(1), field(2), field(3), version);
        FUZZ_CHECK(session.protocolVersion() == 2);
        FUZZ_CHECK(vindaro::isTrustedURL(session.baseURL(), u"wss", u"/ws"));
        FUZZ_CHECK(!session.baseURL().hasQuery() && !session.baseURL().hasFragment());
        const auto url = session.socketURL();
        FUZZ_CHECK(url && vindaro::isTrustedURL(*url, u"wss", u"/ws"));
        const auto items = QUrlQuery(*url).queryItems(QUrl::FullyDecoded);
        FUZZ_CHECK(items.size() == 3 && items[0].first == u"role" &&
                   items[1].second == session.sessionId() && items[2].second == session.agentId());
    } catch (const vindaro::AgentError&) {
    }
    return 0;
}
