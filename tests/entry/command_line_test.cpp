// Runs the real executable, as a user or a script would. The connection test against a relay is
// in tests/relay, where a fake service can stand in for vindaro.net.
#include "support/qt_printers.h"

#include <QProcess>

#include <gtest/gtest.h>

namespace {

struct Outcome {
    QByteArray out;
    int status = -1;
};

// inputFile, when set, replaces the input; closeInput false leaves the input open after it.
Outcome runAgent(const QStringList& arguments, const QByteArray& input, bool closeInput = true,
                 const QString& inputFile = {}) {
    QProcess agent;
    if (!inputFile.isEmpty())
        agent.setStandardInputFile(inputFile);
    agent.start(QStringLiteral(VINDARO_AGENT_PATH), arguments);
    EXPECT_TRUE(agent.waitForStarted());
    agent.write(input);
    if (closeInput)
        agent.closeWriteChannel();
    EXPECT_TRUE(agent.waitForFinished(30000));
    return {agent.readAllStandardOutput(), agent.exitCode()};
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

// The bundle rules have tests of their own; here, that any refusal, an empty first line and
// input that is no text at all end the same way.
TEST(CommandLine, ConnectionTestRefusesEveryUnusableBundleAlike) {
    for (const QByteArray& input : {
             QByteArray(), QByteArray("\nwss://vindaro.net/ws|ROOM|TOKEN123\n"),
             QByteArray("ws://vindaro.net/ws|ROOM|TOKEN123\n"),
             QByteArray("wss://vindaro.net/ws|ROOM\n"), QByteArray("\xff\xfe|\x00|\x80\n", 8),
             QByteArray(3 << 20, '|'), // far longer than any bundle
         }) {
        const Outcome outcome = runAgent({QStringLiteral("--connection-test")}, input);
        EXPECT_EQ(outcome.out, QByteArray("CONNECTION_TEST_INVALID_BUNDLE\n"))
            << input.left(60).toStdString();
        EXPECT_EQ(outcome.status, 2);
    }
}

// A line that never ends is refused once it is longer than any bundle, without waiting for the
// rest of it.
TEST(CommandLine, ConnectionTestAnswersAnEndlessLineWithoutReadingItAll) {
    for (const bool endless : {false, true}) {
        const Outcome outcome = endless ? runAgent({QStringLiteral("--connection-test")}, {}, true,
                                                   QStringLiteral("/dev/zero"))
                                        : runAgent({QStringLiteral("--connection-test")},
                                                   QByteArray(3 << 20, 'a'), false);
        EXPECT_EQ(outcome.out, QByteArray("CONNECTION_TEST_INVALID_BUNDLE\n")) << endless;
        EXPECT_EQ(outcome.status, 2) << endless;
    }
}
