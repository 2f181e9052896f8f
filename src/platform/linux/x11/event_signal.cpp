#include "event_signal.h"

#include <sys/eventfd.h>
#include <unistd.h>

#include <cstdint>

namespace vindaro {

EventSignal::EventSignal()
    : m_fd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

EventSignal::~EventSignal() {
    if (m_fd >= 0)
        close(m_fd);
}

void EventSignal::raise() {
    const std::uint64_t one = 1;
    if (m_fd >= 0)
        static_cast<void>(write(m_fd, &one, sizeof one));
}

void EventSignal::clear() {
    std::uint64_t count = 0;
    if (m_fd >= 0)
        static_cast<void>(read(m_fd, &count, sizeof count));
}

} // namespace vindaro
