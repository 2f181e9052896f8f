// The rules every credential and URL from outside passes before the agent uses it. Each table row
// is one input that a user or the service could send.
#include "model/agent_error.h"
#include "model/agent_pairing.h"
#include "model/agent_session.h"
#include "model/text_rules.h"
#include "model/validation.h"
#include "support/qt_printers.h"

#include <QUrlQuery>

#include <gtest/gtest.h>

#include <functional>
#include <tuple>

using namespace vindaro;
using Kind = AgentError::Kind;

namespace {

// The kind of error building the record throws; a failure when it is accepted.
Kind rejection(const std::function<void()>& build, const QString& input) {
    try {
        build();
    } catch (const AgentError& error) {
        return error.kind();
    }
    ADD_FAILURE() << "accepted: " << input.toStdString();
    return Kind::eventCreationFailed;
}

Kind bundleRejection(const QString& bundle) {
    return rejection([&] { AgentPairing::fromBundle(bundle); }, bundle);
}

AgentSession session(const QString& url, const QString& id = QStringLiteral("session_123"),
                     const QString& token = QStringLiteral("token-123456"), qint64 version = 2) {
    return AgentSession(url, id, QStringLiteral("agent-456"), token, version);
}

} // namespace

TEST(AgentPairing, ParsesTrimmedPartsUpperCasesTheRoomAndChoosesTheFirstFailingCheck) {
    const AgentPairing pairing = AgentPairing::fromBundle(
        QStringLiteral("\twss://vindaro.net \r\n|\u00a0Abc-1234\u2028| tok|en-123\n"));
    EXPECT_EQ(pairing.baseURL(), QUrl(QStringLiteral("wss://vindaro.net/ws")));
    EXPECT_EQ(pairing.room(), QStringLiteral("ABC-1234"));
    EXPECT_EQ(pairing.token(), QStringLiteral("tok|en-123"));
    const QString ws = QStringLiteral("wss://vindaro.net/ws|");
    EXPECT_NO_THROW(AgentPairing::fromBundle(ws + QString(64, u'R') + u'|' + QString(512, u't')));
    EXPECT_NO_THROW(AgentPairing::fromBundle(QStringLiteral("WSS://WWW.VINDARO.NET:443|ROOM|") +
                                             QStringLiteral("👍🏽").repeated(8)));

    const QString good = QStringLiteral("|ROOM|TOKEN123");
    const std::pair<QString, Kind> cases[] = {
        {QStringLiteral("wss://vindaro.net/ws|ROOM"), Kind::invalidBundle},
        {ws + QStringLiteral("ROO|TOKEN123"), Kind::missingCredentials},
        {ws + QString(65, u'R') + QStringLiteral("|TOKEN123"), Kind::missingCredentials},
        {ws + QStringLiteral("RO.OM|TOKEN123"), Kind::missingCredentials},
        {ws + QStringLiteral("ROOM|TOKEN12"), Kind::missingCredentials},
        {ws + QStringLiteral("ROOM|") + QString(513, u't'), Kind::missingCredentials},
        {ws + QStringLiteral("ROOM|TOKEN\u2028123"), Kind::missingCredentials},
        {QStringLiteral("ws://evil.com/ws|R|TOKEN123"), Kind::missingCredentials},
        {QStringLiteral("not a url") + good, Kind::invalidServer},
        {QStringLiteral("ws://vindaro.net/ws") + good, Kind::insecureServer},
        {QStringLiteral("wss://vindaro.net.evil.com/ws") + good, Kind::unsupportedHost},
        {QStringLiteral("wss://vindaro.net:8443/ws") + good, Kind::invalidServer},
        {QStringLiteral("wss://vindaro.net/ws#x") + good, Kind::invalidServer},
    };
    for (const auto& [bundle, kind] : cases)
        EXPECT_EQ(bundleRejection(bundle), kind) << bundle.toStdString();
}

TEST(AgentPairing, SocketURLAppendsRoleRoomAndTokenAfterAnyQuery) {
    const auto url =
        AgentPairing::fromBundle(QStringLiteral("wss://vindaro.net/ws?v=1|abc1234|to&k=en+/ ?#x"))
            .socketURL();
    ASSERT_TRUE(url);
    // Each value comes back whole, "+" included, so the service recovers the exact token.
    using Item = std::pair<QString, QString>;
    EXPECT_EQ(QUrlQuery(*url).queryItems(QUrl::FullyDecoded),
              (QList<Item>{{QStringLiteral("v"), QStringLiteral("1")},
                           {QStringLiteral("role"), QStringLiteral("agent")},
                           {QStringLiteral("sessionId"), QStringLiteral("ABC1234")},
                           {QStringLiteral("token"), QStringLiteral("to&k=en+/ ?#x")}}));
    EXPECT_FALSE(url->toString(QUrl::FullyEncoded).contains(u'+'));
}

