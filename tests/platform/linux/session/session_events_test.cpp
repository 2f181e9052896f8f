#include "platform/linux/session/linux_workspace_notifications.h"
#include "platform/linux/session/logind_listener.h"
#include "platform/linux/session/screen_saver_listener.h"
#include "support/private_bus.h"
#include "support/qt_printers.h"

#include <QCoreApplication>
#include <QDBusMessage>
#include <QSignalSpy>
#include <QTest>

#include <gtest/gtest.h>

using vindaro::LinuxWorkspaceNotifications;
using vindaro::LogindListener;
using vindaro::ScreenSaverListener;

namespace {

constexpr int waitLimitMs = 15000;

const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString managerInterface = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString ourSession = QStringLiteral("/org/freedesktop/login1/session/c1");
const QString otherSession = QStringLiteral("/org/freedesktop/login1/session/c2");
const QString gnomeSaver = QStringLiteral("org.gnome.ScreenSaver");
const QString freedesktopSaver = QStringLiteral("org.freedesktop.ScreenSaver");

// The Debian python3-dbusmock belongs to the system's own Python.
QStringList dbusmock(const QStringList& arguments) {
    return QStringList{QStringLiteral("/usr/bin/python3"), QStringLiteral("-m"),
                       QStringLiteral("dbusmock"), QStringLiteral("--session")} +
           arguments;
}

// Returns once every signal sent to the connection so far has been delivered: the bus answers
// the connection's own call only after what it routed to it before, in order.
void settle(QDBusConnection connection) {
    const QDBusMessage reply =
        connection.call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("/org/freedesktop/DBus"),
                                                       QStringLiteral("org.freedesktop.DBus"),
                                                       QStringLiteral("GetId")),
                        QDBus::Block, waitLimitMs);
    EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    QCoreApplication::processEvents();
}

// The real logind on a private "system" bus and the two screen savers on a private session
// bus, all played by python3-dbusmock; the test's own client, which owns none of their names,
// drives the mocks and also plays an intruder.
class SessionSignals : public ::testing::Test {
protected:
    void SetUp() override {
        for (PrivateBus* bus : {&systemBus, &sessionBus})
            ASSERT_FALSE(bus->address().isEmpty()) << bus->error().toStdString();
        systemClient = systemBus.connect(QStringLiteral("client"));
        sessionClient = sessionBus.connect(QStringLiteral("client"));
    }

    // logind with this process in session c1 and another user in session c2.
    void startLogind(bool answersByPid = true) {
        ASSERT_TRUE(systemBus.startService(
            dbusmock({QStringLiteral("--template"), QStringLiteral("logind")}), login1))
            << systemBus.error().toStdString();
        mock(systemClient, login1, managerPath, QStringLiteral("AddSession"),
             {QStringLiteral("c1"), QStringLiteral("seat0"), QVariant::fromValue(quint32{1000}),
              QStringLiteral("player"), true});
        mock(systemClient, login1, managerPath, QStringLiteral("AddSession"),
             {QStringLiteral("c2"), QStringLiteral("seat0"), QVariant::fromValue(quint32{1001}),
              QStringLiteral("other"), false});
        if (answersByPid)
            mock(systemClient, login1, managerPath, QStringLiteral("AddMethod"),
                 {managerInterface, QStringLiteral("GetSessionByPID"), QStringLiteral("u"),
                  QStringLiteral("o"), QStringLiteral("ret = '%1'").arg(ourSession)});
    }

    void startScreenSavers() {
        ASSERT_TRUE(sessionBus.startService(
            dbusmock({QStringLiteral("--template"), QStringLiteral("gnome_screensaver")}),
            gnomeSaver))
            << sessionBus.error().toStdString();
        ASSERT_TRUE(sessionBus.startService(
            dbusmock({freedesktopSaver, QStringLiteral("/ScreenSaver"), freedesktopSaver}),
            freedesktopSaver))
            << sessionBus.error().toStdString();
    }

