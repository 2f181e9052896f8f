#include "x11_window_focus.h"

#include "event_signal.h"
#include "x_connection.h"
#include "x_window_identity.h"

#include <QObject>

#include <unistd.h>

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <thread>
#include <unordered_map>
#include <utility>

namespace vindaro {

namespace {

using Clock = std::chrono::steady_clock;

// How long the event thread waits for one answer from the server, and how often it looks at the
// focus while a pin is wanted. Not every focus change reaches a client that does not own the
// windows involved (two top-level windows swapping it tell only themselves), so the wait for a
// pin asks instead of listening.
constexpr std::chrono::seconds eventThreadTimeout{2};
constexpr std::chrono::milliseconds pinPollInterval{20};
constexpr std::size_t maxKnownWindows = 64;

enum class Phase { none, waiting, pinned, closed };

// Whether another program holds the keyboard, after a focus event of the pinned window. A
// keyboard grab leaves the focus where it was and shows only in the mode of the focus events it
// causes: the pinned window is told the focus left for the grab window, unless that is inside it
// (a game's own grab), and that it came back when the grab ended.
bool grabbedAwayAfter(bool before, bool focusIn, std::uint8_t mode, std::uint8_t detail) {
    if (focusIn && mode != XCB_NOTIFY_MODE_WHILE_GRABBED)
        return false;
    if (!focusIn && mode == XCB_NOTIFY_MODE_GRAB && detail != XCB_NOTIFY_DETAIL_INFERIOR)
        return true;
    return before;
}

struct Pin {
    Phase phase = Phase::none;
    std::uint64_t serial = 0; // changes with every pin asked for and every unpin
    Clock::time_point deadline;
    WindowIdentity window;
};

} // namespace

struct X11WindowFocus::State {
    explicit State(std::string name)
        : displayName(std::move(name)) {}

    void run();
    bool connect();
    void follow(const Pin& wanted);
    void lookForPin(const Pin& wanted);
    void handle(const xcb_generic_event_t& event);
    void closed(xcb_window_t window);
    void watch(xcb_window_t window, std::uint32_t mask);
    void leftPinnedWindow();
    void followGrab(bool focusIn, std::uint8_t mode, std::uint8_t detail);
    std::optional<WindowIdentity> focusedApplicationWindow();
    // On the checking connection, under checkMutex.
    void followOnCheck(xcb_window_t pinnedWindow);
    void readCheckEvents();
    std::optional<WindowIdentity> applicationWindowOf(xcb_window_t window,
                                                      XConnection::Deadline deadline);
    template <typename Call> void toMainThread(std::uint64_t serial, Call call);

    const std::string displayName;
    QObject mainThread; // the queued calls to the main thread die with it
    EventSignal stop;
    EventSignal wake;

    std::atomic<bool> available = true;
    // Another program holds the keyboard while the pinned window keeps the focus.
    std::atomic<bool> grabbedAway = false;

    // The event thread calls the focus handler itself; the others run on the main thread only,
    // so that a focus handler waiting for a key in flight never holds up the window.
    Handlers mainThreadHandlers;
    FocusLeftHandler focusLeft;

    std::mutex pinMutex;
    Pin pin;

    std::mutex checkMutex;
    std::condition_variable connectionTried;
    bool triedToConnect = false;
    std::unique_ptr<XConnection> check;
    // The application window of each window the focus was found on, so that a key-down costs one
    // round trip while the focus stays put.
    std::unordered_map<xcb_window_t, WindowIdentity> knownWindows;
    // The pinned window's focus events reach this connection too, so that a key-down knows of
    // every grab the server made before its answer, not only those the event thread has read.
    xcb_window_t checkedPin = XCB_NONE;
    bool checkGrabbedAway = false;

    // Only the event thread touches these.
    std::unique_ptr<XConnection> events;
    std::uint64_t followedSerial = 0;
    xcb_window_t watched = XCB_NONE;
    WindowIdentity watchedIdentity;
    bool focusInWatched = false; // keys typed now would reach it

