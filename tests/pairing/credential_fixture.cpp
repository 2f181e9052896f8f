#include "credential_fixture.h"

#include "support/wait.h"

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QFile>

#include <gtest/gtest.h>

using namespace vindaro;

namespace {

constexpr int waitLimitMs = 30000;

} // namespace

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
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

QString Credentials::get(const QString& account) {
    return shown(
        answerOf<KeychainStore::Read>([&](auto done) { keychain.get(account, std::move(done)); }));
}

QString Credentials::set(const QString& value, const QString& account) {
    return shown(answerOf<std::optional<StorageError>>(
        [&](auto done) { keychain.set(value, account, std::move(done)); }));
}

QString Credentials::remove(const QString& account) {
    return shown(answerOf<std::optional<StorageError>>(
        [&](auto done) { keychain.remove(account, std::move(done)); }));
}

QString Credentials::installationId() {
    return shown(answerOf<StorageResult<QString>>(
        [&](auto done) { identity.loadOrCreate(std::move(done)); }));
}

QString Credentials::save(const AgentSession& session) {
    return shown(answerOf<std::optional<StorageError>>(
        [&](auto done) { sessions.save(session, std::move(done)); }));
}

QString Credentials::save(const AgentPairing& pairing) {
    return shown(answerOf<std::optional<StorageError>>(
        [&](auto done) { legacy.save(pairing, std::move(done)); }));
}

SessionStore::Load Credentials::loadSession() {
    return answerOf<SessionStore::Load>([&](auto done) { sessions.load(std::move(done)); });
}

LegacyPairingStore::Load Credentials::loadLegacy() {
    return answerOf<LegacyPairingStore::Load>([&](auto done) { legacy.load(std::move(done)); });
}

QString Credentials::clearSession() {
    return shown(
        answerOf<std::optional<StorageError>>([&](auto done) { sessions.clear(std::move(done)); }));
}

QString Credentials::clearLegacy() {
    return shown(
        answerOf<std::optional<StorageError>>([&](auto done) { legacy.clear(std::move(done)); }));
}

void lockKeyring() {
    // A bare method call: QDBusInterface would introspect the service and cache what it learnt
    // for as long as the process lives.
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
    QStringList arguments;
    switch (person) {
    case Person::answers:
        // The password private-session gave the keyring.
        arguments = {QStringLiteral("answer"), seconds, QStringLiteral("private-session")};
        break;
    case Person::refuses:
        arguments = {QStringLiteral("refuse"), seconds};
        break;
    case Person::closesThePrompt:
        arguments = {QStringLiteral("vanish"), seconds};
        break;
    }
    m_process.setProcessChannelMode(QProcess::ForwardedErrorChannel);
    m_process.start(QStringLiteral(VINDARO_FAKE_PROMPTER), arguments);
    m_ready = vindaro::test::eventually([&] {
                  m_output += m_process.readAllStandardOutput();
                  return m_output.contains("ready\n") || m_process.state() == QProcess::NotRunning;
              }) &&
              m_output.contains("ready\n");
}

KeyringPrompter::~KeyringPrompter() {
    if (m_process.state() == QProcess::NotRunning)
        return;
    m_process.terminate();
    if (!m_process.waitForFinished(waitLimitMs)) {
        m_process.kill();
        m_process.waitForFinished(waitLimitMs);
    }
}

int KeyringPrompter::promptsShown() {
    m_output += m_process.readAllStandardOutput();
    return static_cast<int>(m_output.count("prompt "));
}

ToolRun secretTool(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("secret-tool"), arguments);
    process.closeWriteChannel();
    if (!process.waitForFinished(waitLimitMs)) {
        ADD_FAILURE() << "secret-tool did not finish";
        process.kill();
        process.waitForFinished();
        return {};
    }
    return {process.exitCode(), process.readAllStandardOutput()};
}

ToolRun lookUpWithSecretTool(const QString& account) {
    return secretTool({QStringLiteral("lookup"), QStringLiteral("service"),
                       QStringLiteral("net.vindaro.agent"), QStringLiteral("account"), account});
}

AgentSession sampleSession() {
    return AgentSession(QStringLiteral("wss://vindaro.net/ws"), QStringLiteral("session_123"),
                        QStringLiteral("agent_456"), QStringLiteral("tok-SESSION-7f3a9c"), 2);
}

AgentPairing samplePairing() {
    return AgentPairing::fromBundle(
        QStringLiteral("wss://vindaro.net/ws?region=th|ROOM_42|tok-LEGACY-51e0b2"));
}
