// The credential stores against a real gnome-keyring-daemon and the real settings file, each
// test in a private session of its own (see tests/support/private-session).
#include "credential_fixture.h"
#include "support/qt_printers.h"

#include <QDir>
#include <QFileInfo>
#include <QRegularExpression>

#include <gtest/gtest.h>

#include <sys/stat.h>

namespace {

const QString service = QStringLiteral("net.vindaro.agent");
const QString sessionToken = QStringLiteral("agent-token-v2");
const QString legacyToken = QStringLiteral("agent-token");
const QString installId = QStringLiteral("install-id-v2");
const QString done = QStringLiteral("(done)");
const QString absent = QStringLiteral("(absent)");

bool isLowerCaseUuid(const QString& text) {
    static const QRegularExpression pattern(QRegularExpression::anchoredPattern(
        QStringLiteral("[0-9a-f]{8}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{4}-[0-9a-f]{12}")));
    return pattern.match(text).hasMatch();
}

// Makes a folder unwritable for as long as it lives, root included: immutable where the file
// system allows it, read-only otherwise.
class ReadOnlyFolder {
public:
    explicit ReadOnlyFolder(const QString& path)
        : m_path(path) {
        QDir().mkpath(path);
        m_immutable =
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("+i"), path}) == 0;
        if (!m_immutable)
            ::chmod(QFile::encodeName(path).constData(), 0555);
    }
    ~ReadOnlyFolder() {
        if (m_immutable)
            QProcess::execute(QStringLiteral("chattr"), {QStringLiteral("-i"), m_path});
        else
            ::chmod(QFile::encodeName(m_path).constData(), 0755);
    }
    ReadOnlyFolder(const ReadOnlyFolder&) = delete;
    ReadOnlyFolder& operator=(const ReadOnlyFolder&) = delete;

    bool isReadOnly() const {
        QFile probe(m_path + QStringLiteral("/probe"));
        const bool written = probe.open(QIODevice::WriteOnly);
        probe.remove();
        return !written;
    }

private:
    QString m_path;
    bool m_immutable = false;
};

class CredentialStores : public ::testing::Test {
protected:
    Credentials credentials;
};

TEST_F(CredentialStores, ItemsAreTheDesktopsOwnAndASecondSetReplacesTheFirst) {
    EXPECT_EQ(credentials.set(QStringLiteral("first-value"), sessionToken), done);
    EXPECT_EQ(credentials.set(QStringLiteral("second-value ✓"), sessionToken), done);
    EXPECT_EQ(credentials.set(QStringLiteral("legacy-value"), legacyToken), done);

    EXPECT_EQ(credentials.get(sessionToken), QStringLiteral("second-value ✓"));
    const ToolRun lookup = lookUpWithSecretTool(sessionToken);
    EXPECT_EQ(lookup.exitCode, 0);
    EXPECT_EQ(lookup.output, QStringLiteral("second-value ✓").toUtf8());
    const ToolRun search =
        secretTool({QStringLiteral("search"), QStringLiteral("--all"), QStringLiteral("service"),
                    service, QStringLiteral("account"), sessionToken});
    EXPECT_EQ(search.output.count("secret = "), 1) << search.output.toStdString();

    EXPECT_EQ(credentials.remove(sessionToken), done);
    EXPECT_EQ(credentials.get(sessionToken), absent);
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_EQ(credentials.remove(sessionToken), done);
    EXPECT_EQ(credentials.get(legacyToken), QStringLiteral("legacy-value"));
}

