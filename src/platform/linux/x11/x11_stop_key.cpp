#include "x11_stop_key.h"

#include "event_signal.h"
#include "x_connection.h"

#include <QObject>

#include <poll.h>

#include <X11/keysym.h>
#include <xcb/xinput.h>

#include <algorithm>
#include <condition_variable>
#include <cstdint>
#include <mutex>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

namespace vindaro {

namespace {

using Clock = std::chrono::steady_clock;

constexpr std::chrono::seconds requestTimeout{2};

} // namespace

struct X11StopKey::Watcher {
    explicit Watcher(std::string name)
        : displayName(std::move(name)) {}

    void run();
    bool reconnect();
    void settle(State settled);
    void change(State next);
    State grabAndListen();
    std::vector<xcb_keycode_t> pauseKeycodes();
    bool grab(const std::vector<xcb_keycode_t>& keycodes);
    bool listenToRawKeys();
    void handle(const xcb_generic_event_t& event);
    void key(xcb_keycode_t keycode, bool down, std::uint32_t time);

    const std::string displayName;
    QObject mainThread;            // the queued calls to the main thread die with it
    std::function<void()> pressed; // main thread only
    std::function<void()> changed; // main thread only
    EventSignal stop;
    std::atomic<State> state = State::takenByAnotherProgram;

    std::mutex settledMutex;
    std::condition_variable settledChanged;
    bool settled = false;

    // Only the watching thread touches these.
    std::unique_ptr<XConnection> x;
    std::vector<xcb_keycode_t> keycodes;
    bool rawKeys = false;
    std::uint8_t inputOpcode = 0;
    bool keyDown = false;
    std::optional<std::uint32_t> lastRelease;

