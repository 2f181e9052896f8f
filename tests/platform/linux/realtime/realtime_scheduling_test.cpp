#include "platform/linux/realtime/realtime_scheduling.h"
#include "support/private_bus.h"

#include <QDBusMessage>
#include <QDBusVariant>

#include <gtest/gtest.h>

#include <thread>

#include <sched.h>
#include <sys/resource.h>

using vindaro::makeCurrentThreadRealtimeThroughRtkit;

namespace {

struct Outcome {
    bool granted = false;
    int policy = -1;
    int priority = -1;
    rlim_t rtTimeLimit = 0;
};

// Asks on a thread of its own, so that whatever it is granted ends with it.
Outcome askOnAThread(const QDBusConnection& bus) {
    Outcome outcome;
    std::thread([&] {
        outcome.granted = makeCurrentThreadRealtimeThroughRtkit(bus);
        outcome.policy = sched_getscheduler(0) & ~SCHED_RESET_ON_FORK;
        sched_param parameter{};
        sched_getparam(0, &parameter);
        outcome.priority = parameter.sched_priority;
        rlimit limit{};
        getrlimit(RLIMIT_RTTIME, &limit);
        outcome.rtTimeLimit = limit.rlim_cur;
    }).join();
    return outcome;
}

} // namespace

// rtkit, played by python3-dbusmock, does what the real one does with the thread id it is
// given: so the thread that asked is the one raised, within rtkit's bounds.
TEST(RealtimeScheduling, RtkitRaisesTheThreadThatAsksWithinItsBounds) {
    PrivateBus bus;
    ASSERT_FALSE(bus.address().isEmpty()) << bus.error().toStdString();
    QDBusConnection agent = bus.connect(QStringLiteral("agent"));

    const Outcome without = askOnAThread(agent);
    EXPECT_FALSE(without.granted);
    EXPECT_EQ(without.policy, SCHED_OTHER);

    const QString rtkit = QStringLiteral("org.freedesktop.RealtimeKit1");
    const QString path = QStringLiteral("/org/freedesktop/RealtimeKit1");
    ASSERT_TRUE(bus.startService({QStringLiteral("/usr/bin/python3"), QStringLiteral("-m"),
                                  QStringLiteral("dbusmock"), QStringLiteral("--system"), rtkit,
                                  path, rtkit},
                                 rtkit))
        << bus.error().toStdString();
    QDBusConnection client = bus.connect(QStringLiteral("client"));
    const auto mock = [&](const QString& method, const QVariantList& arguments) {
        QDBusMessage call = QDBusMessage::createMethodCall(
            rtkit, path, QStringLiteral("org.freedesktop.DBus.Mock"), method);
        call.setArguments(arguments);
        const QDBusMessage reply = client.call(call);
        EXPECT_EQ(reply.type(), QDBusMessage::ReplyMessage) << reply.errorMessage().toStdString();
    };
    mock(QStringLiteral("AddProperty"),
         {rtkit, QStringLiteral("MaxRealtimePriority"), QVariant::fromValue(QDBusVariant(3))});
    mock(QStringLiteral("AddProperty"), {rtkit, QStringLiteral("RTTimeUSecMax"),
                                         QVariant::fromValue(QDBusVariant(qlonglong(200000)))});
    mock(QStringLiteral("AddMethod"),
         {rtkit, QStringLiteral("MakeThreadRealtime"), QStringLiteral("tu"), QString(),
          QStringLiteral("import os; os.sched_setscheduler(args[0], os.SCHED_RR, "
                         "os.sched_param(args[1]))")});

    const Outcome with = askOnAThread(agent);
    EXPECT_TRUE(with.granted);
    EXPECT_EQ(with.policy, SCHED_RR);
    EXPECT_EQ(with.priority, 3);
    EXPECT_EQ(with.rtTimeLimit, rlim_t{200000});
}
