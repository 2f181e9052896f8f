// Runs the real executable, as a user or a script would.
#include "support/qt_printers.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    QByteArray out;
    int status = -1;
};

Outcome runAgent(const QStringList& arguments, const QByteArray& input,
                 const QStringList& launcher = {}) {
    QProcess agent;
    const QStringList command =
        launcher + QStringList{QStringLiteral(VINDARO_AGENT_PATH)} + arguments;
    agent.start(command.first(), command.mid(1));
    EXPECT_TRUE(agent.waitForStarted());
    agent.write(input);
    agent.closeWriteChannel();
    EXPECT_TRUE(agent.waitForFinished(30000));
    return {agent.readAllStandardOutput(), agent.exitCode()};
}

Outcome connectionTest(const QByteArray& input) {
    return runAgent({QStringLiteral("--connection-test")}, input);
}

} // namespace

TEST(CommandLine, SelfTestPrintsOkAndWinsOverTheConnectionTest) {
    for (const QStringList& args :
         {QStringList{QStringLiteral("--self-test")},
          QStringList{QStringLiteral("--connection-test"), QStringLiteral("--self-test")}}) {
        const Outcome outcome = runAgent(args, "wss://vindaro.net/ws|ROOM|TOKEN123\n");
        EXPECT_EQ(outcome.out, QByteArray("SELF_TEST_OK\n"));
        EXPECT_EQ(outcome.status, 0);
    }
}

TEST(CommandLine, ConnectionTestRefusesEveryUnusableBundleAlike) {
    for (const QByteArray& input : {
             QByteArray(), QByteArray("\n"), QByteArray("ws://vindaro.net/ws|ROOM|TOKEN123\n"),
             QByteArray("wss://example.com/ws|ROOM|TOKEN123\n"),
             QByteArray("wss://vindaro.net:8443/ws|ROOM|TOKEN123\n"),
             QByteArray("wss://vindaro.net/ws|ROOM\n"), QByteArray("\xff\xfe|\x00|\x80\n", 8),
             QByteArray(3 << 20, '|'), // far longer than any bundle
         }) {
        const Outcome outcome = connectionTest(input);
        EXPECT_EQ(outcome.out, QByteArray("CONNECTION_TEST_INVALID_BUNDLE\n"))
            << input.left(60).toStdString();
        EXPECT_EQ(outcome.status, 2);
    }
}

TEST(CommandLine, ConnectionTestReadsOnlyTheFirstLineAndStripsCrLf) {
    // A valid first line is probed, whatever follows it; a bad second line does not matter. The
    // probe runs in a network namespace of its own, so it never reaches the real service.
    const QStringList offline = {QStringLiteral("unshare"), QStringLiteral("--net"),
                                 QStringLiteral("--")};
    for (const QByteArray& input : {QByteArray("wss://vindaro.net/ws|ROOM|TOKEN123\r\n"),
                                    QByteArray("wss://vindaro.net/ws|ROOM|TOKEN123\ngarbage\n"),
                                    QByteArray("wss://vindaro.net/ws|ROOM|TOKEN123")}) {
        const Outcome outcome = runAgent({QStringLiteral("--connection-test")}, input, offline);
        EXPECT_NE(outcome.status, 2) << input.toStdString();
        EXPECT_TRUE(outcome.out == "CONNECTION_TEST_OK\n" ||
                    outcome.out == "CONNECTION_TEST_FAILED\n");
    }
    EXPECT_EQ(connectionTest("\nwss://vindaro.net/ws|ROOM|TOKEN123\n").status, 2);
}