    // Calls a method on a mock and waits for its answer.
    static void mock(QDBusConnection& client, const QString& service, const QString& path,
                     const QString& method, const QVariantList& arguments,
                     const QString& interface = QStringLiteral("org.freedesktop.DBus.Mock")) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
        call.setArguments(arguments);
        const QDBusMessage reply = client.call(call, QDBus::Block, waitLimitMs);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage)
            << method.toStdString() << ": " << reply.errorMessage().toStdString();
    }

    void emitFromLogind(const QString& name, const QVariantList& arguments) {
        mock(systemClient, login1, managerPath, QStringLiteral("EmitSignal"),
             {managerInterface, name, arguments.isEmpty() ? QString() : QStringLiteral("b"),
              QVariant(arguments)});
    }

    void lockSession(const QString& path, const QString& method = QStringLiteral("Lock")) {
        mock(systemClient, login1, path, method, {}, sessionInterface);
    }

    void setGnomeSaverActive(bool active) {
        mock(sessionClient, gnomeSaver, QStringLiteral("/org/gnome/ScreenSaver"),
             QStringLiteral("SetActive"), {active}, gnomeSaver);
    }

    void setFreedesktopSaverActive(bool active) {
        mock(sessionClient, freedesktopSaver, QStringLiteral("/ScreenSaver"),
             QStringLiteral("EmitSignal"),
             {freedesktopSaver, QStringLiteral("ActiveChanged"), QStringLiteral("b"),
              QVariant(QVariantList{active})});
    }

    // A signal sent by the test's client, which owns none of the names: to everyone, and
    // addressed to the listener alone.
    static void intrude(QDBusConnection& client, const QString& listener, const QString& path,
                        const QString& interface, const QString& name,
                        const QVariantList& arguments) {
        for (QDBusMessage signal :
             {QDBusMessage::createSignal(path, interface, name),
              QDBusMessage::createTargetedSignal(listener, path, interface, name)}) {
            signal.setArguments(arguments);
            EXPECT_TRUE(client.send(signal));
        }
    }

    PrivateBus systemBus;
    PrivateBus sessionBus;
    QDBusConnection systemClient{QString()};
    QDBusConnection sessionClient{QString()};
};

} // namespace

TEST_F(SessionSignals, LogindReportsSleepAndTheLockOfItsOwnSession) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    const QDBusConnection agentBus = systemBus.connect(QStringLiteral("agent"));
    LogindListener listener(agentBus);
    ASSERT_TRUE(QTest::qWaitFor([&] { return listener.sessionPath() == ourSession; }, waitLimitMs))
        << listener.sessionPath().toStdString();
    QSignalSpy sleeping(&listener, &LogindListener::preparingForSleep);
    QSignalSpy locked(&listener, &LogindListener::sessionLocked);
    QSignalSpy unlocked(&listener, &LogindListener::sessionUnlocked);

    emitFromLogind(QStringLiteral("PrepareForSleep"), {true});
    emitFromLogind(QStringLiteral("PrepareForSleep"), {false}); // waking up
    lockSession(ourSession);
    lockSession(otherSession);
    settle(agentBus);
    EXPECT_EQ(sleeping.size(), 1);
    EXPECT_EQ(locked.size(), 1);
    EXPECT_EQ(unlocked.size(), 0);

    lockSession(otherSession, QStringLiteral("Unlock"));
    lockSession(ourSession, QStringLiteral("Unlock"));
    settle(agentBus);
    EXPECT_EQ(unlocked.size(), 1);
    EXPECT_EQ(locked.size(), 1);
}

TEST_F(SessionSignals, LogindFindsTheUsersSessionWhenTheProcessIsInNone) {
    ASSERT_NO_FATAL_FAILURE(startLogind(false));
    LogindListener listener(systemBus.connect(QStringLiteral("agent")));
    // The mock names "auto" literally; the real logind answers with the user's own session.
    const QString autoSession = QStringLiteral("/org/freedesktop/login1/session/auto");
    EXPECT_TRUE(QTest::qWaitFor([&] { return listener.sessionPath() == autoSession; }, waitLimitMs))
        << listener.sessionPath().toStdString();
}

