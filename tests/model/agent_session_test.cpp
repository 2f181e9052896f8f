#include "model/agent_error.h"
#include "model/agent_session.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

using vindaro::AgentError;
using vindaro::AgentSession;
using Kind = AgentError::Kind;

namespace {

struct Input {
    QString url = QStringLiteral("wss://vindaro.net/ws");
    QString sessionId = QStringLiteral("session_123");
    QString agentId = QStringLiteral("agent_456");
    QString token = QStringLiteral("token-123456");
    qint64 version = 2;
    AgentSession make() const { return AgentSession(url, sessionId, agentId, token, version); }
};

Kind rejection(const Input& input) {
    try {
        input.make();
    } catch (const AgentError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "accepted " << input.url.toStdString();
    return Kind::eventCreationFailed;
}

} // namespace

TEST(AgentSession, DropsTheQueryAndNeverPutsTheTokenInTheSocketURL) {
    Input input;
    input.url = QStringLiteral("wss://vindaro.net/ws?untrusted=discarded");
    const AgentSession session = input.make();
    EXPECT_FALSE(session.baseURL().hasQuery());
    const auto url = session.socketURL();
    ASSERT_TRUE(url);
    EXPECT_EQ(
        url->toString(QUrl::FullyEncoded),
        QStringLiteral("wss://vindaro.net/ws?role=agent&sessionId=session_123&agentId=agent_456"));
    EXPECT_FALSE(url->toString(QUrl::FullyEncoded).contains(input.token));
}

TEST(AgentSession, JudgesTheVersionFirstAndEverythingElseAsAnInvalidResponse) {
    Input input;
    input.version = 99;
    EXPECT_EQ(rejection(input), Kind::unsupportedProtocol);
    input.url = QStringLiteral("wss://evil.com/ws");
    input.sessionId = QString();
    EXPECT_EQ(rejection(input), Kind::unsupportedProtocol);

    // The URL and identifier rules have tests of their own; here, that each member is judged.
    const auto invalid = [](auto change) {
        Input bad;
        change(bad);
        EXPECT_EQ(rejection(bad), Kind::invalidPairingResponse) << bad.url.toStdString();
    };
    for (const char* url : {"wss://evil.com/ws", "ws://vindaro.net/ws", "wss://vindaro.net", ""})
        invalid([&](Input& in) { in.url = QString::fromUtf8(url); });
    invalid([](Input& in) { in.sessionId = QStringLiteral(" session_123"); });
    invalid([](Input& in) { in.agentId = QString(129, u'a'); });
    invalid([](Input& in) { in.token = QStringLiteral("1234567"); });
    invalid([](Input& in) { in.token = QString(2049, u't'); });
    invalid([](Input& in) { in.token = QStringLiteral("token\r123456"); });
}

TEST(AgentSession, AcceptsTheBounds) {
    Input input;
    input.token = QString(8, u't');
    EXPECT_NO_THROW(input.make());
    input.token = QString(2048, u't');
    input.sessionId = QString(128, u's');
    input.url = QStringLiteral("WSS://WWW.VINDARO.NET:443/ws");
    EXPECT_NO_THROW(input.make());
}
