// The stores against a real gnome-keyring-daemon and settings file, in a private session each.
#include "credential_fixture.h"
#include "support/qt_printers.h"

#include <QDateTime>
#include <QFileInfo>
#include <QUuid>

#include <memory>

#include <gtest/gtest.h>

using namespace vindaro::test;

namespace {

const QString sessionToken = QStringLiteral("agent-token-v2");
const QString legacyToken = QStringLiteral("agent-token");
const QString installId = QStringLiteral("install-id-v2");
const QString done = QStringLiteral("(done)");
const QString absent = QStringLiteral("(absent)");

// Qt writes a UUID in lower case.
bool isLowerCaseUuid(const QString& text) {
    return QUuid::fromString(text).toString(QUuid::WithoutBraces) == text;
}

class CredentialStores : public ::testing::Test {
protected:
    Credentials credentials;
};

TEST_F(CredentialStores, ItemsAreTheDesktopsOwnReplacedOnSetAndReadOnlyAsUtf8Text) {
    EXPECT_EQ(credentials.set(QStringLiteral("first-value"), sessionToken), done);
    EXPECT_EQ(credentials.set(QStringLiteral("second-value ✓"), sessionToken), done);
    EXPECT_EQ(credentials.set(QStringLiteral("legacy-value"), legacyToken), done);
    EXPECT_EQ(credentials.get(sessionToken), QStringLiteral("second-value ✓"));
    EXPECT_EQ(lookUpWithSecretTool(sessionToken).output, QStringLiteral("second-value ✓").toUtf8());

    EXPECT_EQ(credentials.remove(sessionToken), done);
    EXPECT_EQ(credentials.get(sessionToken), absent);
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_EQ(credentials.remove(sessionToken), done);
    EXPECT_EQ(credentials.get(legacyToken), QStringLiteral("legacy-value"));

    for (const QByteArray& bytes : {QByteArray(), QByteArray("tok-\xff\xfe-en"),
                                    QByteArray("tok-\xe2\x82"), QByteArray("tok-\0-nul", 9)}) {
        ASSERT_EQ(answerOf<vindaro::SecretOutcome>([&](auto answer) {
                      credentials.secrets.store(QStringLiteral("net.vindaro.agent"), sessionToken,
                                                bytes, answer);
                  }).status(),
                  vindaro::SecretOutcome::Status::done);
        EXPECT_EQ(credentials.get(sessionToken),
                  bytes.contains(char(0)) ? QString::fromUtf8(bytes) : absent)
            << bytes.toHex().toStdString();
    }
}

// A session missing any of its token and four settings, or with one unusable, loads as nothing.
TEST_F(CredentialStores, ASessionIsItsTokenAndFourSettingsAndLoadsOnlyWhole) {
    const vindaro::AgentSession session = sampleSession();
    ASSERT_EQ(credentials.save(session), done);
    const vindaro::SessionStore::Load loaded = credentials.loadSession();
    ASSERT_TRUE(loaded.value());
    EXPECT_EQ(*loaded.value(), session);
    EXPECT_EQ(lookUpWithSecretTool(sessionToken).output, session.token().toUtf8());
    const QByteArray settings = credentials.settingsFileText();
    for (const char* line :
         {"vindaro.agent.v2.ws-url=wss://www.vindaro.net/ws\n",
          "vindaro.agent.v2.session-id=session_123\n", "vindaro.agent.v2.agent-id=agent_456\n",
          "vindaro.agent.v2.protocol=2\n"})
        EXPECT_TRUE(settings.contains(line)) << settings.toStdString();
    EXPECT_FALSE(settings.contains("tok")) << settings.toStdString();

    for (const auto& [key, value] :
         {std::pair{"ws-url", QString()}, std::pair{"session-id", QString()},
          std::pair{"agent-id", QString()}, std::pair{"protocol", QString()},
          std::pair{"protocol", QStringLiteral("3")}, std::pair{"protocol", QStringLiteral("two")},
          std::pair{"ws-url", QStringLiteral("wss://example.com/ws")}}) {
        ASSERT_EQ(credentials.save(session), done);
        const QString name = QStringLiteral("vindaro.agent.v2.") + QLatin1String(key);
        if (value.isNull())
            credentials.defaults.remove(name);
        else
            credentials.defaults.setString(name, value);
        ASSERT_TRUE(credentials.defaults.flush());
        EXPECT_TRUE(credentials.loadSession().isAbsent()) << key << value.toStdString();
        EXPECT_EQ(credentials.get(sessionToken), session.token()) << key;
    }
    ASSERT_EQ(credentials.save(session), done);
    ASSERT_EQ(credentials.remove(sessionToken), done);
    EXPECT_TRUE(credentials.loadSession().isAbsent());
    EXPECT_TRUE(credentials.settingsFileText().contains("vindaro.agent.v2.session-id"));
}

TEST_F(CredentialStores, ALegacyPairingRoundTripsAndAnUnusableServerLoadsAsAbsent) {
    const vindaro::AgentPairing pairing = samplePairing();
    ASSERT_EQ(credentials.save(pairing), done);
    const vindaro::LegacyPairingStore::Load loaded = credentials.loadLegacy();
    ASSERT_TRUE(loaded.value());
    EXPECT_EQ(*loaded.value(), pairing);
    EXPECT_EQ(lookUpWithSecretTool(legacyToken).output, pairing.token().toUtf8());
    const QByteArray settings = credentials.settingsFileText();
    EXPECT_TRUE(settings.contains("vindaro.agent.room=ROOM1")) << settings.toStdString();
    EXPECT_TRUE(settings.contains("vindaro.agent.server=")) << settings.toStdString();
    EXPECT_FALSE(settings.contains(pairing.token().toUtf8())) << settings.toStdString();

    const QString server = QStringLiteral("vindaro.agent.server");
    for (const QString& url :
         {QString(), QStringLiteral("not a url"), QStringLiteral("wss://[vindaro.net/ws")}) {
        credentials.defaults.setString(server, url);
        EXPECT_TRUE(credentials.loadLegacy().isAbsent()) << url.toStdString();
    }
    credentials.defaults.remove(QStringLiteral("vindaro.agent.room"));
    EXPECT_TRUE(credentials.loadLegacy().isAbsent());
}

// The installation id: a lower-case UUID, made once, replaced when malformed, kept by clearing.
TEST_F(CredentialStores, ClearingTakesBothPairingsAndLeavesTheInstallationId) {
    const QString id = credentials.installationId();
    EXPECT_TRUE(isLowerCaseUuid(id)) << id.toStdString();
    EXPECT_EQ(credentials.clearSession(), done);
    EXPECT_EQ(credentials.clearLegacy(), done);
    ASSERT_EQ(credentials.save(sampleSession()), done);
    ASSERT_EQ(credentials.save(samplePairing()), done);
    EXPECT_EQ(credentials.clearSession(), done);
    EXPECT_EQ(credentials.clearLegacy(), done);
    EXPECT_TRUE(credentials.loadSession().isAbsent());
    EXPECT_TRUE(credentials.loadLegacy().isAbsent());
    EXPECT_FALSE(credentials.settingsFileText().contains("vindaro.agent"));
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_NE(lookUpWithSecretTool(legacyToken).exitCode, 0);
    EXPECT_EQ(lookUpWithSecretTool(installId).output, id.toUtf8());
    EXPECT_EQ(credentials.installationId(), id);

    for (const QString& stored : {id.toUpper(), QStringLiteral("not-an-id"), id + QLatin1Char('\n'),
                                  QStringLiteral(" ") + id}) {
        ASSERT_EQ(credentials.set(stored, installId), done);
        const QString replaced = credentials.installationId();
        EXPECT_TRUE(isLowerCaseUuid(replaced)) << replaced.toStdString();
        EXPECT_NE(replaced, id);
        EXPECT_EQ(credentials.get(installId), replaced);
    }
}

// Items of the same service and account written by other tools: one in the default collection
// comes first, then the newest, and the agent's next save leaves only its own.
TEST_F(CredentialStores, OfDuplicateItemsTheDefaultCollectionsNewestIsReadAndASaveRemovesTheRest) {
    const auto secretTool = [](QStringList arguments, const QByteArray& input = {}) {
        QProcess tool;
        tool.start(QStringLiteral("secret-tool"),
                   arguments << QStringLiteral("service") << QStringLiteral("net.vindaro.agent")
                             << QStringLiteral("account") << sessionToken);
        tool.write(input);
        tool.closeWriteChannel();
        EXPECT_TRUE(tool.waitForFinished(30000));
        return tool.readAllStandardOutput() + tool.readAllStandardError();
    };
    // Told apart by one more attribute, so that one does not replace the other.
    const auto store = [&](const char* note, const QByteArray& value, const QString& where = {}) {
        QStringList arguments{QStringLiteral("store"), QStringLiteral("--label=other tool")};
        if (!where.isEmpty())
            arguments << QStringLiteral("--collection=/org/freedesktop/secrets/collection/") +
                             where;
        secretTool(arguments << QStringLiteral("note") << QLatin1String(note), value);
    };
    // The keyring keeps modification times in whole seconds.
    const auto nextSecond = [] {
        const qint64 second = QDateTime::currentSecsSinceEpoch();
        ASSERT_TRUE(eventually([&] { return QDateTime::currentSecsSinceEpoch() > second; }));
    };
    store("one", "tool-older");
    nextSecond();
    store("one", "tool-elsewhere", QStringLiteral("session"));
    EXPECT_EQ(credentials.get(sessionToken), QStringLiteral("tool-older"));
    store("two", "tool-newer");
    EXPECT_EQ(credentials.get(sessionToken), QStringLiteral("tool-newer"));
    nextSecond();
    store("one", "tool-newest");
    EXPECT_EQ(credentials.get(sessionToken), QStringLiteral("tool-newest"));

    ASSERT_EQ(credentials.set(QStringLiteral("agent-own"), sessionToken), done);
    EXPECT_EQ(secretTool({QStringLiteral("search"), QStringLiteral("--all")}).count("secret = "),
              1);
    EXPECT_EQ(credentials.get(sessionToken), QStringLiteral("agent-own"));
}

// A settings folder nobody can write: the save fails, and the next launch finds the former pairing.

TEST_F(CredentialStores, AnUnwritableSettingsFolderFailsTheSaveAndKeepsTheFormerPairing) {
    const vindaro::AgentSession former = sampleSession();
    ASSERT_EQ(credentials.save(former), done);
    const QByteArray settingsBefore = credentials.settingsFileText();
    const QString folder = QFileInfo(credentials.defaults.fileName()).path();
    const auto immutable = [&](bool on) {
        return QProcess::execute(QStringLiteral("chattr"),
                                 {on ? QStringLiteral("+i") : QStringLiteral("-i"), folder}) == 0;
    };
    if (!immutable(true))
        GTEST_SKIP() << "chattr +i does not work here";
    const std::shared_ptr<void> undo(nullptr, [&](void*) { immutable(false); });

    const vindaro::AgentSession newer(QStringLiteral("wss://vindaro.net/ws"),
                                      QStringLiteral("session_999"), QStringLiteral("agent_999"),
                                      QStringLiteral("tok-NEWER-000"), 2);
    EXPECT_EQ(credentials.save(newer), QStringLiteral("(settingsWrite)"));
    EXPECT_EQ(credentials.save(samplePairing()), QStringLiteral("(settingsWrite)"));
    EXPECT_EQ(credentials.settingsFileText(), settingsBefore);
    EXPECT_EQ(lookUpWithSecretTool(sessionToken).output, former.token().toUtf8());
    EXPECT_NE(lookUpWithSecretTool(legacyToken).exitCode, 0);
    Credentials nextLaunch;
    for (Credentials* launch : {&credentials, &nextLaunch}) {
        const vindaro::SessionStore::Load loaded = launch->loadSession();
        ASSERT_TRUE(loaded.value());
        EXPECT_EQ(*loaded.value(), former);
    }
    // Clearing takes the token, but cannot say the settings are gone.
    EXPECT_EQ(credentials.clearSession(), QStringLiteral("(settingsWrite)"));
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_TRUE(credentials.loadSession().isAbsent());
}

} // namespace
