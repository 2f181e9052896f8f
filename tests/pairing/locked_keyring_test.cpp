// A locked keyring whose prompt a person answers late or refuses: locked is "could not read",
// never "nothing stored". (gnome-keyring 42 aborts when a prompt is dismissed before its
// prompter answered, so each case runs in a session of its own under CTest.)

#include "credential_fixture.h"
#include "support/loop_lateness.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace vindaro::test;
using Person = KeyringPrompter::Person;

namespace {

const QString sessionToken = QStringLiteral("agent-token-v2");
const QString installId = QStringLiteral("install-id-v2");

class LockedKeyring : public ::testing::Test {
protected:
    void SetUp() override {
        ASSERT_EQ(credentials.save(sampleSession()), QStringLiteral("(done)"));
        storedId = credentials.installationId();
        lockKeyring();
    }

    // Far shorter than a person takes: an open prompt must not count as silence.
    Credentials credentials{1500ms};
    QString storedId;
};

// Clearing, too, unlocks first and then removes the token for real.
TEST_F(LockedKeyring, APromptAnsweredAfterEightSecondsGivesTheValueWhileTheLoopRunsOn) {
    KeyringPrompter person(Person::answers, 8s);
    ASSERT_TRUE(person.isReady());
    const LoopLateness lateness;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(credentials.installationId(), storedId);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 8s);
    EXPECT_LT(lateness.percentile99(), 50ms) << lateness.ticks() << " ticks";
    const vindaro::SessionStore::Load loaded = credentials.loadSession();
    ASSERT_TRUE(loaded.value());
    EXPECT_EQ(*loaded.value(), sampleSession());

    lockKeyring();
    EXPECT_EQ(credentials.clearSession(), QStringLiteral("(done)"));
    EXPECT_EQ(person.promptsShown(), 2);
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_FALSE(credentials.settingsFileText().contains("vindaro.agent.v2"));
    EXPECT_EQ(lookUpWithSecretTool(installId).output, storedId.toUtf8());
}

// Nothing stored is replaced, written beside a token the keyring did not take, or half cleared.
TEST_F(LockedKeyring, ARefusedPromptIsCouldNotReadOrWriteAndChangesNothing) {
    {
        KeyringPrompter person(Person::refuses, 200ms);
        ASSERT_TRUE(person.isReady());
        expectEveryOperationFails(credentials);
        EXPECT_EQ(credentials.set(QStringLiteral("other"), installId),
                  QStringLiteral("(keychainWrite)"));
        EXPECT_GE(person.promptsShown(), 5);
    }
    const KeyringPrompter person(Person::answers, 0ms);
    EXPECT_EQ(credentials.installationId(), storedId);
    EXPECT_EQ(credentials.get(sessionToken), sampleSession().token());
}

} // namespace
