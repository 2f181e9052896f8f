#include "realtime_scheduling.h"

#include <QDBusMessage>
#include <QDBusVariant>

#include <algorithm>

#include <sched.h>
#include <sys/resource.h>
#include <unistd.h>

namespace vindaro {

namespace {

// High enough to run before every ordinary process, low enough to leave the audio threads
// (which rtkit gives up to 20) and the kernel's own ahead of it.
constexpr int wantedPriority = 10;
constexpr int schedulingPolicy = SCHED_RR | SCHED_RESET_ON_FORK;

const QString rtkitService = QStringLiteral("org.freedesktop.RealtimeKit1");
const QString rtkitPath = QStringLiteral("/org/freedesktop/RealtimeKit1");

bool setCurrentThreadPriority(int priority) {
    const sched_param parameter{.sched_priority = priority};
    // On Linux, 0 is the calling thread, not the whole process.
    return sched_setscheduler(0, schedulingPolicy, &parameter) == 0;
}

bool makeRealtimeDirectly() {
    if (setCurrentThreadPriority(wantedPriority))
        return true;
    rlimit limit{};
    if (getrlimit(RLIMIT_RTPRIO, &limit) != 0)
        return false;
    const int allowed = priorityWithinLimit(wantedPriority, limit.rlim_cur);
    return allowed > 0 && allowed < wantedPriority && setCurrentThreadPriority(allowed);
}

// One of rtkit's properties; nothing when it cannot be read.
QVariant rtkitProperty(const QDBusConnection& bus, const QString& name, int timeoutMs) {
    QDBusMessage call = QDBusMessage::createMethodCall(
        rtkitService, rtkitPath, QStringLiteral("org.freedesktop.DBus.Properties"),
        QStringLiteral("Get"));
    call << rtkitService << name;
    const QDBusMessage reply = bus.call(call, QDBus::Block, timeoutMs);
    if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty())
        return {};
    return reply.arguments().first().value<QDBusVariant>().variant();
}

} // namespace

int priorityWithinLimit(int wanted, rlim_t limit) {
    return limit == RLIM_INFINITY ? wanted : static_cast<int>(std::min<rlim_t>(limit, wanted));
}

bool makeCurrentThreadRealtimeThroughRtkit(const QDBusConnection& systemBus,
                                           std::chrono::milliseconds rtkitTimeout) {
    if (!systemBus.isConnected())
        return false;
    const int timeoutMs = static_cast<int>(rtkitTimeout.count());
    bool known = false;
    const int maxPriority =
        rtkitProperty(systemBus, QStringLiteral("MaxRealtimePriority"), timeoutMs).toInt(&known);
    if (!known || maxPriority < 1)
        return false;
    const qlonglong maxRtTimeUs =
        rtkitProperty(systemBus, QStringLiteral("RTTimeUSecMax"), timeoutMs).toLongLong(&known);
    if (!known || maxRtTimeUs < 1)
        return false;

    // rtkit refuses a thread that could hold a core for longer than its bound without blocking.
    rlimit rtTime{};
    if (getrlimit(RLIMIT_RTTIME, &rtTime) != 0)
        return false;
    const auto bound = static_cast<rlim_t>(maxRtTimeUs);
    if (rtTime.rlim_max == RLIM_INFINITY || rtTime.rlim_max > bound) {
        rtTime = {bound, bound};
        if (setrlimit(RLIMIT_RTTIME, &rtTime) != 0)
            return false;
    }

    QDBusMessage call = QDBusMessage::createMethodCall(rtkitService, rtkitPath, rtkitService,
                                                       QStringLiteral("MakeThreadRealtime"));
    call << static_cast<qulonglong>(gettid())
         << static_cast<uint>(std::min(wantedPriority, maxPriority));
    return systemBus.call(call, QDBus::Block, timeoutMs).type() == QDBusMessage::ReplyMessage;
}

RealtimeGrant makeCurrentThreadRealtime() {
    if (makeRealtimeDirectly())
        return RealtimeGrant::direct;
    if (makeCurrentThreadRealtimeThroughRtkit(QDBusConnection::systemBus()))
        return RealtimeGrant::rtkit;
    return RealtimeGrant::none;
}

} // namespace vindaro
