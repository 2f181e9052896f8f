// The credential stores on a desktop without a working Secret Service: a private bus where
// nothing serves it and nothing can be started to (see tests/support/private-session), and the
// same bus with a service that never answers.
#include "credential_fixture.h"
#include "pairing/keychain_error.h"
#include "support/qt_printers.h"
#include "support/silent_dbus_name.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const QString keychainMessage = QStringLiteral("บันทึกข้อมูลใน Keychain ไม่สำเร็จ");

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

TEST(NoSecretService, WritesFailWithTheKeychainMessageAndWriteNothingElse) {
    Credentials credentials;
    const auto elapsed = timed([&] {
        EXPECT_EQ(writeFailure([&] {
                      credentials.keychain.set(QStringLiteral("value"),
                                               QStringLiteral("agent-token-v2"));
                  }),
                  keychainMessage);
        EXPECT_EQ(writeFailure([&] { credentials.identity.loadOrCreate(); }), keychainMessage);
        EXPECT_EQ(writeFailure([&] { credentials.sessions.save(sampleSession()); }),
                  keychainMessage);
        EXPECT_EQ(writeFailure([&] { credentials.legacy.save(samplePairing()); }), keychainMessage);
    });
    EXPECT_LT(elapsed, 4 * callBound);
    // Neither a new session nor a new server and room went in without their token.
    EXPECT_FALSE(credentials.settingsFileText().contains("vindaro.agent"))
        << credentials.settingsFileText().toStdString();
}

TEST(NoSecretService, ReadsAreAbsentAndClearingSucceeds) {
    Credentials credentials;
    // A session's settings, whose token the missing keyring would hold.
    for (const auto& [key, value] :
         {std::pair{"ws-url", "wss://vindaro.net/ws"}, std::pair{"session-id", "session_123"},
          std::pair{"agent-id", "agent_456"}, std::pair{"protocol", "2"}})
        credentials.defaults.setString(QStringLiteral("vindaro.agent.v2.") + QLatin1String(key),
                                       QLatin1String(value));

    EXPECT_EQ(credentials.keychain.get(QStringLiteral("agent-token-v2")), std::nullopt);
    EXPECT_EQ(credentials.sessions.load(), std::nullopt);
    EXPECT_EQ(credentials.legacy.load(), std::nullopt);
    EXPECT_NO_THROW(credentials.sessions.clear());
    EXPECT_NO_THROW(credentials.legacy.clear());
    EXPECT_FALSE(credentials.settingsFileText().contains("vindaro.agent"));
}

TEST(SilentSecretService, NoCallHoldsTheMainThreadLongerThanFiveSeconds) {
    const SilentDBusName service(QStringLiteral("org.freedesktop.secrets"));
    ASSERT_TRUE(service.isOwned());
    Credentials credentials; // the agent's own limit

    EXPECT_LT(timed([&] {
                  EXPECT_EQ(writeFailure([&] {
                                credentials.keychain.set(QStringLiteral("value"),
                                                         QStringLiteral("agent-token-v2"));
                            }),
                            keychainMessage);
              }),
              callBound);
    EXPECT_LT(timed([&] {
                  EXPECT_EQ(credentials.keychain.get(QStringLiteral("agent-token-v2")),
                            std::nullopt);
              }),
              callBound);
    EXPECT_LT(timed([&] { credentials.keychain.remove(QStringLiteral("agent-token-v2")); }),
              callBound);
}

} // namespace
