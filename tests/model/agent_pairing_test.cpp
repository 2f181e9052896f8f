#include "model/agent_error.h"
#include "model/agent_pairing.h"
#include "support/qt_printers.h"

#include <QUrlQuery>

#include <gtest/gtest.h>

using vindaro::AgentError;
using vindaro::AgentPairing;
using Kind = AgentError::Kind;

namespace {

const QString token = QStringLiteral("abc_def-123456"); // 14 characters

AgentError::Kind rejection(const QString& bundle) {
    try {
        AgentPairing::fromBundle(bundle);
    } catch (const AgentError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "accepted: " << bundle.toStdString();
    return Kind::eventCreationFailed;
}

} // namespace

TEST(AgentPairing, ParsesTheServiceBundle) {
    const AgentPairing pairing =
        AgentPairing::fromBundle(QStringLiteral("wss://vindaro.net/ws|ABC1234|") + token);
    EXPECT_EQ(pairing.baseURL(), QUrl(QStringLiteral("wss://vindaro.net/ws")));
    EXPECT_EQ(pairing.room(), QStringLiteral("ABC1234"));
    EXPECT_EQ(pairing.token(), token);
}

TEST(AgentPairing, IgnoresSpaceAroundPartsAndLetterCaseOfTheRoom) {
    const AgentPairing expected =
        AgentPairing::fromBundle(QStringLiteral("wss://vindaro.net/ws|ABC1234|") + token);
    for (const QString& text :
         {QStringLiteral(" wss://vindaro.net/ws |abc1234| ") + token + QStringLiteral("\n"),
          QStringLiteral("\twss://vindaro.net/ws\r\n|\u00a0Abc1234\u2028|") + token +
              QStringLiteral("\r\n")})
        EXPECT_EQ(AgentPairing::fromBundle(text), expected);
}

TEST(AgentPairing, DefaultsAnEmptyPathToTheSocketPath) {
    for (const char* server : {"wss://vindaro.net", "wss://vindaro.net/", "wss://vindaro.net:443"})
        EXPECT_EQ(
            AgentPairing::fromBundle(QString::fromUtf8(server) + QStringLiteral("|ROOM|") + token)
                .baseURL()
                .path(),
            QStringLiteral("/ws"))
            << server;
}

TEST(AgentPairing, ChoosesTheErrorOfTheFirstFailingCheck) {
    const QString good = QStringLiteral("|ROOM|TOKEN123");
    EXPECT_EQ(rejection(QString()), Kind::invalidBundle);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws|ROOM")), Kind::invalidBundle);

    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws|ROO|TOKEN123")),
              Kind::missingCredentials);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws|") + QString(65, u'R') +
                        QStringLiteral("|TOKEN123")),
              Kind::missingCredentials);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws|RO.OM|TOKEN123")),
              Kind::missingCredentials);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws|ROOM|TOKEN12")),
              Kind::missingCredentials);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws|ROOM|") + QString(513, u't')),
              Kind::missingCredentials);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws|ROOM|TOKEN\n123")),
              Kind::missingCredentials);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws|ROOM|TOKEN\u2029123")),
              Kind::missingCredentials);
    // Credentials are judged before the URL.
    EXPECT_EQ(rejection(QStringLiteral("ws://evil.com/ws|R|TOKEN123")), Kind::missingCredentials);

    EXPECT_EQ(rejection(QStringLiteral("not a url") + good), Kind::invalidServer);
    EXPECT_EQ(rejection(QStringLiteral("vindaro.net/ws") + good), Kind::invalidServer);
    EXPECT_EQ(rejection(QStringLiteral("ws://vindaro.net/ws") + good), Kind::insecureServer);
    EXPECT_EQ(rejection(QStringLiteral("https://vindaro.net/ws") + good), Kind::insecureServer);
    EXPECT_EQ(rejection(QStringLiteral("ws://evil.com/ws") + good), Kind::insecureServer);
    EXPECT_EQ(rejection(QStringLiteral("wss://evil.com/ws") + good), Kind::unsupportedHost);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net.evil.com/ws") + good),
              Kind::unsupportedHost);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net:8443/ws") + good), Kind::invalidServer);
    EXPECT_EQ(rejection(QStringLiteral("wss://u:p@vindaro.net/ws") + good), Kind::invalidServer);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws#x") + good), Kind::invalidServer);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/api") + good), Kind::invalidServer);
    EXPECT_EQ(rejection(QStringLiteral("wss://vindaro.net/ws/") + good), Kind::invalidServer);
}

TEST(AgentPairing, AcceptsTheBoundsAndKeepsExtraSeparatorsInTheToken) {
    EXPECT_NO_THROW(AgentPairing::fromBundle(QStringLiteral("WSS://VINDARO.NET/ws|ROOM|TOKEN123")));
    EXPECT_NO_THROW(AgentPairing::fromBundle(QStringLiteral("wss://vindaro.net/ws|") +
                                             QString(64, u'R') + u'|' + QString(512, u't')));
    // A token counts user-perceived characters: eight emoji are eight characters.
    EXPECT_NO_THROW(AgentPairing::fromBundle(QStringLiteral("wss://vindaro.net/ws|ROOM|") +
                                             QStringLiteral("👍🏽").repeated(8)));
    EXPECT_EQ(
        AgentPairing::fromBundle(QStringLiteral("wss://vindaro.net/ws|ROOM|tok|en|12")).token(),
        QStringLiteral("tok|en|12"));
}

TEST(AgentPairing, SocketURLAppendsRoleRoomAndTokenAfterAnyQuery) {
    const AgentPairing pairing =
        AgentPairing::fromBundle(QStringLiteral("wss://vindaro.net/ws?v=1|abc1234|to&k=en+/ ?#x"));
    const auto url = pairing.socketURL();
    ASSERT_TRUE(url);
    EXPECT_EQ(url->host(), QStringLiteral("vindaro.net"));
    EXPECT_EQ(url->path(), QStringLiteral("/ws"));
    const auto items = QUrlQuery(*url).queryItems(QUrl::FullyDecoded);
    ASSERT_EQ(items.size(), 4);
    EXPECT_EQ(items[0], qMakePair(QStringLiteral("v"), QStringLiteral("1")));
    EXPECT_EQ(items[1], qMakePair(QStringLiteral("role"), QStringLiteral("agent")));
    EXPECT_EQ(items[2], qMakePair(QStringLiteral("sessionId"), QStringLiteral("ABC1234")));
    // Each value comes back whole, "+" included, so the service recovers the exact token.
    EXPECT_EQ(items[3], qMakePair(QStringLiteral("token"), QStringLiteral("to&k=en+/ ?#x")));
    EXPECT_FALSE(url->toString(QUrl::FullyEncoded).contains(u'+'));
}

TEST(AgentPairing, BundleTextRoundTrips) {
    for (const char* text :
         {"wss://vindaro.net|room|token-123", "wss://www.vindaro.net/ws?a=b|RO_OM|t|o k e n",
          "wss://vindaro.net:443/ws|ROOM|สวัสดีครับ👍🏽"}) {
        const AgentPairing pairing = AgentPairing::fromBundle(QString::fromUtf8(text));
        EXPECT_EQ(AgentPairing::fromBundle(pairing.bundle()), pairing) << text;
    }
}
