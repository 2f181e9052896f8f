#pragma once

#include <QDBusConnection>

#include <sys/resource.h>

#include <chrono>

namespace vindaro {

// How the calling thread came to run with real-time priority, if it did.
enum class RealtimeGrant { none, direct, rtkit };

// Real-time round-robin scheduling for the calling thread at a modest priority, the way desktop
// audio threads get it, so that a busy machine cannot stretch a key's hold: directly where the
// process may (RLIMIT_RTPRIO, or privileges), otherwise through rtkit on the system bus. The
// thread stays as it was when neither works; nothing is reported, as the agent works all the
// same, only with less exact timing under load. Call it on the thread itself; it may wait for
// rtkit, for at most rtkitTimeout per call.
RealtimeGrant makeCurrentThreadRealtime();

// The highest priority up to `wanted` that an unprivileged thread may take under RLIMIT_RTPRIO
// `limit`: a limit below the priority asked still gives real-time scheduling, at the limit.
int priorityWithinLimit(int wanted, rlim_t limit);

// The rtkit step alone: asks the RealtimeKit1 service on the bus to raise the calling thread.
// rtkit only raises threads whose RLIMIT_RTTIME is within its own bound, so the process's limit
// is lowered to that bound first.
bool makeCurrentThreadRealtimeThroughRtkit(
    const QDBusConnection& systemBus,
    std::chrono::milliseconds rtkitTimeout = std::chrono::milliseconds(1000));

} // namespace vindaro
