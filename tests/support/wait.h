#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <chrono>
#include <functional>

namespace vindaro::test {

// The one limit every test waits with; it only bounds how long a failing run takes.
inline constexpr std::chrono::seconds patience{30};

// Runs the event loop until the condition holds, false when the limit ran out first; looks every
// millisecond, since a worker thread's progress wakes no event loop.

inline bool eventually(const std::function<bool()>& condition,
                       std::chrono::milliseconds limit = patience) {
    QTimer tick;
    tick.start(1);
    const QDeadlineTimer deadline(limit);
    while (!condition()) {
        if (deadline.hasExpired())
            return false;
        QCoreApplication::processEvents(QEventLoop::WaitForMoreEvents);
        QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
    }
    return true;
}

} // namespace vindaro::test