TEST_F(CredentialStores, EmptyOrNonUtf8ItemsReadAsAbsent) {
    const auto storeRaw = [&](const QByteArray& bytes) {
        return answerOf<vindaro::SecretOutcome>([&](auto answer) {
                   credentials.secrets.store(service, sessionToken, bytes, std::move(answer));
               }).status() == vindaro::SecretOutcome::Status::done;
    };
    for (const QByteArray& bytes :
         {QByteArray(), QByteArray("tok-\xff\xfe-en"), QByteArray("tok-\xe2\x82")}) {
        ASSERT_TRUE(storeRaw(bytes));
        EXPECT_EQ(credentials.get(sessionToken), absent) << bytes.toHex().toStdString();
    }
    ASSERT_TRUE(storeRaw(QByteArray("tok-\0-nul", 9)));
    EXPECT_EQ(credentials.get(sessionToken), QString::fromUtf8("tok-\0-nul", 9));
}

TEST_F(CredentialStores, ASavedSessionIsItsTokenInTheKeyringAndFourKeysInTheSettingsFile) {
    const vindaro::AgentSession session = sampleSession();
    ASSERT_EQ(credentials.save(session), done);

    const vindaro::SessionStore::Load loaded = credentials.loadSession();
    ASSERT_TRUE(loaded.value());
    EXPECT_EQ(*loaded.value(), session);
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
        ASSERT_EQ(credentials.save(session), done);
        credentials.defaults.remove(QString::fromLatin1(key));
        ASSERT_TRUE(credentials.defaults.flush());
        EXPECT_TRUE(credentials.loadSession().isAbsent()) << key;
        EXPECT_EQ(credentials.get(sessionToken), session.token()) << key;
    }

    ASSERT_EQ(credentials.save(session), done);
    ASSERT_EQ(credentials.remove(sessionToken), done);
    EXPECT_TRUE(credentials.loadSession().isAbsent());
    EXPECT_TRUE(credentials.settingsFileText().contains("vindaro.agent.v2.session-id"));

    // Stored values the session itself would refuse.
    for (const auto& [key, value] :
         {std::pair{"protocol", QStringLiteral("3")}, std::pair{"protocol", QStringLiteral("two")},
          std::pair{"ws-url", QStringLiteral("wss://example.com/ws")}}) {
        ASSERT_EQ(credentials.save(session), done);
        credentials.defaults.setString(QStringLiteral("vindaro.agent.v2.") + QLatin1String(key),
                                       value);
        EXPECT_TRUE(credentials.loadSession().isAbsent()) << key;
        EXPECT_EQ(credentials.get(sessionToken), session.token()) << key;
    }
}

TEST_F(CredentialStores, ALegacyPairingRoundTripsAndAnUnusableServerLoadsAsAbsent) {
    const vindaro::AgentPairing pairing = samplePairing();
    ASSERT_EQ(credentials.save(pairing), done);
    const vindaro::LegacyPairingStore::Load loaded = credentials.loadLegacy();
    ASSERT_TRUE(loaded.value());
    EXPECT_EQ(*loaded.value(), pairing);
    EXPECT_EQ(lookUpWithSecretTool(legacyToken).output, pairing.token().toUtf8());
    const QByteArray settings = credentials.settingsFileText();
    EXPECT_TRUE(settings.contains("vindaro.agent.room=ROOM_42")) << settings.toStdString();
    EXPECT_TRUE(settings.contains("vindaro.agent.server=")) << settings.toStdString();
    EXPECT_FALSE(settings.contains(pairing.token().toUtf8())) << settings.toStdString();

    for (const QString& server :
         {QString(), QStringLiteral("not a url"), QStringLiteral("wss://[vindaro.net/ws")}) {
        credentials.defaults.setString(QStringLiteral("vindaro.agent.server"), server);
        EXPECT_TRUE(credentials.loadLegacy().isAbsent()) << server.toStdString();
    }

    // Stored values are taken as they are, unchecked.
    credentials.defaults.setString(QStringLiteral("vindaro.agent.server"),
                                   QStringLiteral("ws://example.com/other"));
    credentials.defaults.setString(QStringLiteral("vindaro.agent.room"), QStringLiteral("x"));
    const vindaro::LegacyPairingStore::Load unchecked = credentials.loadLegacy();
    ASSERT_TRUE(unchecked.value());
    EXPECT_EQ(*unchecked.value(),
              vindaro::AgentPairing(QUrl(QStringLiteral("ws://example.com/other")),
                                    QStringLiteral("x"), pairing.token()));

    credentials.defaults.remove(QStringLiteral("vindaro.agent.room"));
    EXPECT_TRUE(credentials.loadLegacy().isAbsent());
    ASSERT_EQ(credentials.save(pairing), done);
    ASSERT_EQ(credentials.remove(legacyToken), done);
    EXPECT_TRUE(credentials.loadLegacy().isAbsent());
}

