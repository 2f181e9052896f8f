// A locked keyring, unlocked through the desktop's prompt, which a person answers late, refuses,
// or closes. The prompt takes as long as the person does while the event loop runs on; and a
// keyring that stays locked is "could not read", never "nothing stored". (gnome-keyring 42
// aborts when a prompt is dismissed while its prompter has not answered, a fault of its own; so
// each case runs in a session of its own under CTest.)
#include "credential_fixture.h"
#include "support/loop_lateness.h"
#include "support/qt_printers.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;
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

TEST_F(LockedKeyring, APromptAnsweredAfterEightSecondsGivesTheValueWhileTheLoopRunsOn) {
    const KeyringPrompter person(Person::answers, 8s);
    ASSERT_TRUE(person.isReady());
    const LoopLateness lateness;
    const auto start = std::chrono::steady_clock::now();

    EXPECT_EQ(credentials.installationId(), storedId);
    EXPECT_GE(std::chrono::steady_clock::now() - start, 8s);
    EXPECT_LT(lateness.percentile99(), 50ms) << lateness.ticks() << " ticks";
    const vindaro::SessionStore::Load loaded = credentials.loadSession();
    ASSERT_TRUE(loaded.value());
    EXPECT_EQ(*loaded.value(), sampleSession());
}

TEST_F(LockedKeyring, ARefusedPromptIsCouldNotReadAndNothingStoredIsReplacedOrLeftHalfCleared) {
    {
        KeyringPrompter person(Person::refuses, 200ms);
        ASSERT_TRUE(person.isReady());
        EXPECT_EQ(credentials.get(sessionToken), QStringLiteral("(keychainRead)"));
        const vindaro::SessionStore::Load loaded = credentials.loadSession();
        ASSERT_TRUE(loaded.error());
        EXPECT_EQ(shown(*loaded.error()), QStringLiteral("(keychainRead)"));
        // The pairing is told the keychain failed; no new id takes the stored one's place.
        EXPECT_EQ(credentials.installationId(), QStringLiteral("(keychainWrite)"));
        EXPECT_EQ(credentials.set(QStringLiteral("other"), installId),
                  QStringLiteral("(keychainWrite)"));
        // Clearing says it could not, and the session stays whole.
        EXPECT_EQ(credentials.clearSession(), QStringLiteral("(keychainRemove)"));
        EXPECT_TRUE(credentials.settingsFileText().contains("vindaro.agent.v2.session-id"));
        EXPECT_GE(person.promptsShown(), 5);
    }
    const KeyringPrompter person(Person::answers, 0ms);
    EXPECT_EQ(credentials.installationId(), storedId);
    EXPECT_EQ(credentials.get(sessionToken), sampleSession().token());
}

TEST_F(LockedKeyring, AClosedPromptIsCouldNotRead) {
    KeyringPrompter person(Person::closesThePrompt, 200ms);
    ASSERT_TRUE(person.isReady());
    EXPECT_EQ(credentials.get(sessionToken), QStringLiteral("(keychainRead)"));
    EXPECT_EQ(person.promptsShown(), 1);
}

TEST_F(LockedKeyring, ClearingUnlocksFirstAndRemovesTheTokensForReal) {
    KeyringPrompter person(Person::answers, 500ms);
    ASSERT_TRUE(person.isReady());

    EXPECT_EQ(credentials.clearSession(), QStringLiteral("(done)"));
    EXPECT_EQ(person.promptsShown(), 1);
    EXPECT_NE(lookUpWithSecretTool(sessionToken).exitCode, 0);
    EXPECT_FALSE(credentials.settingsFileText().contains("vindaro.agent.v2"));
    EXPECT_EQ(lookUpWithSecretTool(installId).output, storedId.toUtf8());
}

} // namespace
