// The credential stores without a working Secret Service: none on the private bus, one that
// never answers, or one whose only collection is locked. None is ever "nothing stored".
#include "credential_fixture.h"
#include "support/loop_lateness.h"
#include "support/qt_printers.h"

#include <QDBusConnection>
#include <QDBusVirtualObject>
#include <QProcess>

#include <gtest/gtest.h>

using namespace std::chrono_literals;
using namespace vindaro::test;

namespace {

// Told apart from a refusal: start-up asks such a keyring once more.
TEST(NoSecretService, EveryOperationFailsAndNoneSaysNothingIsStored) {
    Credentials credentials;
    expectEveryOperationFails(credentials);
    EXPECT_EQ(answerOf<vindaro::SecretOutcome>([&](auto done) {
                  credentials.secrets.lookup(QStringLiteral("net.vindaro.agent"),
                                             QStringLiteral("agent-token-v2"), done);
              }).status(),
              vindaro::SecretOutcome::Status::unavailable);
}

// A hung Secret Service: owns the name and never answers.

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

// A locked collection that shows no items until it is unlocked, as KeePassXC shows a locked
// database (tests/support/locked-secret-service), with a person who unlocks it or refuses. Of
// its two items the one changed last counts.
TEST(LockedCollection, IsUnlockedBeforeItCountsAsEmptyAndARefusalIsCouldNotRead) {
    for (const QString& person : {QStringLiteral("answer"), QStringLiteral("refuse")}) {
        QProcess vault;
        vault.setProcessChannelMode(QProcess::ForwardedErrorChannel);
        vault.start(QStringLiteral(VINDARO_LOCKED_SECRET_SERVICE),
                    {person, QStringLiteral("agent-token-v2=tok-OLDER-000@1"),
                     QStringLiteral("agent-token-v2=tok-LOCKED-123@2")});
        QByteArray said;
        ASSERT_TRUE(eventually([&] {
            said += vault.readAllStandardOutput();
            return said.contains("ready\n") || vault.state() == QProcess::NotRunning;
        }));
        ASSERT_TRUE(said.contains("ready\n"));
        Credentials credentials;
        const bool unlocks = person == QStringLiteral("answer");
        EXPECT_EQ(credentials.get(QStringLiteral("agent-token-v2")),
                  unlocks ? QStringLiteral("tok-LOCKED-123") : QStringLiteral("(keychainRead)"));
        EXPECT_EQ(credentials.get(QStringLiteral("agent-token")),
                  unlocks ? QStringLiteral("(absent)") : QStringLiteral("(keychainRead)"));
        vault.terminate();
        EXPECT_TRUE(vault.waitForFinished(30000));
    }
}

} // namespace
