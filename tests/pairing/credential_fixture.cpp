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

std::optional<QByteArray> lookUpWithSecretTool(const QString& account) {
    QProcess process;
    process.start(QStringLiteral("secret-tool"),
                  {QStringLiteral("lookup"), QStringLiteral("service"),
                   QStringLiteral("net.vindaro.agent"), QStringLiteral("account"), account});
    process.closeWriteChannel();
    EXPECT_TRUE(process.waitForFinished(30000)) << "secret-tool did not finish";
    if (process.exitCode() != 0)
        return std::nullopt;
    return process.readAllStandardOutput();
}
