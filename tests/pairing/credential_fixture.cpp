#include "credential_fixture.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>

#include <gtest/gtest.h>

using namespace vindaro;
using vindaro::test::samplePairing;

static constexpr int waitLimitMs = 30000;

QString shown(const StorageError& error) {
    // In the order of StorageError::Kind.
    static const char* const kinds[] = {"(keychainWrite)", "(keychainRead)", "(keychainRemove)",
                                        "(settingsWrite)"};
    return QString::fromLatin1(kinds[static_cast<int>(error.kind())]);
}

QString shown(const KeychainStore::Read& read) {
    if (const StorageError* error = read.error())
        return shown(*error);
    return read.value() ? *read.value() : QStringLiteral("(absent)");
}

QString shown(const std::optional<StorageError>& error) {
    return error ? shown(*error) : QStringLiteral("(done)");
}

QByteArray Credentials::settingsFileText() const {
    QFile file(defaults.fileName());
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}

void lockKeyring() {
    // A bare call: QDBusInterface would cache the service's introspection for the process's life.

    QDBusMessage lock = QDBusMessage::createMethodCall(
        QStringLiteral("org.freedesktop.secrets"), QStringLiteral("/org/freedesktop/secrets"),
        QStringLiteral("org.freedesktop.Secret.Service"), QStringLiteral("Lock"));
    lock << QVariant::fromValue(QList<QDBusObjectPath>{
        QDBusObjectPath(QStringLiteral("/org/freedesktop/secrets/collection/login"))});
    const QDBusMessage reply = QDBusConnection::sessionBus().call(lock);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
}

KeyringPrompter::KeyringPrompter(Person person, std::chrono::milliseconds after) {
    const QString seconds = QString::number(static_cast<double>(after.count()) / 1000.0);
    // "private-session" is the password private-session gave the keyring.
    const QStringList arguments =
        person == Person::answers
            ? QStringList{QStringLiteral("answer"), seconds, QStringLiteral("private-session")}
            : QStringList{QStringLiteral("refuse"), seconds};
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(VINDARO_FAKE_PROMPTER), arguments);
    m_ready = vindaro::test::eventually([&] {
                  m_output += m_process.readAllStandardOutput();
                  return m_output.contains("ready\n") || m_process.state() == QProcess::NotRunning;
              }) &&
              m_output.contains("ready\n");
}

KeyringPrompter::~KeyringPrompter() {
    m_process.terminate();
    m_process.waitForFinished(waitLimitMs); // else QProcess kills it
}

int KeyringPrompter::promptsShown() {
    m_output += m_process.readAllStandardOutput();
    return static_cast<int>(m_output.count("prompt "));
}

ToolRun lookUpWithSecretTool(const QString& account) {
    QProcess process;
    process.start(QStringLiteral("secret-tool"),
                  {QStringLiteral("lookup"), QStringLiteral("service"),
                   QStringLiteral("net.vindaro.agent"), QStringLiteral("account"), account});
    process.closeWriteChannel();
    if (!process.waitForFinished(waitLimitMs)) {
        ADD_FAILURE() << "secret-tool did not finish";
        return {};
    }
    return {process.exitCode(), process.readAllStandardOutput()};
}

void expectEveryOperationFails(Credentials& credentials) {
    for (const auto& [key, value] :
         {std::pair{"ws-url", "wss://vindaro.net/ws"}, std::pair{"session-id", "session_123"},
          std::pair{"agent-id", "agent_456"}, std::pair{"protocol", "2"}})
        credentials.defaults.setString(QStringLiteral("vindaro.agent.v2.") + QLatin1String(key),
                                       QLatin1String(value));
    ASSERT_TRUE(credentials.defaults.flush());
    const QByteArray settings = credentials.settingsFileText();

    EXPECT_EQ(credentials.get(QStringLiteral("agent-token-v2")), QStringLiteral("(keychainRead)"));
    const vindaro::SessionStore::Load session = credentials.loadSession();
    ASSERT_TRUE(session.error());
    EXPECT_EQ(shown(*session.error()), QStringLiteral("(keychainRead)"));
    EXPECT_EQ(credentials.installationId(), QStringLiteral("(keychainWrite)"));
    EXPECT_EQ(credentials.save(samplePairing()), QStringLiteral("(keychainWrite)"));
    EXPECT_EQ(credentials.clearSession(), QStringLiteral("(keychainRemove)"));
    EXPECT_EQ(credentials.settingsFileText(), settings);
}
