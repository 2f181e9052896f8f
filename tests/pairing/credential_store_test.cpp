// The credential stores against a real gnome-keyring-daemon and the real settings file, each
// test in a private session of its own (see tests/support/private-session).
#include "credential_fixture.h"
#include "pairing/keychain_error.h"
#include "support/qt_printers.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

namespace {

const QString service = QStringLiteral("net.vindaro.agent");
const QString sessionToken = QStringLiteral("agent-token-v2");
const QString legacyToken = QStringLiteral("agent-token");
const QString installId = QStringLiteral("install-id-v2");

bool isLowerCaseUuid(const QString& text) {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    return pattern.match(text).hasMatch();
}

class CredentialStores : public ::testing::Test {
protected:
    // Tests may run one after another in one session when the binary is run by hand.
    void SetUp() override {
        credentials.sessions.clear();
        credentials.legacy.clear();
        credentials.keychain.remove(installId);
    }

    Credentials credentials;
    vindaro::KeychainStore& keychain = credentials.keychain;
};

TEST_F(CredentialStores, ItemsAreTheDesktopsOwnAndASecondSetReplacesTheFirst) {
    keychain.set(QStringLiteral("first-value"), sessionToken);
    keychain.set(QStringLiteral("second-value ✓"), sessionToken);
    keychain.set(QStringLiteral("legacy-value"), legacyToken);

    EXPECT_EQ(keychain.get(sessionToken), QStringLiteral("second-value ✓"));
    const ToolRun lookup = lookUpWithSecretTool(sessionToken);
    EXPECT_EQ(lookup.exitCode, 0);
    EXPECT_EQ(lookup.output, QStringLiteral("second-value ✓").toUtf8());
    const ToolRun search =
        secretTool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("service"),
                    service, QStringLiteral("account"), sessionToken});
    EXPECT_EQ(search.output.count("secret = "), 1) << search.output.toStdString();

    keychain.remove(sessionToken);
    EXPECT_EQ(keychain.get(sessionToken), std::nullopt);
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_NO_THROW(keychain.remove(sessionToken));
    EXPECT_EQ(keychain.get(legacyToken), QStringLiteral("legacy-value"));
}

TEST_F(CredentialStores, EmptyOrNonUtf8ItemsReadAsAbsent) {
    ASSERT_TRUE(credentials.secrets.store(service, sessionToken, QByteArray()));
    EXPECT_EQ(keychain.get(sessionToken), std::nullopt);
    for (const QByteArray& bytes : {QByteArray("tok-\xff\xfe-en"), QByteArray("tok-\xe2\x82")}) {
        ASSERT_TRUE(credentials.secrets.store(service, sessionToken, bytes));
        EXPECT_EQ(keychain.get(sessionToken), std::nullopt) << bytes.toHex().toStdString();
    }
    ASSERT_TRUE(credentials.secrets.store(service, sessionToken, QByteArray("tok-\0-nul", 9)));
    EXPECT_EQ(keychain.get(sessionToken), QString::fromUtf8("tok-\0-nul", 9));
}

TEST_F(CredentialStores, ASavedSessionIsItsTokenInTheKeyringAndFourKeysInTheSettingsFile) {
    const vindaro::AgentSession session = sampleSession();
    credentials.sessions.save(session);

    EXPECT_EQ(credentials.sessions.load(), session);
    EXPECT_EQ(lookUpWithSecretTool(sessionToken).output, session.token().toUtf8());
    const QByteArray settings = credentials.settingsFileText();
    for (const char* line :
         {"vindaro.agent.v2.ws-url=wss://vindaro.net/ws\n",
          "vindaro.agent.v2.session-id=session_123\n", "vindaro.agent.v2.agent-id=agent_456\n",
          "vindaro.agent.v2.protocol=2\n"})
        EXPECT_TRUE(settings.contains(line)) << settings.toStdString();
    EXPECT_FALSE(settings.contains("tok")) << settings.toStdString();
}