TEST(AgentSession, KeepsOnlyTheTrustedBaseAndJudgesTheVersionFirst) {
    const AgentSession kept = session(QStringLiteral("wss://vindaro.net/ws?untrusted=x"),
                                      QString(128, u's'), QString(8, u't'));
    EXPECT_EQ(kept.socketURL()->toString(QUrl::FullyEncoded),
              QStringLiteral("wss://vindaro.net/ws?role=agent&sessionId=") + QString(128, u's') +
                  QStringLiteral("&agentId=agent-456"));
    EXPECT_NO_THROW(session(QStringLiteral("WSS://WWW.VINDARO.NET:443/ws"), QStringLiteral("s"),
                            QString(2048, u't')));

    EXPECT_EQ(rejection([] { session(QStringLiteral("wss://evil.com/ws"), {}, {}, 99); }, {}),
              Kind::unsupportedProtocol);
    const QString ws = QStringLiteral("wss://vindaro.net/ws"), s = QStringLiteral("s"),
                  token = QString(8, u't');
    const std::tuple<QString, QString, QString> invalid[] = {
        {QStringLiteral("wss://evil.com/ws"), s, token},
        {QStringLiteral("wss://vindaro.net"), s, token},
        {ws, QStringLiteral(" s"), token},
        {ws, QString(129, u's'), token},
        {ws, s, QString(7, u't')},
        {ws, s, QString(2049, u't')},
        {ws, s, QStringLiteral("token\r123456")},
    };
    for (const auto& [url, id, secret] : invalid)
        EXPECT_EQ(rejection([&] { session(url, id, secret); }, url + u' ' + id + u' ' + secret),
                  Kind::invalidPairingResponse);
}

TEST(TrustedURL, AcceptsOnlyTheServiceOverWssAtTheExactPath) {
    const auto trusted = [](const char* text) {
        return isTrustedURL(parseURL(QString::fromUtf8(text)), u"wss", u"/ws");
    };
    for (const char* url :
         {"wss://vindaro.net/ws", "wss://www.vindaro.net/ws", "wss://vindaro.net:443/ws",
          "WSS://VINDARO.NET/ws", "wss://vindaro.net/ws?room=1", "wss://vindaro.net/w%73"})
        EXPECT_TRUE(trusted(url)) << url;
    for (const char* url :
         {"ws://vindaro.net/ws", "https://vindaro.net/ws", "wss://vindaro.net:8443/ws",
          "wss://vindaro.net/WS", "wss://vindaro.net/ws/", "wss://vindaro.net/ws#",
          "wss://user@vindaro.net/ws", "wss://:secret@vindaro.net/ws", "wss://@vindaro.net/ws",
          "wss://vindaro.net.evil.com/ws", "wss://vindaro.net./ws", "wss://127.0.0.1/ws", ""})
        EXPECT_FALSE(trusted(url)) << url;
}

TEST(TextRules, IdentifiersCodesLineBreaksAndCharactersAsTheUserSeesThem) {
    EXPECT_TRUE(isAllowedIdentifier(QStringLiteral("Session_1-2"), 128));
    EXPECT_TRUE(isAllowedIdentifier(QString(128, u'a'), 128));
    for (const QString& bad : {QString(129, u'a'), QString(), QStringLiteral("a.b"),
                               QStringLiteral("séance"), QStringLiteral("ａbc")})
        EXPECT_FALSE(isAllowedIdentifier(bad, 128)) << bad.toStdString();

    EXPECT_TRUE(isValidPairingCode(QStringLiteral("012345")));
    for (const char* bad : {"12345", "1234567", "12345A", "123456\n", "١٢٣٤٥٦"})
        EXPECT_FALSE(isValidPairingCode(QString::fromUtf8(bad))) << bad;

    for (char16_t lineBreak : {u'\n', u'\v', u'\f', u'\r', u'\u0085', u'\u2028', u'\u2029'})
        EXPECT_TRUE(containsLineBreak(QStringLiteral("ab") + QChar(lineBreak)));
    EXPECT_FALSE(containsLineBreak(QStringLiteral("a\tb c\u00a0")));

    EXPECT_EQ(
        characterCount(QStringLiteral("นี่ 🇹🇭 e\u0301 👨‍👩‍👧‍👦")), 7);
    const QString name =
        QStringLiteral("ชื่อ👨‍👩‍👧‍👦เครื่อง");
    EXPECT_EQ(leadingCharacters(name, 3), QStringLiteral("ชื่อ👨‍👩‍👧‍👦"));
}
