#include "keyboard/keyboard_executor.h"
#include "platform/fake/recording_key_poster.h"
#include "platform/linux/realtime/realtime_scheduling.h"
#include "platform/linux/session/linux_workspace_notifications.h"
#include "platform/linux/session/logind_listener.h"
#include "support/private_bus.h"
#include "support/qt_printers.h"
#include "support/wait.h"

#include <QCoreApplication>
#include <QDBusArgument>
#include <QDBusMessage>

#include <gtest/gtest.h>

#include <unistd.h>

#include <future>
#include <optional>

using vindaro::KeyDirection;
using vindaro::test::eventually;

namespace {

const int waitLimitMs =
    static_cast<int>(std::chrono::milliseconds(vindaro::test::patience).count());

const QString login1 = QStringLiteral("org.freedesktop.login1");
const QString managerPath = QStringLiteral("/org/freedesktop/login1");
const QString manager = QStringLiteral("org.freedesktop.login1.Manager");
const QString sessionInterface = QStringLiteral("org.freedesktop.login1.Session");
const QString ourSession = QStringLiteral("/org/freedesktop/login1/session/c1");
const QString otherSession = QStringLiteral("/org/freedesktop/login1/session/c2");
const QString gnomeSaver = QStringLiteral("org.gnome.ScreenSaver");
const QString freedesktopSaver = QStringLiteral("org.freedesktop.ScreenSaver");
const QString dbusMock = QStringLiteral("org.freedesktop.DBus.Mock");

// logind (python3-dbusmock) on a private "system" bus, the two screen savers on a private session
// bus; the test's client, which owns none of their names, drives the mock and plays an intruder.
class SessionSignals : public ::testing::Test {
protected:
    void SetUp() override {
        for (PrivateBus* bus : {&systemBus, &sessionBus})
            ASSERT_FALSE(bus->address().isEmpty()) << bus->error().toStdString();
        systemClient = systemBus.connect(QStringLiteral("client"));
        sessionClient = sessionBus.connect(QStringLiteral("client"));
    }

    // This process in session c1, another user in c2; `byPid` false: logind cannot name ours.
    void startLogind(bool byPid = true) {
        // The Debian python3-dbusmock belongs to the system's own Python.
        ASSERT_TRUE(systemBus.startService(
            {QStringLiteral("/usr/bin/python3"), QStringLiteral("-m"), QStringLiteral("dbusmock"),
             QStringLiteral("--session"), QStringLiteral("--template"), QStringLiteral("logind")},
            login1))
            << systemBus.error().toStdString();
        for (const auto& [id, uid, user] :
             {std::tuple{"c1", 1000U, "player"}, std::tuple{"c2", 1001U, "other"}})
            mock(systemClient, login1, managerPath, QStringLiteral("AddSession"),
                 {QLatin1String(id), QStringLiteral("seat0"), QVariant::fromValue(uid),
                  QLatin1String(user), uid == 1000U});
        if (byPid)
            mock(systemClient, login1, managerPath, QStringLiteral("AddMethod"),
                 {manager, QStringLiteral("GetSessionByPID"), QStringLiteral("u"),
                  QStringLiteral("o"), QStringLiteral("ret = '%1'").arg(ourSession)});
    }

    void startAgent() {
        agentSystemBus = systemBus.connect(QStringLiteral("agent"));
        agentSessionBus = sessionBus.connect(QStringLiteral("agent"));
        // A lock's notices count as one however slowly this machine passes them on.
        notifications.emplace(agentSystemBus, agentSessionBus, std::chrono::hours(1));
        notifications->observe({[this] { ++sleeps; }, [this] { ++locks; }});
    }

    // Every signal sent to the agent so far is delivered before the bus answers its own call.
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

    // The screen savers: a connection of the test's own owns both names and sends their signal.
    void startScreenSavers() {
        saver = sessionBus.connect(QStringLiteral("saver"));
        for (const QString& name : {gnomeSaver, freedesktopSaver})
            ASSERT_TRUE(saver.registerService(name)) << name.toStdString();
    }
    void setSaverActive(const QString& name, bool active) {
        QDBusMessage signal = QDBusMessage::createSignal(QStringLiteral("/ScreenSaver"), name,
                                                         QStringLiteral("ActiveChanged"));
        EXPECT_TRUE(saver.send(signal << active));
    }

