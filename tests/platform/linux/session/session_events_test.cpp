#include "keyboard/keyboard_executor.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/linux/session/linux_workspace_notifications.h"
#include "platform/linux/session/logind_listener.h"
#include "support/private_bus.h"
#include "support/qt_printers.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>
#include <QTest>

#include <gtest/gtest.h>

#include <optional>

using vindaro::KeyboardExecutor;
using vindaro::KeyDirection;
using vindaro::LinuxWorkspaceNotifications;
using vindaro::LogindListener;
using vindaro::RecordingKeyPoster;
using vindaro::test::eventually;

namespace {

const int waitLimitMs =
    static_cast<int>(std::chrono::milliseconds(vindaro::test::patience).count());

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

    // The agent's side, once logind has named its session.
    void startAgent() {
        agentSystemBus = systemBus.connect(QStringLiteral("agent"));
        agentSessionBus = sessionBus.connect(QStringLiteral("agent"));
        // A lock's notices count as one however slowly this machine passes them on.
        notifications.emplace(agentSystemBus, agentSessionBus, std::chrono::hours(1));
        ASSERT_TRUE(eventually([&] { return notifications->logind().sessionPath() == ourSession; }))
            << notifications->logind().sessionPath().toStdString();
    }

    // Returns once every signal sent to the agent so far has been delivered: a bus answers the
    // agent's own call only after what it routed to the agent before.
    void settle() {
        for (QDBusConnection* bus : {&agentSystemBus, &agentSessionBus}) {
            const QDBusMessage reply =
                bus->call(QDBusMessage::createMethodCall(QStringLiteral("org.freedesktop.DBus"),
                                                         QStringLiteral("/org/freedesktop/DBus"),
                                                         QStringLiteral("org.freedesktop.DBus"),
                                                         QStringLiteral("GetId")),
                          QDBus::Block, waitLimitMs);
            EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage);
        }
        QCoreApplication::processEvents();
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

    // What and who each inhibitor that logind holds is for, and its mode.
    QStringList inhibitors() {
        const QDBusMessage reply =
            systemClient.call(QDBusMessage::createMethodCall(login1, managerPath, managerInterface,
                                                             QStringLiteral("ListInhibitors")),
                              QDBus::Block, waitLimitMs);
        QStringList listed;
        const auto list = reply.arguments().value(0).value<QDBusArgument>();
        list.beginArray();
        while (!list.atEnd()) {
            QString what, who, why, mode;
            quint32 uid = 0, pid = 0;
            list.beginStructure();
            list >> what >> who >> why >> mode >> uid >> pid;
            list.endStructure();
            listed << QStringList{what, who, mode}.join(u' ');
        }
        list.endArray();
        return listed;
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
    QDBusConnection agentSystemBus{QString()};
    QDBusConnection agentSessionBus{QString()};
    std::optional<LinuxWorkspaceNotifications> notifications;
};

} // namespace

TEST_F(SessionSignals, SleepAndEachLockOfThisSessionAreReportedOnce) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    ASSERT_NO_FATAL_FAILURE(startScreenSavers());
    ASSERT_NO_FATAL_FAILURE(startAgent());
    int sleeps = 0;
    int locks = 0;
    notifications->observe({[&] { ++sleeps; }, [&] { ++locks; }});

    emitFromLogind(QStringLiteral("PrepareForSleep"), {true});
    emitFromLogind(QStringLiteral("PrepareForSleep"), {false}); // waking up
    lockSession(otherSession);
    settle();
    EXPECT_EQ(sleeps, 1);
    EXPECT_EQ(locks, 0);

    // Asking logind to lock makes the screen savers lock as well: one lock, three notices.
    lockSession(ourSession);
    settle();
    setGnomeSaverActive(true);
    setFreedesktopSaverActive(true);
    settle();
    EXPECT_EQ(locks, 1);

    // After an unlock, from either side, the next lock counts again however soon it comes, and
    // each source is heard on its own.
    setGnomeSaverActive(false);
    settle();
    setFreedesktopSaverActive(true);
    settle();
    EXPECT_EQ(locks, 2);
    lockSession(ourSession, QStringLiteral("Unlock"));
    settle();
    setGnomeSaverActive(true);
    settle();
    EXPECT_EQ(locks, 3);
    EXPECT_EQ(sleeps, 1);
}

