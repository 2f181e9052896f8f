// The controller on a real gnome-keyring whose keyring is locked, with a person at its unlock
// prompt (tests/support/fake-prompter), each test in a private session of its own.
#include "agent_test_fixture.h"
#include "pairing/credential_fixture.h"
#include "support/loop_lateness.h"
#include "support/qt_printers.h"

namespace vindaro::test {
namespace {

using Person = KeyringPrompter::Person;

struct RealCredentials {
    SecretServiceStore keyring{2s};
    SettingsUserDefaults settingsFile;
};

class LockedKeyringAgentTest : protected RealCredentials, public AgentTest {
protected:
    LockedKeyringAgentTest()
        : AgentTest(50ms, keyring, settingsFile) {}

    void SetUp() override {
        store(sampleSession());
        const auto id = answerOf<StorageResult<QString>>(
            [&](auto done) { InstallationIdentity(keychain).loadOrCreate(done); });
        ASSERT_TRUE(id.value());
        installId = *id.value();
        lockKeyring();
    }

    QString installId;
};

TEST_F(LockedKeyringAgentTest, TheWindowStaysLiveWhileThePromptWaitsEightSecondsThenItConnects) {
    KeyringPrompter person(Person::answers, 8s);
    ASSERT_TRUE(person.isReady());
    const LoopLateness lateness;
    agent.applicationDidFinishLaunching(view);
    ASSERT_TRUE(eventually([&] { return !view.log.isEmpty(); }));
    EXPECT_LT(lateness.percentile99(), 50ms) << lateness.ticks() << " ticks";
    EXPECT_GT(lateness.ticks(), 100u);
    EXPECT_EQ(person.promptsShown(), 1);
    EXPECT_EQ(view.log, QStringList{QStringLiteral("พบการจับคู่เครื่องนี้แล้ว กดเชื่อมต่อเพื่อใช้งานต่อ")});

    agent.connectTapped();
    ASSERT_TRUE(eventually([&] { return view.connection == connected; }));
    EXPECT_EQ(relay.requests().first().header("authorization"), "Bearer " + sampleToken.toUtf8());
}

TEST_F(LockedKeyringAgentTest, TheInstallationIdSurvivesARefusedPromptAndClearSaysWhatItDid) {
    {
        const KeyringPrompter person(Person::refuses, 0s);
        ASSERT_TRUE(person.isReady());
        launch();
        EXPECT_EQ(view.log,
                  QStringList{QStringLiteral("อ่าน Keychain ไม่ได้ — ปลดล็อก Keychain แล้วกดเชื่อมต่อ")});
        view.input = QStringLiteral("123456");
        agent.connectTapped();
        settle();
        EXPECT_EQ(view.alerts, QStringList{QStringLiteral("บันทึกข้อมูลใน Keychain ไม่สำเร็จ")});
        EXPECT_EQ(pairingService.requests().size(), 0);

        view.log.clear();
        agent.clearTapped();
        settle();
        EXPECT_EQ(view.log.last(), QStringLiteral("ล้างการจับคู่จาก Keychain ไม่สำเร็จ — "
                                                  "ลบข้อมูลจาก Keychain ไม่สำเร็จ"));
        EXPECT_TRUE(settingsFile.contains(QStringLiteral("vindaro.agent.v2.session-id")));
    }
    const KeyringPrompter person(Person::answers, 0s);
    agent.clearTapped();
    settle();
    EXPECT_EQ(view.log.last(),
              QStringLiteral("ล้างการจับคู่และ Token จาก Keychain แล้ว (คงรหัสติดตั้งเครื่องไว้)"));
    EXPECT_NE(lookUpWithSecretTool(QStringLiteral("agent-token-v2")).exitCode, 0);
    EXPECT_FALSE(settingsFile.contains(QStringLiteral("vindaro.agent.v2.session-id")));
    EXPECT_EQ(lookUpWithSecretTool(QStringLiteral("install-id-v2")).output, installId.toUtf8());
}

} // namespace
} // namespace vindaro::test