TEST_F(SessionSignals, LogindSignalsFromAnyoneElseAreIgnored) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    const QDBusConnection agentBus = systemBus.connect(QStringLiteral("agent"));
    LogindListener listener(agentBus);
    ASSERT_TRUE(QTest::qWaitFor([&] { return listener.sessionPath() == ourSession; }, waitLimitMs));
    QSignalSpy sleeping(&listener, &LogindListener::preparingForSleep);
    QSignalSpy locked(&listener, &LogindListener::sessionLocked);

    intrude(systemClient, agentBus.baseService(), managerPath, managerInterface,
            QStringLiteral("PrepareForSleep"), {true});
    intrude(systemClient, agentBus.baseService(), ourSession, sessionInterface,
            QStringLiteral("Lock"), {});
    settle(agentBus);
    EXPECT_EQ(sleeping.size(), 0);
    EXPECT_EQ(locked.size(), 0);

    // logind itself is still heard.
    emitFromLogind(QStringLiteral("PrepareForSleep"), {true});
    lockSession(ourSession);
    settle(agentBus);
    EXPECT_EQ(sleeping.size(), 1);
    EXPECT_EQ(locked.size(), 1);
}

TEST_F(SessionSignals, EitherScreenSaverReportsTheLockAndNobodyElse) {
    ASSERT_NO_FATAL_FAILURE(startScreenSavers());
    const QDBusConnection agentBus = sessionBus.connect(QStringLiteral("agent"));
    ScreenSaverListener listener(agentBus);
    QSignalSpy activated(&listener, &ScreenSaverListener::activated);
    QSignalSpy deactivated(&listener, &ScreenSaverListener::deactivated);

    for (const QString& name : {gnomeSaver, freedesktopSaver})
        intrude(sessionClient, agentBus.baseService(), QStringLiteral("/ScreenSaver"), name,
                QStringLiteral("ActiveChanged"), {true});
    settle(agentBus);
    EXPECT_EQ(activated.size(), 0);

    setGnomeSaverActive(true);
    settle(agentBus);
    EXPECT_EQ(activated.size(), 1);
    setGnomeSaverActive(false);
    setFreedesktopSaverActive(true);
    settle(agentBus);
    EXPECT_EQ(deactivated.size(), 1);
    EXPECT_EQ(activated.size(), 2);
}

TEST_F(SessionSignals, OneLockIsReportedOnceAndEverySleepEachTime) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    ASSERT_NO_FATAL_FAILURE(startScreenSavers());
    const QDBusConnection agentSystemBus = systemBus.connect(QStringLiteral("agent"));
    const QDBusConnection agentSessionBus = sessionBus.connect(QStringLiteral("agent"));
    LinuxWorkspaceNotifications notifications(agentSystemBus, agentSessionBus);
    ASSERT_TRUE(QTest::qWaitFor([&] { return notifications.logind().sessionPath() == ourSession; },
                                waitLimitMs));
    int sleeps = 0;
    int locks = 0;
    notifications.observe({[&] { ++sleeps; }, [&] { ++locks; }});
    const auto settleBoth = [&] {
        settle(agentSystemBus);
        settle(agentSessionBus);
    };

    // Asking logind to lock makes the screen saver lock as well: one lock, three notices.
    lockSession(ourSession);
    setGnomeSaverActive(true);
    setFreedesktopSaverActive(true);
    settleBoth();
    EXPECT_EQ(locks, 1);

    // After an unlock the next lock counts again, however soon.
    setGnomeSaverActive(false);
    settleBoth();
    lockSession(ourSession);
    settleBoth();
    EXPECT_EQ(locks, 2);

    emitFromLogind(QStringLiteral("PrepareForSleep"), {true});
    emitFromLogind(QStringLiteral("PrepareForSleep"), {true});
    settleBoth();
    EXPECT_EQ(sleeps, 2);
}

TEST(LinuxWorkspaceNotifications, WithoutBusesNoEventEverComes) {
    const QDBusConnection none(QStringLiteral("vindaro-no-such-bus"));
    ASSERT_FALSE(none.isConnected());
    LinuxWorkspaceNotifications notifications(none, none);
    notifications.observe({[] { ADD_FAILURE(); }, [] { ADD_FAILURE(); }});
    EXPECT_TRUE(notifications.logind().sessionPath().isEmpty());
}
