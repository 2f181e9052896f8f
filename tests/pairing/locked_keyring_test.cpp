// A keyring that is locked, on a desktop whose unlock prompt never answers: the calls that need
// the prompt must still give the main thread back in time. (gnome-keyring 42 aborts when the
// prompt is dismissed while its prompter has not answered, a fault of its own; so each case
// runs in a session of its own under CTest.)
#include "credential_fixture.h"
#include "pairing/keychain_error.h"
#include "support/qt_printers.h"
#include "support/silent_dbus_name.h"

#include <QDBusInterface>
#include <QDBusObjectPath>

#include <gtest/gtest.h>

#include <memory>

using namespace std::chrono_literals;

namespace {

// A shorter limit than the agent's keeps the tests quick; the mechanism is the same.
constexpr auto limit = 1500ms;
constexpr auto bound = limit + 1s;

class LockedKeyring : public ::testing::Test {
protected:
    void SetUp() override {
        credentials.keychain.set(QStringLiteral("stored-before-locking"), account);
        QDBusInterface secrets(QStringLiteral("org.freedesktop.secrets"),
                               QStringLiteral("/org/freedesktop/secrets"),
                               QStringLiteral("org.freedesktop.Secret.Service"));
        const QDBusMessage reply =
            secrets.call(QStringLiteral("Lock"),
                         QVariant::fromValue(QList<QDBusObjectPath>{QDBusObjectPath(
                             QStringLiteral("/org/freedesktop/secrets/collection/login"))}));
        ASSERT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
        prompter =
            std::make_unique<SilentDBusName>(QStringLiteral("org.gnome.keyring.SystemPrompter"));
        ASSERT_TRUE(prompter->isOwned());
    }

    const QString account = QStringLiteral("agent-token-v2");
    Credentials credentials{limit};
    std::unique_ptr<SilentDBusName> prompter;
};

TEST_F(LockedKeyring, AReadThatNeedsAnUnansweredPromptIsAbsentInTime) {
    EXPECT_LT(timed([&] { EXPECT_EQ(credentials.keychain.get(account), std::nullopt); }), bound);
}

TEST_F(LockedKeyring, AWriteThatNeedsAnUnansweredPromptFailsInTime) {
    EXPECT_LT(timed([&] {
                  EXPECT_THROW(credentials.keychain.set(QStringLiteral("new-value"), account),
                               vindaro::KeychainError);
              }),
              bound);
}

} // namespace
