// The credential stores on a desktop without a working Secret Service: a private bus where
// nothing serves it and nothing can be started to (see tests/support/private-session), and the
// same bus with a service that never answers. Neither is ever "nothing stored".
#include "credential_fixture.h"
#include "support/loop_lateness.h"
#include "support/qt_printers.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace vindaro::test;

namespace {

// Every operation, as the user's actions reach them: all fail, none claims nothing is stored,
// and none writes settings or leaves them half cleared.
void expectEveryOperationFails(Credentials& credentials) {
    for (const auto& [key, value] :
         {std::pair{"ws-url", "wss://vindaro.net/ws"}, std::pair{"session-id", "session_123"},
          std::pair{"agent-id", "agent_456"}, std::pair{"protocol", "2"}})
        credentials.defaults.setString(QStringLiteral("vindaro.agent.v2.") + QLatin1String(key),
                                       QLatin1String(value));
    ASSERT_TRUE(credentials.defaults.flush());
    const QByteArray settings = credentials.settingsFileText();

    EXPECT_EQ(credentials.get(QStringLiteral("agent-token-v2")), QStringLiteral("(keychainRead)"));
    const vindaro::SessionStore::Load session = credentials.loadSession();
    ASSERT_TRUE(session.error());
    EXPECT_EQ(shown(*session.error()), QStringLiteral("(keychainRead)"));
    EXPECT_EQ(credentials.installationId(), QStringLiteral("(keychainWrite)"));
    EXPECT_EQ(credentials.save(samplePairing()), QStringLiteral("(keychainWrite)"));
    EXPECT_EQ(credentials.clearSession(), QStringLiteral("(keychainRemove)"));
    EXPECT_EQ(credentials.settingsFileText(), settings);
}

TEST(NoSecretService, EveryOperationFailsAndNoneSaysNothingIsStored) {
    Credentials credentials;
    expectEveryOperationFails(credentials);
}

// Owns the Secret Service's name on a connection of its own and never answers anything: a
// service that has hung.
class Swallower : public QDBusVirtualObject {
public:
    QString introspect(const QString&) const override { return {}; }
    // Claims every message as handled, so no reply, not even an error, is ever sent.
    bool handleMessage(const QDBusMessage&, const QDBusConnection&) override { return true; }
};

TEST(SilentSecretService, EveryOperationFailsAfterTheSilenceLimitWhileTheLoopRunsOn) {
    Swallower swallower;
    QDBusConnection silent =
        QDBusConnection::connectToBus(QDBusConnection::SessionBus, QStringLiteral("silent"));
    ASSERT_TRUE(
        silent.registerVirtualObject(QStringLiteral("/"), &swallower, QDBusConnection::SubPath));
    ASSERT_TRUE(silent.registerService(QStringLiteral("org.freedesktop.secrets")));
    Credentials credentials(1s);
    const LoopLateness lateness;
    const auto start = std::chrono::steady_clock::now();

    expectEveryOperationFails(credentials);
    // Five operations, one limit each at most (two for the save that reads first).
    EXPECT_LT(std::chrono::steady_clock::now() - start, 6 * 1s + 4s);
    EXPECT_LT(lateness.percentile99(), 50ms) << lateness.ticks() << " ticks";
    silent.unregisterObject(QStringLiteral("/"), QDBusConnection::UnregisterTree);
    QDBusConnection::disconnectFromBus(silent.name());
}

} // namespace
