#include "credential_fixture.h"

#include <QFile>
#include <QProcess>

#include <gtest/gtest.h>

QByteArray Credentials::settingsFileText() const {
    QFile file(defaults.fileName());
    if (!file.open(QIODevice::ReadOnly))
        return {};
    return file.readAll();
}

ToolRun secretTool(const QStringList& arguments) {
    QProcess process;
    process.start(QStringLiteral("secret-tool"), arguments);
    process.closeWriteChannel();
    if (!process.waitForFinished(30000)) {
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

vindaro::AgentSession sampleSession() {
    return vindaro::AgentSession(QStringLiteral("wss://vindaro.net/ws"),
                                 QStringLiteral("session_123"), QStringLiteral("agent_456"),
                                 QStringLiteral("tok-SESSION-7f3a9c"), 2);
}

vindaro::AgentPairing samplePairing() {
    return vindaro::AgentPairing::fromBundle(
        QStringLiteral("wss://vindaro.net/ws?region=th|ROOM_42|tok-LEGACY-51e0b2"));
}
