#include "x_key_recorder.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vindaro::test {

struct XKeyRecorder::State {
    Display* recording = nullptr; // used only by the recording thread once it runs
    Display* query = nullptr;     // used under queryMutex
    int inputOpcode = 0;
    int stopFd = -1;

    mutable std::mutex mutex;
    mutable std::condition_variable recorded;
    std::vector<RecordedKey> events;

    std::mutex queryMutex;
    std::thread thread;

    void record();
    void readEvents();
    ~State();
};

XKeyRecorder::State::~State() {
    if (thread.joinable()) {
        const std::uint64_t one = 1;
        static_cast<void>(write(stopFd, &one, sizeof one));
        thread.join();
    }
    if (stopFd >= 0)
        close(stopFd);
    if (recording != nullptr)
        XCloseDisplay(recording);
    if (query != nullptr)
        XCloseDisplay(query);
}

void XKeyRecorder::State::record() {
    for (;;) {
        readEvents();
        std::array<pollfd, 2> sources = {
            {{ConnectionNumber(recording), POLLIN, 0}, {stopFd, POLLIN, 0}}};
        if (poll(sources.data(), sources.size(), -1) < 0 && errno != EINTR)
            return;
        if (sources[1].revents != 0)
            return;
    }
}

void XKeyRecorder::State::readEvents() {
    while (XPending(recording) > 0) {
        XEvent event;
        XNextEvent(recording, &event);
        XGenericEventCookie& cookie = event.xcookie;
        if (cookie.type != GenericEvent || cookie.extension != inputOpcode ||
            !XGetEventData(recording, &cookie))
            continue;
        const auto* raw = static_cast<const XIRawEvent*>(cookie.data);
        const bool isKey = raw->evtype == XI_RawKeyPress || raw->evtype == XI_RawKeyRelease;
        if (isKey && (raw->flags & XIKeyRepeat) == 0) {
            const auto keycode = static_cast<unsigned>(raw->detail);
            const RecordedKey key{
                keycode, XkbKeycodeToKeysym(recording, static_cast<KeyCode>(keycode), 0, 0),
                raw->evtype == XI_RawKeyPress, static_cast<std::uint32_t>(raw->time),
                std::chrono::steady_clock::now()};
            {
                std::scoped_lock lock(mutex);
                events.push_back(key);
            }
            recorded.notify_all();
        }
        XFreeEventData(recording, &cookie);
    }
}

XKeyRecorder::XKeyRecorder(const std::string& displayName)
    : m_state(std::make_unique<State>()) {
    State& state = *m_state;
    state.recording = XOpenDisplay(displayName.c_str());
    state.query = XOpenDisplay(displayName.c_str());
    if (state.recording == nullptr || state.query == nullptr)
        throw std::runtime_error("cannot open display " + displayName);
    int eventBase = 0;
    int errorBase = 0;
    if (!XQueryExtension(state.recording, "XInputExtension", &state.inputOpcode, &eventBase,
                         &errorBase))
        throw std::runtime_error("no XInput extension on " + displayName);
    int major = 2;
    int minor = 0;
    if (XIQueryVersion(state.recording, &major, &minor) != Success)
        throw std::runtime_error("no XInput2 on " + displayName);

    std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> mask{};
    XISetMask(mask.data(), XI_RawKeyPress);
    XISetMask(mask.data(), XI_RawKeyRelease);
    XIEventMask selection{XIAllMasterDevices, static_cast<int>(mask.size()), mask.data()};
    XISelectEvents(state.recording, DefaultRootWindow(state.recording), &selection, 1);
    XSync(state.recording, False);

    state.stopFd = eventfd(0, EFD_CLOEXEC);
    if (state.stopFd < 0)
        throw std::runtime_error("eventfd failed");
    state.thread = std::thread([&state] { state.record(); });
}

XKeyRecorder::~XKeyRecorder() = default;

