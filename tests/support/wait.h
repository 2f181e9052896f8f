#pragma once

#include <QCoreApplication>
#include <QDeadlineTimer>
#include <QTimer>

#include <chrono>
#include <functional>

namespace vindaro::test {

// The one limit every test waits with. A passing run never comes near it; it only bounds how
// long a failing one takes on a machine busy with other builds.
inline constexpr std::chrono::seconds patience{30};

// Runs the event loop until the condition holds; false when patience ran out first. Looks every
// millisecond, since a worker thread's progress wakes no event loop. A shorter limit only for a
// condition that may rightly never hold.
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