    std::thread thread;
};

X11WindowFocus::X11WindowFocus(std::string displayName)
    : m_state(std::make_unique<State>(std::move(displayName))) {
    m_state->thread = std::thread([state = m_state.get()] { state->run(); });
}

X11WindowFocus::~X11WindowFocus() {
    m_state->stop.raise();
    m_state->thread.join();
}

bool X11WindowFocus::canPin() const {
    return m_state->available;
}

void X11WindowFocus::observe(Handlers handlers) {
    m_state->focusLeft.set(std::move(handlers.focusLeftPinnedWindow));
    m_state->mainThreadHandlers = std::move(handlers);
}

void X11WindowFocus::pinNextFocusedWindow(std::chrono::milliseconds within) {
    std::scoped_lock lock(m_state->pinMutex);
    Pin& pin = m_state->pin;
    pin = {Phase::waiting, pin.serial + 1, Clock::now() + within, {}};
    if (!m_state->available) {
        pin.phase = Phase::none;
        m_state->toMainThread(pin.serial, [](const Handlers& handlers) {
            if (handlers.pinTimedOut)
                handlers.pinTimedOut();
        });
        return;
    }
    m_state->wake.raise();
}

void X11WindowFocus::unpin() {
    std::scoped_lock lock(m_state->pinMutex);
    m_state->pin = {Phase::none, m_state->pin.serial + 1, {}, {}};
    m_state->wake.raise();
}

KeyDestination X11WindowFocus::beforeKeyDown() {
    Pin pin;
    {
        std::scoped_lock lock(m_state->pinMutex);
        pin = m_state->pin;
    }
    if (pin.phase == Phase::closed)
        return KeyDestination::pinnedWindowClosed;
    const bool pinned = pin.phase == Phase::pinned;
    const KeyDestination unknown =
        pinned ? KeyDestination::pinnedWindowNotFocused : KeyDestination::noFocusedWindow;

    // Right after start-up the connection may still be on its way.
    std::unique_lock lock(m_state->checkMutex);
    m_state->connectionTried.wait_for(lock, checkTimeout, [&] { return m_state->triedToConnect; });
    XConnection* x = m_state->check.get();
    if (x == nullptr || x->broken())
        return unknown;
    if (pinned)
        m_state->followOnCheck(pin.window.window);
    const auto deadline = Clock::now() + checkTimeout;
    const auto target = keyboardTarget(*x, deadline);
    m_state->readCheckEvents();
    if (!target)
        return unknown;
    // Another program's keyboard grab takes the keys whatever the focus says.
    if (pinned && m_state->checkGrabbedAway)
        return KeyDestination::pinnedWindowNotFocused;
    if (*target == XCB_NONE)
        return unknown;
    const auto focused = m_state->applicationWindowOf(*target, deadline);
    if (!focused)
        return unknown;
    if (pinned)
        return *focused == pin.window ? KeyDestination::allowed
                                      : KeyDestination::pinnedWindowNotFocused;
    // Qt names the process on each of its top-level windows: the main window, alerts, dialogs.
    return focused->pid == static_cast<std::uint32_t>(getpid()) ? KeyDestination::agentWindowFocused
                                                                : KeyDestination::allowed;
}

void X11WindowFocus::State::followOnCheck(xcb_window_t pinnedWindow) {
    if (pinnedWindow == checkedPin)
        return;
    // Until this connection hears of the window's grabs, the event thread's view is the best.
    checkGrabbedAway = grabbedAway;
    std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    if (checkedPin != XCB_NONE)
        xcb_change_window_attributes(check->get(), checkedPin, XCB_CW_EVENT_MASK, &mask);
    mask |= XCB_EVENT_MASK_FOCUS_CHANGE;
    xcb_change_window_attributes(check->get(), pinnedWindow, XCB_CW_EVENT_MASK, &mask);
    checkedPin = pinnedWindow;
}

void X11WindowFocus::State::readCheckEvents() {
    // Whatever the server sent before its last reply has been read by now. A window destroyed
    // or moved to another parent may have taken its application window with it, and an error
    // means a window was gone before we could watch it; a grab changes who gets the keys.
    while (XcbPtr<xcb_generic_event_t> event{xcb_poll_for_queued_event(check->get())}) {
        const int type = event->response_type & 0x7f;
        if (type == 0 || type == XCB_DESTROY_NOTIFY || type == XCB_REPARENT_NOTIFY)
            knownWindows.clear();
        if (type != XCB_FOCUS_IN && type != XCB_FOCUS_OUT)
            continue;
        const auto& focus = reinterpret_cast<const xcb_focus_in_event_t&>(*event);
        if (focus.event == checkedPin)
            checkGrabbedAway =
                grabbedAwayAfter(checkGrabbedAway, type == XCB_FOCUS_IN, focus.mode, focus.detail);
    }
}

std::optional<WindowIdentity>
X11WindowFocus::State::applicationWindowOf(xcb_window_t window, XConnection::Deadline deadline) {
    if (const auto known = knownWindows.find(window); known != knownWindows.end())
        return known->second;
    auto identity = identifyApplicationWindow(*check, window, deadline);
    if (!identity)
        return identity;
    // Told by the server when either window is destroyed or moved, before the next answer.
    for (const xcb_window_t watchedWindow : {window, identity->window}) {
        std::uint32_t mask = XCB_EVENT_MASK_STRUCTURE_NOTIFY;
        if (watchedWindow == checkedPin)
            mask |= XCB_EVENT_MASK_FOCUS_CHANGE;
        xcb_change_window_attributes(check->get(), watchedWindow, XCB_CW_EVENT_MASK, &mask);
    }
    xcb_flush(check->get());
    if (knownWindows.size() >= maxKnownWindows)
        knownWindows.clear();
    knownWindows.emplace(window, *identity);
    return identity;
}

template <typename Call> void X11WindowFocus::State::toMainThread(std::uint64_t serial, Call call) {
    QMetaObject::invokeMethod(
        &mainThread,
        [this, serial, call = std::move(call)] {
            {
                // Unpinned or pinned anew meanwhile: the news is stale.
                std::scoped_lock lock(pinMutex);
                if (pin.serial != serial)
                    return;
            }
            // A copy: the handler may call observe().
            const Handlers current = mainThreadHandlers;
            call(current);
        },
        Qt::QueuedConnection);
}

bool X11WindowFocus::State::connect() {
    const auto deadline = Clock::now() + eventThreadTimeout;
    events = XConnection::open(displayName, deadline, stop.fd());
    auto checking = events ? XConnection::open(displayName, deadline) : nullptr;
    std::scoped_lock lock(pinMutex, checkMutex);
    triedToConnect = true;
    connectionTried.notify_all();
    if (!checking) {
        events.reset();
        available = false;
        if (pin.phase == Phase::waiting) {
            pin.phase = Phase::none;
            toMainThread(pin.serial, [](const Handlers& current) {
                if (current.pinTimedOut)
                    current.pinTimedOut();
            });
        }
        return false;
    }
    check = std::move(checking);
    return true;
}

void X11WindowFocus::State::run() {
    if (!connect())
        return;
    for (;;) {
        while (XcbPtr<xcb_generic_event_t> event{xcb_poll_for_event(events->get())})
            handle(*event);
        wake.clear();
        Pin wanted;
        {
            std::scoped_lock lock(pinMutex);
            wanted = pin;
        }
        if (wanted.serial != followedSerial)
            follow(wanted);
        std::optional<Clock::time_point> wakeAt;
        if (wanted.phase == Phase::waiting) {
            lookForPin(wanted);
            wakeAt = std::min(wanted.deadline, Clock::now() + pinPollInterval);
        }
        if (!events->waitForInput(wakeAt, wake.fd()))
            return;
    }
}

void X11WindowFocus::State::follow(const Pin& wanted) {
    if (watched != XCB_NONE)
        watch(watched, XCB_EVENT_MASK_NO_EVENT);
    watched = XCB_NONE;
    focusInWatched = false;
    grabbedAway = false;
    followedSerial = wanted.serial;
}

void X11WindowFocus::State::lookForPin(const Pin& wanted) {
    if (Clock::now() >= wanted.deadline) {
        std::scoped_lock lock(pinMutex);
        if (pin.serial == wanted.serial) {
            pin.phase = Phase::none;
            toMainThread(wanted.serial, [](const Handlers& current) {
                if (current.pinTimedOut)
                    current.pinTimedOut();
            });
        }
        return;
    }
    // The agent's own window has the focus while the streamer presses the pin button; the
    // window that takes it from there is the one meant.
    const auto focused = focusedApplicationWindow();
    if (!focused || focused->window == XCB_NONE ||
        focused->pid == static_cast<std::uint32_t>(getpid()))
        return;

    // Only a window the streamer can see and pick: not one a window manager keeps for itself
    // (openbox gives the focus to a hidden window of its own at times), nor a menu or popup.
    const auto deadline = Clock::now() + eventThreadTimeout;
    const auto attributes = events->reply<xcb_get_window_attributes_reply_t>(
        xcb_get_window_attributes(events->get(), focused->window), deadline);
    if (!attributes || attributes->override_redirect != 0 ||
        attributes->map_state != XCB_MAP_STATE_VIEWABLE)
        return;

    const std::uint32_t mask = XCB_EVENT_MASK_FOCUS_CHANGE | XCB_EVENT_MASK_ENTER_WINDOW |
                               XCB_EVENT_MASK_LEAVE_WINDOW | XCB_EVENT_MASK_STRUCTURE_NOTIFY;
    const auto selected = xcb_change_window_attributes_checked(events->get(), focused->window,
                                                               XCB_CW_EVENT_MASK, &mask);
    if (events->errorOf(selected, deadline) != std::uint8_t{0})
        return; // gone already, or no answer: keep waiting for another
    // Its focus events reach us from here on; until now it may have lost the focus again.
    const auto stillFocused = focusedApplicationWindow();
    QString title = windowTitle(*events, focused->window, deadline);
    if (title.isEmpty()) // WM_CLASS holds the instance name, then the program's class
        title = QString::fromLatin1(focused->wmClass.substr(focused->wmClass.find('\0') + 1));
    title = title.remove(QChar(u'\0')).trimmed();

    std::scoped_lock lock(pinMutex);
    if (pin.serial != wanted.serial) {
        watch(focused->window, XCB_EVENT_MASK_NO_EVENT);
        return;
    }
    pin.phase = Phase::pinned;
    pin.window = *focused;
    watched = focused->window;
    watchedIdentity = *focused;
    focusInWatched = stillFocused && stillFocused->window == focused->window;
    toMainThread(wanted.serial, [title](const Handlers& current) {
        if (current.pinned)
            current.pinned(title);
    });
}

void X11WindowFocus::State::handle(const xcb_generic_event_t& event) {
    xcb_window_t window = XCB_NONE;
    std::uint8_t detail = 0;
    switch (event.response_type & 0x7f) {
    case XCB_FOCUS_IN:
    case XCB_FOCUS_OUT: {
        const auto& focus = reinterpret_cast<const xcb_focus_in_event_t&>(event);
        window = focus.event;
        detail = focus.detail;
        if (window == watched)
            followGrab((event.response_type & 0x7f) == XCB_FOCUS_IN, focus.mode, detail);
        break;
    }
    // Under PointerRoot (no window manager) the keys follow the pointer, and the server
    // reports that as the pointer crossing window borders, not as focus changes.
    case XCB_ENTER_NOTIFY:
    case XCB_LEAVE_NOTIFY: {
        const auto& crossing = reinterpret_cast<const xcb_enter_notify_event_t&>(event);
        window = crossing.event;
        detail = crossing.detail;
        break;
    }
    case XCB_DESTROY_NOTIFY:
        closed(reinterpret_cast<const xcb_destroy_notify_event_t&>(event).window);
        return;
    default:
        return; // errors of requests nobody checks, and events nobody here asked for
    }
    // Between the window and one inside it, the keys stay in the same application.
    if (window != watched || detail == XCB_NOTIFY_DETAIL_INFERIOR)
        return;
    // The event says where the focus or the pointer went, but not always whether the keys
    // followed (the focus may sit on a window around the pointer): ask, as beforeKeyDown does.
    const auto focused = focusedApplicationWindow();
    const bool inPinned = focused && *focused == watchedIdentity;
    if (focusInWatched && !inPinned)
        leftPinnedWindow();
    focusInWatched = inPinned;
}

void X11WindowFocus::State::closed(xcb_window_t window) {
    if (window != watched)
        return;
    // The server may not report a focus change for a window it destroys.
    if (focusInWatched)
        leftPinnedWindow();
    watched = XCB_NONE;
    focusInWatched = false;
    std::scoped_lock lock(pinMutex);
    if (pin.phase == Phase::pinned && pin.window.window == window) {
        pin.phase = Phase::closed;
        toMainThread(pin.serial, [](const Handlers& current) {
            if (current.pinnedWindowClosed)
                current.pinnedWindowClosed();
        });
    }
}

void X11WindowFocus::State::followGrab(bool focusIn, std::uint8_t mode, std::uint8_t detail) {
    const bool before = grabbedAway.exchange(grabbedAwayAfter(grabbedAway, focusIn, mode, detail));
    if (!before && grabbedAway)
        leftPinnedWindow();
}

void X11WindowFocus::State::watch(xcb_window_t window, std::uint32_t mask) {
    xcb_change_window_attributes(events->get(), window, XCB_CW_EVENT_MASK, &mask);
}

void X11WindowFocus::State::leftPinnedWindow() {
    {
        std::scoped_lock lock(pinMutex);
        if (pin.phase != Phase::pinned || pin.serial != followedSerial)
            return;
    }
    // Called right here, not on the main thread: held keys must come up at once.
    focusLeft();
}

std::optional<WindowIdentity> X11WindowFocus::State::focusedApplicationWindow() {
    const auto deadline = Clock::now() + eventThreadTimeout;
    const auto target = keyboardTarget(*events, deadline);
    if (!target)
        return std::nullopt;
    if (*target == XCB_NONE)
        return WindowIdentity{};
    return identifyApplicationWindow(*events, *target, deadline);
}

} // namespace vindaro