    std::thread thread;
};

X11StopKey::X11StopKey(std::string displayName)
    : m_watcher(std::make_unique<Watcher>(std::move(displayName))) {
    Watcher& watcher = *m_watcher;
    watcher.thread = std::thread([&watcher] { watcher.run(); });
    std::unique_lock lock(watcher.settledMutex);
    watcher.settledChanged.wait_for(lock, setupTimeout, [&] { return watcher.settled; });
}

X11StopKey::~X11StopKey() {
    m_watcher->stop.raise();
    m_watcher->thread.join();
}

StopKey::State X11StopKey::state() const {
    return m_watcher->state;
}

void X11StopKey::observe(std::function<void()> pressed) {
    m_watcher->pressed = std::move(pressed);
}

void X11StopKey::observeState(std::function<void()> changed) {
    m_watcher->changed = std::move(changed);
}

void X11StopKey::Watcher::run() {
    x = XConnection::open(displayName, Clock::now() + requestTimeout, stop.fd());
    if (!x) {
        settle(State::needsDesktopShortcut);
        return;
    }
    settle(grabAndListen());
    for (;;) {
        while (XcbPtr<xcb_generic_event_t> event{xcb_poll_for_event(x->get())})
            handle(*event);
        if (!x->waitForInput(std::nullopt) && (!x->broken() || !reconnect()))
            return;
    }
}

bool X11StopKey::Watcher::reconnect() {
    // The server went away: nothing hears Pause until it is back, and the window must say so.
    change(State::unavailable);
    x.reset();
    do {
        pollfd stopped{stop.fd(), POLLIN, 0};
        if (poll(&stopped, 1,
                 static_cast<int>(std::chrono::milliseconds(reconnectInterval).count())) != 0)
            return false;
        x = XConnection::open(displayName, Clock::now() + requestTimeout, stop.fd());
    } while (!x);
    rawKeys = false;
    keyDown = false;
    lastRelease.reset();
    change(grabAndListen());
    return true;
}

void X11StopKey::Watcher::change(State next) {
    if (state.exchange(next) == next)
        return;
    QMetaObject::invokeMethod(
        &mainThread,
        [this] {
            if (changed)
                changed();
        },
        Qt::QueuedConnection);
}

void X11StopKey::Watcher::settle(State settledState) {
    state = settledState;
    {
        std::scoped_lock lock(settledMutex);
        settled = true;
    }
    settledChanged.notify_all();
}

X11StopKey::State X11StopKey::Watcher::grabAndListen() {
    keycodes = pauseKeycodes();
    const bool grabbed = grab(keycodes);
    if (!rawKeys)
        rawKeys = listenToRawKeys();
    // Without raw key events a game holding the keyboard would not let Pause through, so the
    // window must not say the key is ready.
    return grabbed && rawKeys ? State::ready : State::takenByAnotherProgram;
}

std::vector<xcb_keycode_t> X11StopKey::Watcher::pauseKeycodes() {
    const xcb_setup_t* setup = xcb_get_setup(x->get());
    const int count = setup->max_keycode - setup->min_keycode + 1;
    const auto mapping = x->reply<xcb_get_keyboard_mapping_reply_t>(
        xcb_get_keyboard_mapping(x->get(), setup->min_keycode, static_cast<std::uint8_t>(count)),
        Clock::now() + requestTimeout);
    std::vector<xcb_keycode_t> found;
    if (!mapping || mapping->keysyms_per_keycode == 0)
        return found;
    const xcb_keysym_t* keysyms = xcb_get_keyboard_mapping_keysyms(mapping.get());
    const int length = xcb_get_keyboard_mapping_keysyms_length(mapping.get());
    for (int index = 0; index < length; ++index) {
        if (keysyms[index] != XK_Pause)
            continue;
        const auto keycode =
            static_cast<xcb_keycode_t>(setup->min_keycode + index / mapping->keysyms_per_keycode);
        if (std::ranges::find(found, keycode) == found.end())
            found.push_back(keycode);
    }
    return found;
}

bool X11StopKey::Watcher::grab(const std::vector<xcb_keycode_t>& pauseKeys) {
    bool grabbedAll = !pauseKeys.empty();
    for (const xcb_keycode_t keycode : pauseKeys) {
        const auto grabbed = xcb_grab_key_checked(x->get(), 1, x->root(), XCB_MOD_MASK_ANY, keycode,
                                                  XCB_GRAB_MODE_ASYNC, XCB_GRAB_MODE_ASYNC);
        // BadAccess means another program grabbed Pause first; any other failure is no better.
        grabbedAll =
            x->errorOf(grabbed, Clock::now() + requestTimeout) == std::uint8_t{0} && grabbedAll;
    }
    return grabbedAll;
}

bool X11StopKey::Watcher::listenToRawKeys() {
    const xcb_query_extension_reply_t* input = xcb_get_extension_data(x->get(), &xcb_input_id);
    if (input == nullptr || input->present == 0)
        return false;
    inputOpcode = input->major_opcode;
    // 2.1 or later: from then on raw events reach the root window during grabs too.
    const auto version = x->reply<xcb_input_xi_query_version_reply_t>(
        xcb_input_xi_query_version(x->get(), 2, 2), Clock::now() + requestTimeout);
    if (!version || version->major_version < 2 ||
        (version->major_version == 2 && version->minor_version < 1))
        return false;
    struct {
        xcb_input_event_mask_t head;
        std::uint32_t mask;
    } selection{{XCB_INPUT_DEVICE_ALL_MASTER, 1},
                XCB_INPUT_XI_EVENT_MASK_RAW_KEY_PRESS | XCB_INPUT_XI_EVENT_MASK_RAW_KEY_RELEASE};
    const auto selected =
        xcb_input_xi_select_events_checked(x->get(), x->root(), 1, &selection.head);
    return x->errorOf(selected, Clock::now() + requestTimeout) == std::uint8_t{0};
}

void X11StopKey::Watcher::handle(const xcb_generic_event_t& event) {
    switch (event.response_type & 0x7f) {
    case XCB_KEY_PRESS:
    case XCB_KEY_RELEASE: {
        const auto& core = reinterpret_cast<const xcb_key_press_event_t&>(event);
        key(core.detail, (event.response_type & 0x7f) == XCB_KEY_PRESS, core.time);
        break;
    }
    case XCB_GE_GENERIC: {
        const auto& generic = reinterpret_cast<const xcb_ge_generic_event_t&>(event);
        if (generic.extension != inputOpcode)
            break;
        const auto& raw = reinterpret_cast<const xcb_input_raw_key_press_event_t&>(event);
        const bool down = raw.event_type == XCB_INPUT_RAW_KEY_PRESS;
        if (!down && raw.event_type != XCB_INPUT_RAW_KEY_RELEASE)
            break;
        if (down && (raw.flags & XCB_INPUT_KEY_EVENT_FLAGS_KEY_REPEAT) != 0)
            break;
        key(static_cast<xcb_keycode_t>(raw.detail), down, raw.time);
        break;
    }
    case XCB_MAPPING_NOTIFY: {
        const auto& mapping = reinterpret_cast<const xcb_mapping_notify_event_t&>(event);
        if (mapping.request != XCB_MAPPING_KEYBOARD)
            break;
        // Pause may sit on another key now: grab that one instead.
        for (const xcb_keycode_t keycode : keycodes)
            xcb_ungrab_key(x->get(), keycode, x->root(), XCB_MOD_MASK_ANY);
        change(grabAndListen());
        break;
    }
    default:
        break;
    }
}

void X11StopKey::Watcher::key(xcb_keycode_t keycode, bool down, std::uint32_t time) {
    if (std::ranges::find(keycodes, keycode) == keycodes.end())
        return;
    if (!down) {
        keyDown = false;
        lastRelease = time;
        return;
    }
    // One press reaches us twice, through the grab and as a raw event, and a held key repeats
    // as a release and a press at the same server time: only the first press counts.
    const bool again = keyDown || lastRelease == time;
    keyDown = true;
    // The press has just made our passive grab active, and until Pause comes up the server would
    // hand every key event to us: the key-ups the agent is about to send would never reach the
    // game, which saw only a focus change caused by a grab (and many games ignore those). The
    // grab is ended, and the server has taken that, before anyone hears of the press. The press
    // itself stayed with us; the game may see Pause come up, which does nothing.
    xcb_ungrab_keyboard(x->get(), XCB_CURRENT_TIME);
    if (again)
        return;
    static_cast<void>(x->reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus(x->get()),
                                                            Clock::now() + requestTimeout));
    QMetaObject::invokeMethod(
        &mainThread,
        [this] {
            if (pressed)
                pressed();
        },
        Qt::QueuedConnection);
}

} // namespace vindaro
