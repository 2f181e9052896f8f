#include "model/text_rules.h"
#include "model/validation.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace vindaro;

namespace {
bool trustedSocket(const char* text) {
    return isTrustedURL(parseURL(QString::fromUtf8(text)), u"wss", u"/ws");
}
} // namespace

TEST(TrustedURL, AcceptsOnlyTheServiceOverWssAtTheExactPath) {
    for (const char* url :
         {"wss://vindaro.net/ws", "wss://www.vindaro.net/ws", "wss://vindaro.net:443/ws",
          "WSS://VINDARO.NET/ws", "wss://vindaro.net/ws?room=1&x=%20",
          "wss://vindaro.net/w%73"}) // the decoded path is compared
        EXPECT_TRUE(trustedSocket(url)) << url;
    for (const char* url :
         {"ws://vindaro.net/ws", "https://vindaro.net/ws", "wss://vindaro.net:8443/ws",
          "wss://vindaro.net:80/ws", "wss://vindaro.net/WS", "wss://vindaro.net/ws/",
          "wss://vindaro.net", "wss://vindaro.net/ws#", "wss://vindaro.net/ws#frag", ""})
        EXPECT_FALSE(trustedSocket(url)) << url;
    for (const char* url :
         {"wss://user@vindaro.net/ws", "wss://@vindaro.net/ws", "wss://:secret@vindaro.net/ws",
          "wss://evil.vindaro.net/ws", "wss://vindaro.net.evil.com/ws", "wss://vindaro.net./ws",
          "wss://127.0.0.1/ws", "wss:///ws", "vindaro.net/ws", "wss://vindaro.net/w s"})
        EXPECT_FALSE(trustedSocket(url)) << url;
}

TEST(TrustedURL, PairingPathHasNoTrailingSlashTolerance) {
    const auto trustedPairing = [](const char* text) {
        return isTrustedURL(parseURL(QString::fromUtf8(text)), u"https", u"/api/v1/agent/pair");
    };
    EXPECT_TRUE(trustedPairing("https://vindaro.net/api/v1/agent/pair"));
    EXPECT_FALSE(trustedPairing("https://vindaro.net/api/v1/agent/pair/"));
    EXPECT_FALSE(trustedPairing("http://vindaro.net/api/v1/agent/pair"));
    EXPECT_FALSE(trustedPairing("wss://vindaro.net/api/v1/agent/pair"));
}

TEST(Identifier, AllowsOneTo128AsciiIdentifierCharacters) {
    EXPECT_TRUE(isAllowedIdentifier(QStringLiteral("session_123"), 128));
    EXPECT_TRUE(isAllowedIdentifier(QStringLiteral("agent-456"), 128));
    EXPECT_TRUE(isAllowedIdentifier(QString(128, QLatin1Char('a')), 128));
    EXPECT_FALSE(isAllowedIdentifier(QString(129, QLatin1Char('a')), 128));
    EXPECT_FALSE(isAllowedIdentifier(QString(), 128));
    for (const char* bad : {"a b", "a.b", "ab\n", " ab", "a/b", "a%20"})
        EXPECT_FALSE(isAllowedIdentifier(QString::fromUtf8(bad), 128)) << bad;
    EXPECT_FALSE(isAllowedIdentifier(QStringLiteral("séance"), 128));
    EXPECT_FALSE(isAllowedIdentifier(QStringLiteral("ａbc"), 128)); // full-width letter
}

TEST(TextRules, TrimsUnicodeSpaceAndKnowsEveryLineBreak) {
    EXPECT_EQ(trimmedText(QStringLiteral("\u00a0\u2028 abc\t\u3000\r\n\u0085")),
              QStringLiteral("abc"));
    for (char16_t lineBreak : {u'\n', u'\v', u'\f', u'\r', u'\u0085', u'\u2028', u'\u2029'})
        EXPECT_TRUE(
            containsLineBreak(QStringLiteral("ab") + QChar(lineBreak) + QStringLiteral("cd")));
    EXPECT_FALSE(containsLineBreak(QStringLiteral("a\tb c\u00a0")));
}

TEST(PairingCode, IsExactlySixAsciiDigits) {
    EXPECT_TRUE(isValidPairingCode(QStringLiteral("012345")));
    for (const char* bad :
         {"12345", "1234567", "12345A", "", " 123456", "123456\n", "１２３４５６"})
        EXPECT_FALSE(isValidPairingCode(QString::fromUtf8(bad))) << bad;
    EXPECT_FALSE(isValidPairingCode(QStringLiteral("١٢٣٤٥٦"))); // Arabic-Indic digits
}