TEST_F(SessionSignals, SignalsFromAnyoneButTheOwnersAreIgnored) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    ASSERT_NO_FATAL_FAILURE(startScreenSavers());
    ASSERT_NO_FATAL_FAILURE(startAgent());
    int events = 0;
    notifications->observe({[&] { ++events; }, [&] { ++events; }});

    intrude(systemClient, agentSystemBus.baseService(), managerPath, managerInterface,
            QStringLiteral("PrepareForSleep"), {true});
    intrude(systemClient, agentSystemBus.baseService(), ourSession, sessionInterface,
            QStringLiteral("Lock"), {});
    for (const QString& name : {gnomeSaver, freedesktopSaver})
        intrude(sessionClient, agentSessionBus.baseService(), QStringLiteral("/ScreenSaver"), name,
                QStringLiteral("ActiveChanged"), {true});
    settle();
    EXPECT_EQ(events, 0);

    emitFromLogind(QStringLiteral("PrepareForSleep"), {true});
    settle();
    EXPECT_EQ(events, 1);
}

// logind waits for the agent before the machine sleeps: the keys come up while it still holds
// the agent's inhibitor, which is given back then and taken again after the wake-up.
TEST_F(SessionSignals, SleepWaitsUntilEveryKeyIsUp) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    ASSERT_NO_FATAL_FAILURE(startAgent());
    const QStringList held{QStringLiteral("sleep Vindaro Agent delay")};
    ASSERT_TRUE(eventually([&] { return inhibitors() == held; }));

    RecordingKeyPoster poster;
    KeyboardExecutor executor(poster);
    ASSERT_TRUE(executor.enqueue("SPACE", 49, 1, 60000, "test"));
    ASSERT_EQ(poster.waitForEvents(1, std::chrono::milliseconds(waitLimitMs)).size(), 1U);
    QStringList heldAtKeyUp;
    notifications->observe({[&] {
                                executor.cancelAll();
                                heldAtKeyUp = inhibitors();
                            },
                            {}});

    emitFromLogind(QStringLiteral("PrepareForSleep"), {true});
    EXPECT_TRUE(eventually([&] { return inhibitors().isEmpty(); }));
    EXPECT_EQ(heldAtKeyUp, held);
    EXPECT_TRUE(poster.heldKeys().empty());
    EXPECT_EQ(poster.events().at(1).direction, KeyDirection::up);

    emitFromLogind(QStringLiteral("PrepareForSleep"), {false});
    EXPECT_TRUE(eventually([&] { return inhibitors() == held; }));
}

TEST_F(SessionSignals, LogindFindsTheUsersSessionWhenTheProcessIsInNone) {
    ASSERT_NO_FATAL_FAILURE(startLogind(false));
    LogindListener listener(systemBus.connect(QStringLiteral("agent")));
    // The mock names "auto" literally; the real logind answers with the user's own session.
    const QString autoSession = QStringLiteral("/org/freedesktop/login1/session/auto");
    EXPECT_TRUE(eventually([&] { return listener.sessionPath() == autoSession; }))
        << listener.sessionPath().toStdString();
}

// Until logind has said which session is ours, no session's lock is taken for ours.
TEST_F(SessionSignals, NoLockCountsWhileOurSessionIsUnknown) {
    ASSERT_NO_FATAL_FAILURE(startLogind(false));
    mock(systemClient, login1, managerPath, QStringLiteral("AddMethod"),
         {managerInterface, QStringLiteral("GetSession"), QStringLiteral("s"), QStringLiteral("o"),
          QStringLiteral("raise dbus.exceptions.DBusException('none', "
                         "name='org.freedesktop.login1.NoSuchSession')")});
    agentSystemBus = systemBus.connect(QStringLiteral("agent"));
    agentSessionBus = sessionBus.connect(QStringLiteral("agent"));
    notifications.emplace(agentSystemBus, agentSessionBus, std::chrono::hours(1));
    int sleeps = 0;
    int locks = 0;
    notifications->observe({[&] { ++sleeps; }, [&] { ++locks; }});
    lockSession(otherSession);
    lockSession(ourSession);
    emitFromLogind(QStringLiteral("PrepareForSleep"), {true});
    settle();
    EXPECT_EQ(sleeps, 1);
    EXPECT_EQ(locks, 0);
    EXPECT_TRUE(notifications->logind().sessionPath().isEmpty());
}