    static QDBusMessage mock(QDBusConnection& client, const QString& service, const QString& path,
                             const QString& method, const QVariantList& arguments,
                             const QString& interface = dbusMock) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
        call.setArguments(arguments);
        const QDBusMessage reply = client.call(call, QDBus::Block, waitLimitMs);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage)
            << method.toStdString() << ": " << reply.errorMessage().toStdString();
        return reply;
    }

    void prepareForSleep(bool starting) {
        mock(systemClient, login1, managerPath, QStringLiteral("EmitSignal"),
             {manager, QStringLiteral("PrepareForSleep"), QStringLiteral("b"),
              QVariant(QVariantList{starting})});
    }
    void lockSession(const QString& path, const QString& method = QStringLiteral("Lock")) {
        mock(systemClient, login1, path, method, {}, sessionInterface);
    }
    // What and who each inhibitor that logind holds is for, and its mode.
    QStringList inhibitors() {
        const auto list =
            mock(systemClient, login1, managerPath, QStringLiteral("ListInhibitors"), {}, manager)
                .arguments()
                .value(0)
                .value<QDBusArgument>();
        QStringList listed;
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

    // A signal from the test's client, which owns none of the names: broadcast, and targeted.
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
    QDBusConnection saver{QString()};
    QDBusConnection agentSystemBus{QString()};
    QDBusConnection agentSessionBus{QString()};
    std::optional<vindaro::LinuxWorkspaceNotifications> notifications;
    int sleeps = 0;
    int locks = 0;
};

} // namespace

// Signals from anyone but the names' owners are ignored, and so is another session's lock.
TEST_F(SessionSignals, SleepAndEachLockOfThisSessionAreReportedOnce) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    ASSERT_NO_FATAL_FAILURE(startScreenSavers());
    ASSERT_NO_FATAL_FAILURE(startAgent());
    ASSERT_TRUE(eventually([&] { return notifications->logind().sessionPath() == ourSession; }));

    intrude(systemClient, agentSystemBus.baseService(), managerPath, manager,
            QStringLiteral("PrepareForSleep"), {true});
    intrude(systemClient, agentSystemBus.baseService(), ourSession, sessionInterface,
            QStringLiteral("Lock"), {});
    for (const QString& name : {gnomeSaver, freedesktopSaver})
        intrude(sessionClient, agentSessionBus.baseService(), QStringLiteral("/ScreenSaver"), name,
                QStringLiteral("ActiveChanged"), {true});
    prepareForSleep(true);
    prepareForSleep(false); // waking up
    lockSession(otherSession);
    settle();
    EXPECT_EQ(sleeps, 1);
    EXPECT_EQ(locks, 0);

    // Asking logind to lock makes the screen savers lock as well: one lock, three notices.
    lockSession(ourSession);
    settle();
    setSaverActive(gnomeSaver, true);
    setSaverActive(freedesktopSaver, true);
    settle();
    EXPECT_EQ(locks, 1);

    // After an unlock, from either side, the next lock counts again however soon it comes.

    setSaverActive(gnomeSaver, false);
    settle();
    setSaverActive(freedesktopSaver, true);
    settle();
    EXPECT_EQ(locks, 2);
    lockSession(ourSession, QStringLiteral("Unlock"));
    settle();
    setSaverActive(gnomeSaver, true);
    settle();
    EXPECT_EQ(locks, 3);
    EXPECT_EQ(sleeps, 1);
}

