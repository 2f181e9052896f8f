// The credential stores against a real gnome-keyring-daemon and the real settings file, each
// test in a private session of its own (see tests/support/private-session).
#include "credential_fixture.h"
#include "support/qt_printers.h"
#include "support/samples.h"

#include <QRegularExpression>

#include <gtest/gtest.h>

using vindaro::test::samplePairing;
using vindaro::test::sampleSession;

namespace {

const QString sessionToken = QStringLiteral("agent-token-v2");
const QString legacyToken = QStringLiteral("agent-token");
const QString installId = QStringLiteral("install-id-v2");

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

} // namespace

TEST_F(CredentialStores, ItemsAreTheDesktopsOwnAndOnlyUtf8TextReadsAsACredential) {
    keychain.set(QStringLiteral("first-value"), sessionToken);
    keychain.set(QStringLiteral("second-value ✓"), sessionToken);
    EXPECT_EQ(keychain.get(sessionToken), QStringLiteral("second-value ✓"));
    EXPECT_EQ(lookUpWithSecretTool(sessionToken), QStringLiteral("second-value ✓").toUtf8());
    keychain.remove(sessionToken);
    EXPECT_EQ(lookUpWithSecretTool(sessionToken), std::nullopt);
    EXPECT_EQ(keychain.get(sessionToken), std::nullopt);

    const QString service = QStringLiteral("net.vindaro.agent");
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("tok-\xff\xfe-en"), QByteArray("tok-\xe2\x82")}) {
        ASSERT_TRUE(credentials.secrets.store(service, sessionToken, bytes));
        EXPECT_EQ(keychain.get(sessionToken), std::nullopt) << bytes.toHex().toStdString();
    }
}

TEST_F(CredentialStores, EachPairingKeepsItsTokenInTheKeyringAndTheRestInTheSettingsFile) {
    const vindaro::AgentSession session = sampleSession();
    credentials.sessions.save(session);
    credentials.legacy.save(samplePairing());
    EXPECT_EQ(credentials.sessions.load(), session);
    EXPECT_EQ(credentials.legacy.load(), samplePairing());
    EXPECT_EQ(lookUpWithSecretTool(sessionToken), session.token().toUtf8());
    EXPECT_EQ(lookUpWithSecretTool(legacyToken), samplePairing().token().toUtf8());
    const QByteArray settings = credentials.settingsFileText();
    for (const char* line :
         {"vindaro.agent.v2.ws-url=wss://www.vindaro.net/ws\n",
          "vindaro.agent.v2.session-id=session_123\n", "vindaro.agent.v2.agent-id=agent_456\n",
          "vindaro.agent.v2.protocol=2\n", "vindaro.agent.room=ROOM1\n",
          "vindaro.agent.server=wss://www.vindaro.net/ws\n"})
        EXPECT_TRUE(settings.contains(line)) << line << settings.toStdString();
    EXPECT_FALSE(settings.contains("tok")) << settings.toStdString();

    // A part missing, or a value the session itself would refuse: absent, and left as it is.
    credentials.defaults.setString(QStringLiteral("vindaro.agent.v2.protocol"),
                                   QStringLiteral("3"));
    EXPECT_EQ(credentials.sessions.load(), std::nullopt);
    credentials.sessions.save(session);
    keychain.remove(sessionToken);
    EXPECT_EQ(credentials.sessions.load(), std::nullopt);
    EXPECT_TRUE(credentials.settingsFileText().contains("vindaro.agent.v2.session-id"));

    // Clearing takes both away and keeps the installation id.
    const QString id = credentials.identity.loadOrCreate();
    credentials.sessions.save(session);
    credentials.sessions.clear();
    credentials.legacy.clear();
    EXPECT_FALSE(credentials.settingsFileText().contains("vindaro.agent"))
        << credentials.settingsFileText().toStdString();
    EXPECT_EQ(lookUpWithSecretTool(sessionToken), std::nullopt);
    EXPECT_EQ(lookUpWithSecretTool(legacyToken), std::nullopt);
    EXPECT_EQ(credentials.identity.loadOrCreate(), id);
}

TEST_F(CredentialStores, TheInstallationIdIsALowerCaseUuidReplacedWhenMalformed) {
    static const QRegularExpression uuid(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    const QString id = credentials.identity.loadOrCreate();
    EXPECT_TRUE(uuid.match(id).hasMatch()) << id.toStdString();
    EXPECT_EQ(lookUpWithSecretTool(installId), id.toUtf8());
    EXPECT_EQ(credentials.identity.loadOrCreate(), id);
    for (const QString& stored :
         {id.toUpper(), QStringLiteral("not-an-id"), id + QLatin1Char('\n')}) {
        keychain.set(stored, installId);
        const QString replaced = credentials.identity.loadOrCreate();
        EXPECT_TRUE(uuid.match(replaced).hasMatch()) << replaced.toStdString();
        EXPECT_EQ(keychain.get(installId), replaced);
    }
}
