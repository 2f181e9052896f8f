// The credential stores on a desktop without a working Secret Service: a private bus where
// nothing serves it and nothing can be started to (see tests/support/private-session), and the
// same bus with a service that never answers. Neither is ever "nothing stored".
#include "credential_fixture.h"
#include "support/loop_lateness.h"
#include "support/qt_printers.h"
#include "support/silent_dbus_name.h"

#include <gtest/gtest.h>

using namespace std::chrono_literals;

namespace {

const QString sessionToken = QStringLiteral("agent-token-v2");
const QString keychainWrite = QStringLiteral("(keychainWrite)");
const QString keychainRead = QStringLiteral("(keychainRead)");
const QString keychainRemove = QStringLiteral("(keychainRemove)");

// A session's settings, whose token the missing keyring would hold.
void storeSessionSettings(vindaro::UserDefaults& defaults) {
    for (const auto& [key, value] :
         {std::pair{"ws-url", "wss://vindaro.net/ws"}, std::pair{"session-id", "session_123"},
          std::pair{"agent-id", "agent_456"}, std::pair{"protocol", "2"}})
        defaults.setString(QStringLiteral("vindaro.agent.v2.") + QLatin1String(key),
                           QLatin1String(value));
    ASSERT_TRUE(defaults.flush());
}

// Every operation, as the user's actions reach them: all fail, none claims nothing is stored,
// and none writes settings or leaves them half cleared.
void expectEveryOperationFails(Credentials& credentials) {
    storeSessionSettings(credentials.defaults);
    const QByteArray settings = credentials.settingsFileText();

    EXPECT_EQ(credentials.get(sessionToken), keychainRead);
    const vindaro::SessionStore::Load session = credentials.loadSession();
    ASSERT_TRUE(session.error());
    EXPECT_EQ(shown(*session.error()), keychainRead);
    EXPECT_EQ(credentials.installationId(), keychainWrite);
    EXPECT_EQ(credentials.set(QStringLiteral("value"), sessionToken), keychainWrite);
    EXPECT_EQ(credentials.save(samplePairing()), keychainWrite);
    EXPECT_EQ(credentials.clearSession(), keychainRemove);
    EXPECT_EQ(credentials.settingsFileText(), settings);
}

TEST(NoSecretService, EveryOperationFailsAndNoneSaysNothingIsStored) {
    Credentials credentials;
    expectEveryOperationFails(credentials);
}

TEST(SilentSecretService, EveryOperationFailsAfterTheSilenceLimitWhileTheLoopRunsOn) {
    const SilentDBusName service(QStringLiteral("org.freedesktop.secrets"));
    ASSERT_TRUE(service.isOwned());
    Credentials credentials(1s);
    const LoopLateness lateness;
    const auto start = std::chrono::steady_clock::now();

    expectEveryOperationFails(credentials);
    // Six operations, one limit each at most (two for the saves that read first).
    EXPECT_LT(std::chrono::steady_clock::now() - start, 8 * 1s + 4s);
    EXPECT_LT(lateness.percentile99(), 50ms) << lateness.ticks() << " ticks";
}

} // namespace
