#include "model/json_fields.h"
#include "pairing/pairing_request.h"
#include "pairing/pairing_response.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

using vindaro::JsonDecodeError;
using vindaro::PairingRequest;
using vindaro::PairingResponse;

// What the request carries is checked where the service receives it, in the client test.
TEST(PairingRequest, DeviceNameIsMacWhenAbsentAndCutTo128Characters) {
    EXPECT_EQ(PairingRequest::deviceNameFor(std::nullopt), QStringLiteral("Mac"));
    EXPECT_EQ(PairingRequest::deviceNameFor(QString()), QString());
    EXPECT_EQ(PairingRequest::deviceNameFor(QString(128, u'x')), QString(128, u'x'));
    EXPECT_EQ(PairingRequest::deviceNameFor(QString(200, u'x')), QString(128, u'x'));
    // Cut by user-perceived characters, never through the middle of one.
    const QString thumbs = QStringLiteral("👍🏽");
    EXPECT_EQ(PairingRequest::deviceNameFor(thumbs.repeated(200)), thumbs.repeated(128));
}

TEST(PairingResponse, DecodesTheFiveMembersAndIgnoresOthers) {
    const PairingResponse response = PairingResponse::decode(
        R"({"wsUrl":"ftp://x","sessionId":"","agentId":"a","agentToken":"t",)"
        R"("protocolVersion":3,"expiresAt":"later","agent_token":5})");
    EXPECT_EQ(response.wsUrl, QStringLiteral("ftp://x"));
    EXPECT_EQ(response.sessionId, QString());
    EXPECT_EQ(response.agentId, QStringLiteral("a"));
    EXPECT_EQ(response.agentToken, QStringLiteral("t"));
    EXPECT_EQ(response.protocolVersion, 3);
}

TEST(PairingResponse, RefusesMissingNullMistypedOrMisspelledMembers) {
    const QByteArray valid =
        R"({"wsUrl":"wss://vindaro.net/ws","sessionId":"s","agentId":"a","agentToken":"t","protocolVersion":2})";
    EXPECT_NO_THROW(PairingResponse::decode(valid));
    for (
        const char* bytes : {
            R"({"wsUrl":"w","sessionId":"s","agentId":"a","protocolVersion":2})",
            R"({"wsUrl":"w","sessionId":"s","agentId":"a","agentToken":null,"protocolVersion":2})",
            R"({"wsUrl":"w","sessionId":"s","agentId":"a","agentToken":"t","protocolVersion":"2"})",
            R"({"wsUrl":"w","sessionId":"s","agentId":"a","agentToken":"t","protocolVersion":2.5})",
            R"({"wsUrl":"w","sessionId":1,"agentId":"a","agentToken":"t","protocolVersion":2})",
            R"({"wsURL":"w","sessionId":"s","agentId":"a","agentToken":"t","protocolVersion":2})",
            R"({"ws_url":"w","session_id":"s","agent_id":"a","agent_token":"t","protocol_version":2})",
            R"([])",
            "",
            "<html>502</html>",
        })
        EXPECT_THROW(PairingResponse::decode(QByteArray(bytes)), JsonDecodeError) << bytes;
}