TEST_F(CredentialStores, PartialOrRefusedSessionsLoadAsAbsentAndAreLeftAsTheyAre) {
    const vindaro::AgentSession session = sampleSession();
    for (const char* key : {"vindaro.agent.v2.ws-url", "vindaro.agent.v2.session-id",
                            "vindaro.agent.v2.agent-id", "vindaro.agent.v2.protocol"}) {
        credentials.sessions.save(session);
        credentials.defaults.remove(QString::fromLatin1(key));
        credentials.defaults.flush();
        EXPECT_EQ(credentials.sessions.load(), std::nullopt) << key;
        EXPECT_EQ(keychain.get(sessionToken), session.token()) << key;
    }

    credentials.sessions.save(session);
    keychain.remove(sessionToken);
    EXPECT_EQ(credentials.sessions.load(), std::nullopt);
    EXPECT_TRUE(credentials.settingsFileText().contains("vindaro.agent.v2.session-id"));

    // Stored values the session itself would refuse.
    for (const auto& [key, value] :
         {std::pair{"protocol", QStringLiteral("3")}, std::pair{"protocol", QStringLiteral("two")},
          std::pair{"ws-url", QStringLiteral("wss://example.com/ws")}}) {
        credentials.sessions.save(session);
        credentials.defaults.setString(QStringLiteral("vindaro.agent.v2.") + QLatin1String(key),
                                       value);
        EXPECT_EQ(credentials.sessions.load(), std::nullopt) << key;
        EXPECT_EQ(keychain.get(sessionToken), session.token()) << key;
    }
}

TEST_F(CredentialStores, ALegacyPairingRoundTripsAndAnUnusableServerLoadsAsAbsent) {
    const vindaro::AgentPairing pairing = samplePairing();
    credentials.legacy.save(pairing);
    EXPECT_EQ(credentials.legacy.load(), pairing);
    EXPECT_EQ(lookUpWithSecretTool(legacyToken).output, pairing.token().toUtf8());
    const QByteArray settings = credentials.settingsFileText();
    EXPECT_TRUE(settings.contains("vindaro.agent.room=ROOM_42")) << settings.toStdString();
    EXPECT_TRUE(settings.contains("vindaro.agent.server=")) << settings.toStdString();
    EXPECT_FALSE(settings.contains(pairing.token().toUtf8())) << settings.toStdString();

    for (const QString& server :
         {QString(), QStringLiteral("not a url"), QStringLiteral("wss://[vindaro.net/ws")}) {
        credentials.defaults.setString(QStringLiteral("vindaro.agent.server"), server);
        EXPECT_EQ(credentials.legacy.load(), std::nullopt) << server.toStdString();
    }

    // Stored values are taken as they are, unchecked.
    credentials.defaults.setString(QStringLiteral("vindaro.agent.server"),
                                   QStringLiteral("ws://example.com/other"));
    credentials.defaults.setString(QStringLiteral("vindaro.agent.room"), QStringLiteral("x"));
    EXPECT_EQ(credentials.legacy.load(),
              vindaro::AgentPairing(QUrl(QStringLiteral("ws://example.com/other")),
                                    QStringLiteral("x"), pairing.token()));

    credentials.defaults.remove(QStringLiteral("vindaro.agent.room"));
    EXPECT_EQ(credentials.legacy.load(), std::nullopt);
    credentials.legacy.save(pairing);
    keychain.remove(legacyToken);
    EXPECT_EQ(credentials.legacy.load(), std::nullopt);
}

TEST_F(CredentialStores, ClearingNeedsNothingStoredAndKeepsTheInstallationId) {
    const QString id = credentials.identity.loadOrCreate();
    EXPECT_NO_THROW(credentials.sessions.clear());
    EXPECT_NO_THROW(credentials.legacy.clear());

    credentials.sessions.save(sampleSession());
    credentials.legacy.save(samplePairing());
    credentials.sessions.clear();
    credentials.legacy.clear();

    EXPECT_EQ(credentials.sessions.load(), std::nullopt);
    EXPECT_EQ(credentials.legacy.load(), std::nullopt);
    EXPECT_FALSE(credentials.settingsFileText().contains("vindaro.agent"))
        << credentials.settingsFileText().toStdString();
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_NE(lookUpWithSecretTool(legacyToken).exitCode, 0);
    EXPECT_EQ(lookUpWithSecretTool(installId).output, id.toUtf8());
    EXPECT_EQ(credentials.identity.loadOrCreate(), id);
}

TEST_F(CredentialStores, TheInstallationIdIsALowerCaseUuidReplacedWhenUpperCaseOrMalformed) {
    const QString id = credentials.identity.loadOrCreate();
    EXPECT_TRUE(isLowerCaseUuid(id)) << id.toStdString();
    EXPECT_EQ(lookUpWithSecretTool(installId).output, id.toUtf8());
    EXPECT_EQ(credentials.identity.loadOrCreate(), id);

    for (const QString& stored : {id.toUpper(), QStringLiteral("not-an-id"), id + QLatin1Char('\n'),
                                  QStringLiteral(" ") + id}) {
        keychain.set(stored, installId);
        const QString replaced = credentials.identity.loadOrCreate();
        EXPECT_TRUE(isLowerCaseUuid(replaced)) << replaced.toStdString();
        EXPECT_NE(replaced, id);
        EXPECT_EQ(keychain.get(installId), replaced);
    }
}

} // namespace
