#include "model/agent_error.h"
#include "model/agent_pairing.h"
#include "support/qt_printers.h"

#include <QUrlQuery>

#include <gtest/gtest.h>

using vindaro::AgentError;
using vindaro::AgentPairing;
using Kind = AgentError::Kind;

namespace {

AgentPairing parse(const QString& bundle) {
    return AgentPairing::fromBundle(bundle);
}

Kind rejection(const QString& bundle) {
    try {
        parse(bundle);
    } catch (const AgentError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "accepted: " << bundle.toStdString();
    return Kind::eventCreationFailed;
}

} // namespace

TEST(AgentPairing, ParsesIgnoringSpaceAroundPartsAndLetterCaseOfTheRoom) {
    const AgentPairing pairing = parse(QStringLiteral("wss://vindaro.net/ws|ABC1234|abc_def-123"));
    EXPECT_EQ(pairing.baseURL(), QUrl(QStringLiteral("wss://vindaro.net/ws")));
    EXPECT_EQ(pairing.room(), QStringLiteral("ABC1234"));
    EXPECT_EQ(pairing.token(), QStringLiteral("abc_def-123"));
    for (const QString& text : {QStringLiteral(" wss://vindaro.net/ws |abc1234| abc_def-123\n"),
                                QStringLiteral("\twss://vindaro.net/ws\r\n|\u00a0Abc1234\u2028|"
                                               "abc_def-123\r\n")})
        EXPECT_EQ(parse(text), pairing);
    // An empty path is the socket path.
    for (const char* server : {"wss://vindaro.net", "wss://vindaro.net/", "wss://vindaro.net:443"})
        EXPECT_EQ(
            parse(QString::fromUtf8(server) + QStringLiteral("|ROOM|TOKEN123")).baseURL().path(),
            QStringLiteral("/ws"))
            << server;
}

TEST(AgentPairing, ChoosesTheErrorOfTheFirstFailingCheck) {
    const QString ws = QStringLiteral("wss://vindaro.net/ws|");
    const QString good = QStringLiteral("|ROOM|TOKEN123");
    const std::pair<QString, Kind> cases[] = {
        {QString(), Kind::invalidBundle},
        {QStringLiteral("wss://vindaro.net/ws|ROOM"), Kind::invalidBundle},
        {ws + QStringLiteral("ROO|TOKEN123"), Kind::missingCredentials},
        {ws + QString(65, u'R') + QStringLiteral("|TOKEN123"), Kind::missingCredentials},
        {ws + QStringLiteral("RO.OM|TOKEN123"), Kind::missingCredentials},
        {ws + QStringLiteral("ROOM|TOKEN12"), Kind::missingCredentials},
        {ws + QStringLiteral("ROOM|") + QString(513, u't'), Kind::missingCredentials},
        {ws + QStringLiteral("ROOM|TOKEN\n123"), Kind::missingCredentials},
        {ws + QStringLiteral("ROOM|TOKEN\u2029123"), Kind::missingCredentials},
        // Credentials are judged before the URL.
        {QStringLiteral("ws://evil.com/ws|R|TOKEN123"), Kind::missingCredentials},
        {QStringLiteral("not a url") + good, Kind::invalidServer},
        {QStringLiteral("vindaro.net/ws") + good, Kind::invalidServer},
        {QStringLiteral("ws://vindaro.net/ws") + good, Kind::insecureServer},
        {QStringLiteral("https://vindaro.net/ws") + good, Kind::insecureServer},
        {QStringLiteral("ws://evil.com/ws") + good, Kind::insecureServer},
        {QStringLiteral("wss://evil.com/ws") + good, Kind::unsupportedHost},
        {QStringLiteral("wss://vindaro.net.evil.com/ws") + good, Kind::unsupportedHost},
        {QStringLiteral("wss://vindaro.net:8443/ws") + good, Kind::invalidServer},
        {QStringLiteral("wss://u:p@vindaro.net/ws") + good, Kind::invalidServer},
        {QStringLiteral("wss://vindaro.net/ws#x") + good, Kind::invalidServer},
        {QStringLiteral("wss://vindaro.net/api") + good, Kind::invalidServer},
        {QStringLiteral("wss://vindaro.net/ws/") + good, Kind::invalidServer},
    };
    for (const auto& [bundle, kind] : cases)
        EXPECT_EQ(rejection(bundle), kind) << bundle.toStdString();
}

TEST(AgentPairing, AcceptsTheBoundsAndKeepsExtraSeparatorsInTheToken) {
    const QString ws = QStringLiteral("wss://vindaro.net/ws|");
    EXPECT_NO_THROW(parse(QStringLiteral("WSS://VINDARO.NET/ws|ROOM|TOKEN123")));
    EXPECT_NO_THROW(parse(ws + QString(64, u'R') + u'|' + QString(512, u't')));
    // A token counts user-perceived characters: eight emoji are eight characters.
    EXPECT_NO_THROW(parse(ws + QStringLiteral("ROOM|") + QStringLiteral("👍🏽").repeated(8)));
    EXPECT_EQ(parse(ws + QStringLiteral("ROOM|tok|en|12")).token(), QStringLiteral("tok|en|12"));
}

TEST(AgentPairing, SocketURLAppendsRoleRoomAndTokenAfterAnyQuery) {
    const auto url =
        parse(QStringLiteral("wss://vindaro.net/ws?v=1|abc1234|to&k=en+/ ?#x")).socketURL();
    ASSERT_TRUE(url);
    EXPECT_EQ(url->host(), QStringLiteral("vindaro.net"));
    EXPECT_EQ(url->path(), QStringLiteral("/ws"));
    // Each value comes back whole, "+" included, so the service recovers the exact token.
    using Item = std::pair<QString, QString>;
    EXPECT_EQ(QUrlQuery(*url).queryItems(QUrl::FullyDecoded),
              (QList<Item>{{QStringLiteral("v"), QStringLiteral("1")},
                           {QStringLiteral("role"), QStringLiteral("agent")},
                           {QStringLiteral("sessionId"), QStringLiteral("ABC1234")},
                           {QStringLiteral("token"), QStringLiteral("to&k=en+/ ?#x")}}));
    EXPECT_FALSE(url->toString(QUrl::FullyEncoded).contains(u'+'));

    // Noncharacters go out as their exact UTF-8 bytes, although Qt's own FullyDecoded reading
    // turns them into U+FFFD: the service decodes the bytes, not Qt.
    const auto odd = parse(QString::fromUtf8("wss://vindaro.net/ws|abc1234|tok-a\xf0\xbf\xbf\xbf"
                                             "b\xef\xbf\xbe"
                                             "c"))
                         .socketURL();
    ASSERT_TRUE(odd);
    EXPECT_TRUE(odd->toString(QUrl::FullyEncoded).endsWith(u"&token=tok-a%F0%BF%BF%BFb%EF%BF%BEc"));
}
