// The credential stores on a desktop without a working Secret Service: a private bus where
// nothing serves it and nothing can be started to (see tests/support/private-session), and the
// same bus with a service that never answers.
#include "credential_fixture.h"
#include "pairing/keychain_error.h"
#include "support/samples.h"
#include "support/silent_dbus_name.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

// The main thread may be held for 5 s at most; the margin is for a busy scheduler only.
constexpr auto callBound = 5s + 1s;

QString writeFailure(const std::function<void()>& write) {
    try {
        write();
    } catch (const vindaro::KeychainError& error) {
        return error.description();
    }
    return QStringLiteral("(no error)");
}

} // namespace

TEST(NoSecretService, WritesFailWithTheKeychainMessageAndWriteNothingElse) {
    Credentials credentials;
    const QString message = QStringLiteral("บันทึกข้อมูลใน Keychain ไม่สำเร็จ");
    EXPECT_EQ(writeFailure([&] { credentials.identity.loadOrCreate(); }), message);
    EXPECT_EQ(writeFailure([&] { credentials.sessions.save(vindaro::test::sampleSession()); }),
              message);
    EXPECT_EQ(writeFailure([&] { credentials.legacy.save(vindaro::test::samplePairing()); }),
              message);
    // Neither a new session nor a new server and room went in without their token: not on
    // disk, and not waiting in memory to be written there.
    for (const char* key :
         {"vindaro.agent.v2.ws-url", "vindaro.agent.v2.session-id", "vindaro.agent.server"})
        EXPECT_FALSE(credentials.defaults.string(QString::fromLatin1(key))) << key;
    EXPECT_FALSE(credentials.settingsFileText().contains("vindaro.agent"));
    EXPECT_EQ(credentials.sessions.load(), std::nullopt);
    EXPECT_NO_THROW(credentials.sessions.clear());
}

TEST(SilentSecretService, NoCallHoldsTheMainThreadLongerThanFiveSeconds) {
    const SilentDBusName service(QStringLiteral("org.freedesktop.secrets"));
    ASSERT_TRUE(service.isOwned());
    Credentials credentials; // the agent's own limit
    const QString account = QStringLiteral("agent-token-v2");
    EXPECT_LT(timed([&] {
                  EXPECT_THROW(credentials.keychain.set(QStringLiteral("v"), account),
                               vindaro::KeychainError);
              }),
              callBound);
    EXPECT_LT(timed([&] { EXPECT_EQ(credentials.keychain.get(account), std::nullopt); }),
              callBound);
    EXPECT_LT(timed([&] { credentials.keychain.remove(account); }), callBound);
}
