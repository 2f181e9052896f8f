#include "kwin_window_focus.h"

#include "plasma-window-management-client-protocol.h"
#include "wayland_link.h"

#include <wayland-client.h>

#include <cstring>
#include <utility>

namespace vindaro {

namespace {

// Version 4 brought initial_state, which says a window's first description is whole, and the
// window's destructor.
constexpr std::uint32_t managementVersion = 4;
constexpr std::chrono::milliseconds answerTimeout{2000};

template <typename Object> Object& of(void* data) {
    return *static_cast<Object*>(data);
}

bool sameWindow(const KWinWindowFocus::Window& a, const KWinWindowFocus::Window& b) {
    return a.id == b.id;
}

} // namespace

struct KWinWindowFocus::Tracked {
    KWinWindowFocus* owner;
    Window window;
};

std::unique_ptr<KWinWindowFocus> KWinWindowFocus::connect(const std::string& displayName,
                                                          pid_t ownPid) {
    std::unique_ptr<KWinWindowFocus> focus(new KWinWindowFocus(ownPid));
    KWinWindowFocus* self = focus.get();
    self->m_link = WaylandLink::connect(
        displayName,
        {[self](wl_registry* registry, std::uint32_t name, const char* interface,
                std::uint32_t version) {
             if (self->m_manager == nullptr && version >= managementVersion &&
                 std::strcmp(interface, org_kde_plasma_window_management_interface.name) == 0) {
                 self->m_manager = static_cast<org_kde_plasma_window_management*>(
                     wl_registry_bind(registry, name, &org_kde_plasma_window_management_interface,
                                      managementVersion));
                 static constexpr org_kde_plasma_window_management_listener listener{
                     [](void*, org_kde_plasma_window_management*, std::uint32_t) {}, windowEvent,
                     [](void*, org_kde_plasma_window_management*, wl_array*) {},
                     [](void*, org_kde_plasma_window_management*, const char*) {},
                     [](void*, org_kde_plasma_window_management*, std::uint32_t, const char*) {}};
                 org_kde_plasma_window_management_add_listener(self->m_manager, &listener, self);
             }
         },
         // KWin does not withdraw it while it runs; if it did, the windows it knew would say
         // nothing more, as if KWin had gone.
         {},
         [self] { self->runDeferred(); },
         [self] { self->focusChanged(std::nullopt); }},
        WaylandLink::Clock::now() + answerTimeout);
    // Two round trips: the globals, then the windows KWin lists on binding with their states.
    if (!self->m_link || self->m_manager == nullptr ||
        !self->m_link->roundTrip(WaylandLink::Clock::now() + answerTimeout) ||
        !self->m_link->roundTrip(WaylandLink::Clock::now() + answerTimeout))
        return nullptr;
    self->m_leftPin = false;
    self->m_link->startReading();
    return focus;
}

KWinWindowFocus::KWinWindowFocus(pid_t ownPid)
    : m_ownPid(ownPid) {
    m_pinTimer.setSingleShot(true);
    QObject::connect(&m_pinTimer, &QTimer::timeout, &m_context, [this] {
        std::function<void()> timedOut;
        {
            std::scoped_lock lock(m_mutex);
            if (m_pin != Pin::waiting)
                return;
            m_pin = Pin::none;
            timedOut = m_handlers.pinTimedOut;
        }
        if (timedOut)
            timedOut();
    });
}

KWinWindowFocus::~KWinWindowFocus() {
    if (!m_link)
        return;
    m_link->stopReading();
    for (const auto& [proxy, tracked] : m_windows)
        org_kde_plasma_window_destroy(proxy);
    if (m_manager != nullptr)
        org_kde_plasma_window_management_destroy(m_manager);
}

void KWinWindowFocus::windowEvent(void* focus, org_kde_plasma_window_management* manager,
                                  std::uint32_t id) {
    auto* self = static_cast<KWinWindowFocus*>(focus);
    org_kde_plasma_window* proxy = org_kde_plasma_window_management_get_window(manager, id);
    if (proxy == nullptr)
        return;
    auto entry = std::make_unique<Tracked>(Tracked{self, {}});
    entry->window.id = self->m_nextId++;
    static constexpr org_kde_plasma_window_listener listener{
        [](void* data, org_kde_plasma_window*, const char* title) {
            of<Tracked>(data).window.title = QString::fromUtf8(title);
        },
        [](void* data, org_kde_plasma_window*, const char* appId) {
            of<Tracked>(data).window.appId = QString::fromUtf8(appId);
        },
        [](void* data, org_kde_plasma_window*, std::uint32_t flags) {
            Tracked& tracked = of<Tracked>(data);
            const bool active = (flags & ORG_KDE_PLASMA_WINDOW_MANAGEMENT_STATE_ACTIVE) != 0;
            if (active != tracked.window.active) {
                tracked.window.active = active;
                tracked.owner->changed(tracked);
            }
        },
        [](void*, org_kde_plasma_window*, std::int32_t) {},
        [](void*, org_kde_plasma_window*, const char*) {},
        [](void* data, org_kde_plasma_window*) {
            of<Tracked>(data).owner->closed(of<Tracked>(data));
        },
        [](void* data, org_kde_plasma_window*) {
            Tracked& tracked = of<Tracked>(data);
            tracked.window.described = true;
            tracked.owner->changed(tracked);
        },
        [](void*, org_kde_plasma_window*, org_kde_plasma_window*) {},
        [](void*, org_kde_plasma_window*, std::int32_t, std::int32_t, std::uint32_t,
           std::uint32_t) {},
        [](void*, org_kde_plasma_window*) {},
        [](void* data, org_kde_plasma_window*, std::uint32_t pid) {
            of<Tracked>(data).window.pid = pid;
        },
        // KWin 5.27 sends some of these to a version 4 client all the same.
        [](void*, org_kde_plasma_window*, const char*) {},
        [](void*, org_kde_plasma_window*, const char*) {},
        [](void*, org_kde_plasma_window*, const char*, const char*) {},
        [](void*, org_kde_plasma_window*, const char*) {},
        [](void*, org_kde_plasma_window*, const char*) {},
        [](void*, org_kde_plasma_window*, const char*) {}};
    org_kde_plasma_window_add_listener(proxy, &listener, entry.get());
    self->m_windows.emplace(proxy, std::move(entry));
}

void KWinWindowFocus::changed(Tracked& tracked) {
    const Window& window = tracked.window;
    if (!window.described)
        return;
    std::optional<Window> focused;
    {
        std::scoped_lock lock(m_mutex);
        focused = m_focused;
    }
    if (window.active)
        focusChanged(window);
    else if (focused && sameWindow(*focused, window))
        focusChanged(std::nullopt);
}

void KWinWindowFocus::closed(Tracked& tracked) {
    const Window window = tracked.window;
    bool wasFocused = false;
    {
        std::scoped_lock lock(m_mutex);
        wasFocused = m_focused && sameWindow(*m_focused, window);
    }
    // KWin takes the focus off a window before it unmaps it; should it not, the focus leaves here,
    // while the pin still names the window, so a key held there comes up.
    if (wasFocused)
        focusChanged(std::nullopt);
    bool pinClosed = false;
    {
        std::scoped_lock lock(m_mutex);
        pinClosed = m_pin == Pin::pinned && sameWindow(m_pinned, window);
        if (pinClosed)
            m_pin = Pin::closed;
    }
    if (pinClosed) {
        onMainThread([this] {
            std::function<void()> closedHandler;
            {
                std::scoped_lock lock(m_mutex);
                closedHandler = m_handlers.pinnedWindowClosed;
            }
            if (closedHandler)
                closedHandler();
        });
    }
    // KWin sends nothing more for it.
    for (auto entry = m_windows.begin(); entry != m_windows.end(); ++entry) {
        if (entry->second.get() == &tracked) {
            org_kde_plasma_window_destroy(entry->first);
            m_windows.erase(entry);
            break;
        }
    }
}

void KWinWindowFocus::focusChanged(const std::optional<Window>& window) {
    std::optional<QString> caught;
    {
        std::scoped_lock lock(m_mutex);
        const auto onPin = [&](const std::optional<Window>& focused) {
            return m_pin == Pin::pinned && focused && sameWindow(*focused, m_pinned);
        };
        const bool wasOnPin = onPin(m_focused);
        m_focused = window;
        if (wasOnPin && !onPin(m_focused))
            m_leftPin = true;
        if (m_pin == Pin::waiting && window && window->pid != m_ownPid) {
            m_pin = Pin::pinned;
            m_pinned = *window;
            caught = window->title.isEmpty() ? window->appId : window->title;
        }
    }
    if (caught) {
        onMainThread([this, title = *caught] {
            m_pinTimer.stop();
            std::function<void(const QString&)> pinned;
            {
                std::scoped_lock lock(m_mutex);
                pinned = m_handlers.pinned;
            }
            if (pinned)
                pinned(title);
        });
    }
    // KWin gone: nothing more will be read, so the keys come up now.
    if (!m_link || !m_link->alive())
        runDeferred();
}

void KWinWindowFocus::runDeferred() {
    // Held keys come up from this thread, without waiting for the main thread, and outside the
    // link's lock: releasing them posts keys.
    if (std::exchange(m_leftPin, false))
        m_focusLeft();
}

void KWinWindowFocus::observe(Handlers handlers) {
    m_focusLeft.set(std::move(handlers.focusLeftPinnedWindow));
    std::scoped_lock lock(m_mutex);
    m_handlers = std::move(handlers);
}

void KWinWindowFocus::pinNextFocusedWindow(std::chrono::milliseconds within) {
    {
        std::scoped_lock lock(m_mutex);
        m_pin = Pin::waiting;
        m_pinned = {};
    }
    m_pinTimer.start(within);
}

void KWinWindowFocus::unpin() {
    m_pinTimer.stop();
    std::scoped_lock lock(m_mutex);
    m_pin = Pin::none;
    m_pinned = {};
}

KeyDestination KWinWindowFocus::beforeKeyDown() {
    std::scoped_lock lock(m_mutex);
    switch (m_pin) {
    case Pin::pinned:
        return m_focused && sameWindow(*m_focused, m_pinned)
                   ? KeyDestination::allowed
                   : KeyDestination::pinnedWindowNotFocused;
    case Pin::closed:
        return KeyDestination::pinnedWindowClosed;
    case Pin::none:
    case Pin::waiting:
        break;
    }
    return m_focused ? KeyDestination::allowed : KeyDestination::noFocusedWindow;
}

void KWinWindowFocus::onMainThread(std::function<void()> work) {
    QMetaObject::invokeMethod(&m_context, std::move(work), Qt::QueuedConnection);
}

} // namespace vindaro