TEST_F(CredentialStores, ClearingNeedsNothingStoredAndKeepsTheInstallationId) {
    const QString id = credentials.installationId();
    EXPECT_EQ(credentials.clearSession(), done);
    EXPECT_EQ(credentials.clearLegacy(), done);

    ASSERT_EQ(credentials.save(sampleSession()), done);
    ASSERT_EQ(credentials.save(samplePairing()), done);
    EXPECT_EQ(credentials.clearSession(), done);
    EXPECT_EQ(credentials.clearLegacy(), done);

    EXPECT_TRUE(credentials.loadSession().isAbsent());
    EXPECT_TRUE(credentials.loadLegacy().isAbsent());
    EXPECT_FALSE(credentials.settingsFileText().contains("vindaro.agent"))
        << credentials.settingsFileText().toStdString();
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_NE(lookUpWithSecretTool(legacyToken).exitCode, 0);
    EXPECT_EQ(lookUpWithSecretTool(installId).output, id.toUtf8());
    EXPECT_EQ(credentials.installationId(), id);
}

TEST_F(CredentialStores, TheInstallationIdIsALowerCaseUuidReplacedWhenUpperCaseOrMalformed) {
    const QString id = credentials.installationId();
    EXPECT_TRUE(isLowerCaseUuid(id)) << id.toStdString();
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

// A settings folder that cannot be written: the save fails with a storage error the user sees,
// and what was stored before, in the keyring and on disk, is what the next launch finds.
TEST_F(CredentialStores, AnUnwritableSettingsFolderFailsTheSaveAndKeepsTheFormerPairing) {
    const vindaro::AgentSession former = sampleSession();
    ASSERT_EQ(credentials.save(former), done);
    const QByteArray settingsBefore = credentials.settingsFileText();
    const ReadOnlyFolder folder(QFileInfo(credentials.defaults.fileName()).path());
    if (!folder.isReadOnly())
        GTEST_SKIP() << "cannot make the settings folder read-only here";

    const vindaro::AgentSession newer(QStringLiteral("wss://vindaro.net/ws"),
                                      QStringLiteral("session_999"), QStringLiteral("agent_999"),
                                      QStringLiteral("tok-NEWER-000"), 2);
    EXPECT_EQ(credentials.save(newer), QStringLiteral("(settingsWrite)"));
    EXPECT_EQ(credentials.save(samplePairing()), QStringLiteral("(settingsWrite)"));

    EXPECT_EQ(credentials.settingsFileText(), settingsBefore);
    EXPECT_EQ(lookUpWithSecretTool(sessionToken).output, former.token().toUtf8());
    EXPECT_NE(lookUpWithSecretTool(legacyToken).exitCode, 0);
    const vindaro::SessionStore::Load loaded = credentials.loadSession();
    ASSERT_TRUE(loaded.value());
    EXPECT_EQ(*loaded.value(), former);
    Credentials nextLaunch;
    const vindaro::SessionStore::Load restored = nextLaunch.loadSession();
    ASSERT_TRUE(restored.value());
    EXPECT_EQ(*restored.value(), former);

    // Clearing takes the token, but cannot say the settings are gone.
    EXPECT_EQ(credentials.clearSession(), QStringLiteral("(settingsWrite)"));
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_TRUE(nextLaunch.loadSession().isAbsent());
}

} // namespace