std::vector<RecordedKey> XKeyRecorder::events() const {
    std::scoped_lock lock(m_state->mutex);
    return m_state->events;
}

std::vector<RecordedKey> XKeyRecorder::waitForEvents(std::size_t count,
                                                     std::chrono::milliseconds timeout) const {
    return waitUntil(
        [count](const std::vector<RecordedKey>& events) { return events.size() >= count; },
        timeout);
}

std::vector<RecordedKey>
XKeyRecorder::waitUntil(const std::function<bool(const std::vector<RecordedKey>&)>& done,
                        std::chrono::milliseconds timeout) const {
    std::unique_lock lock(m_state->mutex);
    m_state->recorded.wait_for(lock, timeout, [&] { return done(m_state->events); });
    return m_state->events;
}

std::vector<unsigned> XKeyRecorder::keysDown() {
    std::scoped_lock lock(m_state->queryMutex);
    std::array<char, 32> bits{};
    XQueryKeymap(m_state->query, bits.data());
    std::vector<unsigned> down;
    for (unsigned keycode = 0; keycode < bits.size() * 8; ++keycode) {
        if ((static_cast<unsigned char>(bits[keycode / 8]) >> (keycode % 8)) & 1U)
            down.push_back(keycode);
    }
    return down;
}

void XKeyRecorder::grabServer(bool grabbed) {
    std::scoped_lock lock(m_state->queryMutex);
    if (grabbed)
        XGrabServer(m_state->query);
    else
        XUngrabServer(m_state->query);
    XSync(m_state->query, False);
}

void XKeyRecorder::removeKeysym(const std::string& keysymName) {
    std::scoped_lock lock(m_state->queryMutex);
    Display* display = m_state->query;
    const KeySym removed = keysym(keysymName);
    int minKeycode = 0;
    int maxKeycode = 0;
    XDisplayKeycodes(display, &minKeycode, &maxKeycode);
    int perKeycode = 0;
    KeySym* map = XGetKeyboardMapping(display, static_cast<KeyCode>(minKeycode),
                                      maxKeycode - minKeycode + 1, &perKeycode);
    const int total = (maxKeycode - minKeycode + 1) * perKeycode;
    for (int index = 0; index < total; ++index) {
        if (map[index] == removed)
            map[index] = NoSymbol;
    }
    XChangeKeyboardMapping(display, minKeycode, perKeycode, map, maxKeycode - minKeycode + 1);
    XFree(map);
    XSync(display, False);
}

namespace {

std::string windowTitle(Display* display, Window window) {
    const Atom netName = XInternAtom(display, "_NET_WM_NAME", False);
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    Atom type = None;
    int format = 0;
    unsigned long count = 0;
    unsigned long remaining = 0;
    unsigned char* data = nullptr;
    std::string title;
    if (XGetWindowProperty(display, window, netName, 0, 1024, False, utf8, &type, &format, &count,
                           &remaining, &data) == Success &&
        data != nullptr && format == 8)
        title.assign(reinterpret_cast<const char*>(data), count);
    if (data != nullptr)
        XFree(data);
    if (title.empty()) {
        char* name = nullptr;
        if (XFetchName(display, window, &name) && name != nullptr) {
            title = name;
            XFree(name);
        }
    }
    return title;
}

} // namespace

std::string XKeyRecorder::focusedWindowTitle() {
    std::scoped_lock lock(m_state->queryMutex);
    Window focus = 0;
    int revertTo = 0;
    XGetInputFocus(m_state->query, &focus, &revertTo);
    if (focus == None || focus == PointerRoot)
        return {};
    return windowTitle(m_state->query, focus);
}

unsigned long XKeyRecorder::keysym(const std::string& name) {
    return XStringToKeysym(name.c_str());
}

std::string XKeyRecorder::keysymName(unsigned long keysym) {
    const char* name = XKeysymToString(keysym);
    return name != nullptr ? name : "NoSymbol";
}

} // namespace vindaro::test
