#include "wayland_link.h"

#include <wayland-client.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

namespace vindaro {

namespace {

int millisecondsUntil(WaylandLink::Clock::time_point deadline) {
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(deadline - WaylandLink::Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

} // namespace

std::unique_ptr<WaylandLink> WaylandLink::connect(const std::string& displayName, Hooks hooks,
                                                  Clock::time_point deadline) {
    wl_display* display = wl_display_connect(displayName.empty() ? nullptr : displayName.c_str());
    if (display == nullptr)
        return nullptr;
    std::unique_ptr<WaylandLink> link(new WaylandLink(display, std::move(hooks)));
    if (link->m_wake < 0)
        return nullptr;
    static constexpr wl_registry_listener registryListener{
        [](void* data, wl_registry* registry, std::uint32_t name, const char* interface,
           std::uint32_t version) {
            auto* self = static_cast<WaylandLink*>(data);
            if (self->m_hooks.global)
                self->m_hooks.global(registry, name, interface, version);
        },
        [](void* data, wl_registry*, std::uint32_t name) {
            auto* self = static_cast<WaylandLink*>(data);
            if (self->m_hooks.globalRemoved)
                self->m_hooks.globalRemoved(name);
        }};
    link->m_registry = wl_display_get_registry(display);
    wl_registry_add_listener(link->m_registry, &registryListener, link.get());
    if (!link->roundTrip(deadline))
        return nullptr;
    return link;
}

WaylandLink::WaylandLink(wl_display* display, Hooks hooks)
    : m_display(display)
    , m_hooks(std::move(hooks))
    , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}

WaylandLink::~WaylandLink() {
    stopReading();
    for (wl_callback* callback : m_unanswered)
        wl_callback_destroy(callback);
    if (m_registry != nullptr)
        wl_registry_destroy(m_registry);
    wl_display_flush(m_display);
    wl_display_disconnect(m_display);
    if (m_wake >= 0)
        close(m_wake);
}

bool WaylandLink::roundTrip(Clock::time_point deadline) {
    bool done = false;
    wl_callback* callback = wl_display_sync(m_display);
    static constexpr wl_callback_listener doneListener{
        [](void* flag, wl_callback*, std::uint32_t) { *static_cast<bool*>(flag) = true; }};
    wl_callback_add_listener(callback, &doneListener, &done);
    for (;;) {
        if (wl_display_dispatch_pending(m_display) < 0 || done)
            break;
        if (wl_display_prepare_read(m_display) != 0)
            continue;
        pollfd socket{wl_display_get_fd(m_display), POLLIN, 0};
        if (wl_display_flush(m_display) < 0 && errno == EAGAIN)
            socket.events |= POLLOUT;
        const int ready = poll(&socket, 1, millisecondsUntil(deadline));
        if (ready > 0 && (socket.revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (wl_display_read_events(m_display) < 0)
                break;
        } else {
            wl_display_cancel_read(m_display);
            if (ready == 0 || (ready < 0 && errno != EINTR))
                break;
        }
    }
    // The answer may still come after a timeout; nothing must then write to `done`.
    wl_callback_destroy(callback);
    return done && wl_display_get_error(m_display) == 0;
}

void WaylandLink::startReading() {
    m_reader = std::thread([this] { read(); });
}

void WaylandLink::stopReading() {
    {
        std::scoped_lock lock(m_mutex);
        m_stopping = true;
    }
    if (m_reader.joinable()) {
        wakeReader();
        m_reader.join();
    }
}

void WaylandLink::answered(void* data, wl_callback* callback, std::uint32_t) {
    auto* self = static_cast<WaylandLink*>(data);
    // Answers come in the order the round trips were sent, so a count says which are done.
    ++self->m_answered;
    self->m_unanswered.erase(callback);
    wl_callback_destroy(callback);
    self->m_answeredChanged.notify_all();
}

bool WaylandLink::sendConfirmed(const std::function<bool()>& requests,
                                std::chrono::milliseconds limit) {
    std::unique_lock lock(m_mutex);
    if (!m_alive || m_stopping || !requests())
        return false;
    wl_callback* callback = wl_display_sync(m_display);
    if (callback == nullptr)
        return false;
    static constexpr wl_callback_listener answerListener{answered};
    wl_callback_add_listener(callback, &answerListener, this);
    m_unanswered.insert(callback);
    const std::uint64_t ticket = ++m_sent;
    if (wl_display_flush(m_display) < 0 && errno == EAGAIN)
        wakeReader(); // the reader sends the rest when the socket has room
    m_answeredChanged.wait_until(lock, Clock::now() + limit,
                                 [&] { return m_answered >= ticket || !m_alive; });
    return m_answered >= ticket;
}

bool WaylandLink::dispatchPending() {
    bool ok = false;
    {
        std::scoped_lock lock(m_mutex);
        ok = wl_display_dispatch_pending(m_display) >= 0;
    }
    if (m_hooks.afterEvents)
        m_hooks.afterEvents();
    return ok;
}

void WaylandLink::read() {
    for (;;) {
        {
            std::scoped_lock lock(m_mutex);
            if (m_stopping)
                return;
        }
        while (wl_display_prepare_read(m_display) != 0) {
            if (!dispatchPending())
                return end();
        }
        std::array<pollfd, 2> waitFor{pollfd{wl_display_get_fd(m_display), POLLIN, 0},
                                      pollfd{m_wake, POLLIN, 0}};
        if (wl_display_flush(m_display) < 0 && errno == EAGAIN)
            waitFor[0].events |= POLLOUT;
        const int ready = poll(waitFor.data(), waitFor.size(), -1);
        if (ready > 0 && (waitFor[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (wl_display_read_events(m_display) < 0)
                return end();
        } else {
            wl_display_cancel_read(m_display);
            if (ready < 0 && errno != EINTR)
                return end();
        }
        if ((waitFor[1].revents & POLLIN) != 0) {
            eventfd_t ignored = 0;
            eventfd_read(m_wake, &ignored);
        }
        if (!dispatchPending())
            return end();
    }
}

void WaylandLink::end() {
    {
        std::scoped_lock lock(m_mutex);
        m_alive = false;
        m_answeredChanged.notify_all();
    }
    if (m_hooks.gone)
        m_hooks.gone();
}

void WaylandLink::wakeReader() const {
    eventfd_write(m_wake, 1);
}

} // namespace vindaro