// The keys come up while logind still holds the agent's inhibitor, taken again after wake-up.
TEST_F(SessionSignals, SleepWaitsUntilEveryKeyIsUp) {
    ASSERT_NO_FATAL_FAILURE(startLogind());
    ASSERT_NO_FATAL_FAILURE(startAgent());
    const QStringList held{QStringLiteral("sleep Vindaro Agent delay")};
    ASSERT_TRUE(eventually([&] { return inhibitors() == held; }));

    vindaro::RecordingKeyPoster poster;
    vindaro::KeyboardExecutor executor(poster);
    QStringList heldAtKeyUp;
    notifications->observe({[&] {
                                executor.cancelAll();
                                heldAtKeyUp = inhibitors();
                            },
                            {}});
    ASSERT_TRUE(executor.enqueue("SPACE", 49, 1, 60000, "test"));
    ASSERT_EQ(poster.waitForEvents(1, std::chrono::milliseconds(waitLimitMs)).size(), 1U);
    prepareForSleep(true);
    EXPECT_TRUE(eventually([&] { return inhibitors().isEmpty(); }));
    EXPECT_EQ(heldAtKeyUp, held);
    EXPECT_TRUE(poster.heldKeys().empty());
    EXPECT_EQ(poster.events().at(1).direction, KeyDirection::up);
    prepareForSleep(false);
    EXPECT_TRUE(eventually([&] { return inhibitors() == held; }));
}

// No lock counts until logind names our session; outside any, a process asks for "auto".

TEST_F(SessionSignals, NoLockCountsWhileOurSessionIsUnknown) {
    ASSERT_NO_FATAL_FAILURE(startLogind(false));
    vindaro::LogindListener listener(systemBus.connect(QStringLiteral("auto")));
    EXPECT_TRUE(eventually([&] {
        return listener.sessionPath() == QStringLiteral("/org/freedesktop/login1/session/auto");
    })) << listener.sessionPath().toStdString();

    mock(systemClient, login1, managerPath, QStringLiteral("AddMethod"),
         {manager, QStringLiteral("GetSession"), QStringLiteral("s"), QStringLiteral("o"),
          QStringLiteral("raise dbus.exceptions.DBusException('none', "
                         "name='org.freedesktop.login1.NoSuchSession')")});
    ASSERT_NO_FATAL_FAILURE(startAgent());
    lockSession(otherSession);
    lockSession(ourSession);
    prepareForSleep(true);
    settle();
    EXPECT_EQ(sleeps, 1);
    EXPECT_EQ(locks, 0);
    EXPECT_TRUE(notifications->logind().sessionPath().isEmpty());
}

// rtkit (python3-dbusmock, refusing any other thread) raises the calling thread.
class RealtimeScheduling : public SessionSignals {};

TEST_F(RealtimeScheduling, RaisesTheCallingThreadThroughRtkitAndUpToTheLimitDirectly) {
    EXPECT_EQ(vindaro::priorityWithinLimit(10, 5), 5);
    EXPECT_EQ(vindaro::priorityWithinLimit(10, 0), 0);
    const QString rtkit = QStringLiteral("org.freedesktop.RealtimeKit1");
    const QString path = QStringLiteral("/org/freedesktop/RealtimeKit1");
    ASSERT_TRUE(systemBus.startService({QStringLiteral("/usr/bin/python3"), QStringLiteral("-m"),
                                        QStringLiteral("dbusmock"), QStringLiteral("--session"),
                                        rtkit, path, rtkit},
                                       rtkit))
        << systemBus.error().toStdString();
    mock(systemClient, rtkit, path, QStringLiteral("AddProperties"),
         {rtkit, QVariantMap{{QStringLiteral("MaxRealtimePriority"), 20},
                             {QStringLiteral("RTTimeUSecMax"), qlonglong(200000)}}});
    const auto onAnotherThread = [&] {
        mock(systemClient, rtkit, path, QStringLiteral("AddMethod"),
             {rtkit, QStringLiteral("MakeThreadRealtime"), QStringLiteral("tu"), QString(),
              QStringLiteral("if args != [%1, 10]: raise dbus.exceptions.DBusException("
                             "'not this thread', name='org.freedesktop.DBus.Error.AccessDenied')")
                  .arg(gettid())});
        return vindaro::makeCurrentThreadRealtimeThroughRtkit(
            systemBus.connect(QStringLiteral("agent")));
    };
    EXPECT_TRUE(std::async(std::launch::async, onAnotherThread).get());
}
