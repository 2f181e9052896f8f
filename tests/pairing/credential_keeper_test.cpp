// The keeper of the agent's credentials over a keyring and settings in memory: its flows' order,
// what it holds while they wait, and the one report each ends with.
#include "pairing/credential_keeper.h"
#include "platform/fake/memory_secret_store.h"
#include "platform/fake/memory_user_defaults.h"
#include "support/qt_printers.h"
#include "support/samples.h"
#include "support/wait.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace vindaro;
using namespace vindaro::test;
using Refusal = MemorySecretStore::Refusal;

namespace {

class CredentialKeeperTest : public ::testing::Test {
protected:
    CredentialKeeperTest() { listen(keeper); }

    // Each report as "flow[ failed]: what is stored".
    void listen(CredentialKeeper& someKeeper) {
        someKeeper.setListener(
            {[this](const CredentialKeeper::Report& report) {
                 static const char* const flows[] = {"restore", "save session", "save legacy",
                                                     "clear"};
                 static const char* const stored[] = {"nothing", "session", "legacy", "unknown"};
                 reports.push_back(std::string(flows[static_cast<int>(report.flow)]) +
                                   (report.error ? " failed: " : ": ") +
                                   stored[static_cast<int>(report.stored)]);
             },
             {}});
    }
    void settle(const CredentialKeeper& someKeeper) {
        ASSERT_TRUE(eventually([&] { return !someKeeper.isBusy(); }));
    }
    // What the next run of the agent finds.
    std::optional<AgentSession> sessionNextRun() {
        CredentialKeeper next(secrets, defaults);
        next.restore(false, {});
        settle(next);
        return next.session();
    }

    MemorySecretStore secrets;
    MemoryUserDefaults defaults;
    CredentialKeeper keeper{secrets, defaults, 20ms};
    std::vector<std::string> reports;
};

const AgentSession newer(QStringLiteral("wss://vindaro.net/ws"), QStringLiteral("session_999"),
                         QStringLiteral("agent_999"), QStringLiteral("tok-NEWER-000"), 2);

TEST_F(CredentialKeeperTest, FlowsRunOneAtATimeInOrderAndWhatIsHeldFollowsOnlyConfirmedStorage) {
    secrets.holdAnswers(true);
    keeper.save(sampleSession(), {});
    keeper.clear({});
    keeper.save(samplePairing(), {});
    secrets.answerHeld(); // the former token is read; the new one waits to be written
    EXPECT_EQ(secrets.heldCalls(), 1);
    EXPECT_FALSE(keeper.session());
    EXPECT_TRUE(keeper.isBusy());
    secrets.holdAnswers(false);
    secrets.answerHeld();
    settle(keeper);
    EXPECT_EQ(reports, (std::vector<std::string>{"save session: session", "clear: nothing",
                                                 "save legacy: legacy"}));
    EXPECT_EQ(keeper.pairing(), samplePairing());

    // What could not be removed stays held.
    secrets.setRefusal(Refusal::everything);
    keeper.clear({});
    settle(keeper);
    EXPECT_EQ(reports.back(), "clear failed: legacy");
    EXPECT_EQ(keeper.pairing(), samplePairing());
}

// A write the keyring still completes after the agent stopped waiting for it must not leave the
// new token beside the former session's settings.
TEST_F(CredentialKeeperTest, ASaveLeavesTheFormerSessionOrTheNewOneWholeNeverAMix) {
    keeper.save(sampleSession(), {});
    settle(keeper);
    secrets.setRefusal(Refusal::writesLandButFail);
    std::optional<StorageError> answer;
    keeper.save(newer, [&](const std::optional<StorageError>& error) { answer = error; });
    settle(keeper);
    ASSERT_TRUE(answer);
    EXPECT_EQ(answer->kind(), StorageError::Kind::keychainWrite);
    EXPECT_EQ(reports.back(), "save session failed: session");
    EXPECT_EQ(keeper.session(), sampleSession());
    secrets.setRefusal(Refusal::none);
    EXPECT_EQ(sessionNextRun(), sampleSession());
    keeper.save(newer, {});
    settle(keeper);
    EXPECT_EQ(sessionNextRun(), newer);
}

// The desktop may start the agent before its Secret Service.
TEST_F(CredentialKeeperTest, AtStartUpAMissingSecretServiceIsAskedOnceMoreThenCouldNotRead) {
    keeper.save(sampleSession(), {});
    settle(keeper);
    reports.clear();
    secrets.setRefusal(Refusal::noService);
    for (const bool atStartUp : {false, true}) {
        CredentialKeeper started(secrets, defaults, 20ms);
        listen(started);
        started.restore(atStartUp, {});
        settle(started);
        EXPECT_FALSE(started.session());
        EXPECT_TRUE(started.needsReading());
    }
    CredentialKeeper started(secrets, defaults, 20ms);
    listen(started);
    secrets.holdAnswers(true);
    started.restore(true, {});
    secrets.answerHeld();
    secrets.setRefusal(Refusal::none);
    secrets.holdAnswers(false);
    settle(started);
    EXPECT_EQ(started.session(), sampleSession());
    EXPECT_EQ(reports, (std::vector<std::string>{"restore failed: unknown",
                                                 "restore failed: unknown", "restore: session"}));
}

} // namespace
