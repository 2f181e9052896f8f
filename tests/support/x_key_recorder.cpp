#include "x_key_recorder.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <map>
#include <mutex>
#include <stdexcept>
#include <thread>

namespace vindaro::test {

namespace {

// Polls a condition on the server for up to ten seconds.
bool eventually(const std::function<bool()>& done) {
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (!done()) {
        if (std::chrono::steady_clock::now() > deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

} // namespace

struct XKeyRecorder::State {
    // Read by the recording thread; the windows and grabs it owns are made under queryMutex.
    Display* recording = nullptr;
    Display* query = nullptr; // used under queryMutex
    int inputOpcode = 0;
    int stopFd = -1;
    int wakeFd = -1;
    int windowCount = 0;

    mutable std::mutex mutex;
    mutable std::condition_variable recorded;
    std::vector<RecordedKey> events;
    std::map<TestWindow, std::vector<RecordedKey>> windowKeys;

    std::mutex queryMutex;
    std::thread thread;

    void record();
    void readEvents();
    // A raw event (window 0), or one the server delivered to a window of ours.
    void push(unsigned keycode, bool pressed, Time time, TestWindow window);
    // Waits until the server has handled our requests on the recording connection and lets the
    // recording thread read whatever that wait took off the connection.
    void syncRecording();
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
    if (wakeFd >= 0)
        close(wakeFd);
    if (recording != nullptr)
        XCloseDisplay(recording);
    if (query != nullptr)
        XCloseDisplay(query);
}

void XKeyRecorder::State::record() {
    for (;;) {
        readEvents();
        std::array<pollfd, 3> sources = {
            {{ConnectionNumber(recording), POLLIN, 0}, {stopFd, POLLIN, 0}, {wakeFd, POLLIN, 0}}};
        if (poll(sources.data(), sources.size(), -1) < 0 && errno != EINTR)
            return;
        if (sources[1].revents != 0)
            return;
        std::uint64_t count = 0;
        if (sources[2].revents != 0)
            static_cast<void>(read(wakeFd, &count, sizeof count));
    }
}

void XKeyRecorder::State::push(unsigned keycode, bool pressed, Time time, TestWindow window) {
    const RecordedKey key{
        keycode, XkbKeycodeToKeysym(recording, static_cast<KeyCode>(keycode), 0, 0), pressed,
        static_cast<std::uint32_t>(time), std::chrono::steady_clock::now()};
    {
        std::scoped_lock lock(mutex);
        (window == 0 ? events : windowKeys[window]).push_back(key);
    }
    recorded.notify_all();
}

void XKeyRecorder::State::readEvents() {
    while (XPending(recording) > 0) {
        XEvent event;
        XNextEvent(recording, &event);
        if (event.type == KeyPress || event.type == KeyRelease) {
            push(event.xkey.keycode, event.type == KeyPress, event.xkey.time, event.xkey.window);
            continue;
        }
        XGenericEventCookie& cookie = event.xcookie;
        if (cookie.type != GenericEvent || cookie.extension != inputOpcode ||
            !XGetEventData(recording, &cookie))
            continue;
        const auto* raw = static_cast<const XIRawEvent*>(cookie.data);
        const bool isKey = raw->evtype == XI_RawKeyPress || raw->evtype == XI_RawKeyRelease;
        if (isKey && (raw->flags & XIKeyRepeat) == 0)
            push(static_cast<unsigned>(raw->detail), raw->evtype == XI_RawKeyPress, raw->time, 0);
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
    state.wakeFd = eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (state.stopFd < 0 || state.wakeFd < 0)
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

void XKeyRecorder::lockGroup(unsigned group) {
    std::scoped_lock lock(m_state->queryMutex);
    XkbLockGroup(m_state->query, XkbUseCoreKbd, group);
    XSync(m_state->query, False);
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

void XKeyRecorder::State::syncRecording() {
    XSync(recording, False);
    const std::uint64_t one = 1;
    static_cast<void>(write(wakeFd, &one, sizeof one));
}

TestWindow XKeyRecorder::createWindow(const std::string& title, const std::string& programClass,
                                      unsigned long pid) {
    std::scoped_lock lock(m_state->queryMutex);
    Display* display = m_state->recording;
    const int placed = m_state->windowCount++;
    const Window window = XCreateSimpleWindow(display, DefaultRootWindow(display),
                                              10 + 110 * placed, 10, 100, 100, 0, 0, 0);
    XSelectInput(display, window, KeyPressMask | KeyReleaseMask);
    const auto set = [&](const char* name, Atom type, int format, const void* data, int count) {
        XChangeProperty(display, window, XInternAtom(display, name, False), type, format,
                        PropModeReplace, static_cast<const unsigned char*>(data), count);
    };
    const Atom utf8 = XInternAtom(display, "UTF8_STRING", False);
    const auto titleLength = static_cast<int>(title.size());
    set("_NET_WM_NAME", utf8, 8, title.data(), titleLength);
    set("WM_NAME", utf8, 8, title.data(), titleLength);
    const std::string classHint = programClass + '\0' + programClass + '\0';
    set("WM_CLASS", XA_STRING, 8, classHint.data(), static_cast<int>(classHint.size()));
    const long pidValue = static_cast<long>(pid);
    set("_NET_WM_PID", XA_CARDINAL, 32, &pidValue, 1);
    // A window manager is not to give it the focus when it appears, only when asked to.
    const long neverUsed = 0;
    set("_NET_WM_USER_TIME", XA_CARDINAL, 32, &neverUsed, 1);
    XMapWindow(display, window);
    // A window manager maps it in its own time, inside a frame.
    XWindowAttributes attributes{};
    const bool shown = eventually([&] {
        return XGetWindowAttributes(display, window, &attributes) != 0 &&
               attributes.map_state == IsViewable;
    });
    m_state->syncRecording();
    if (!shown)
        throw std::runtime_error("the test window was never shown");
    return window;
}

void XKeyRecorder::focus(TestWindow window) {
    std::scoped_lock lock(m_state->queryMutex);
    Display* display = m_state->recording;
    const Window root = DefaultRootWindow(display);
    XRaiseWindow(display, window);
    // A window manager is asked as a taskbar would: it may take focus set behind its back
    // to the window it thinks is active.
    if (XGetSelectionOwner(display, XInternAtom(display, "WM_S0", False)) != None) {
        XEvent activate{};
        activate.xclient.type = ClientMessage;
        activate.xclient.window = window;
        activate.xclient.message_type = XInternAtom(display, "_NET_ACTIVE_WINDOW", False);
        activate.xclient.format = 32;
        activate.xclient.data.l[0] = 2; // from a pager or taskbar: always honoured
        XSendEvent(display, root, False, SubstructureRedirectMask | SubstructureNotifyMask,
                   &activate);
    } else {
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
    }
    eventually([&] {
        Window focused = None;
        int revertTo = 0;
        XGetInputFocus(display, &focused, &revertTo);
        return focused == window;
    });
    m_state->syncRecording();
}

void XKeyRecorder::destroy(TestWindow window) {
    std::scoped_lock lock(m_state->queryMutex);
    XDestroyWindow(m_state->recording, window);
    m_state->syncRecording();
}

void XKeyRecorder::movePointerTo(TestWindow window) {
    std::scoped_lock lock(m_state->queryMutex);
    Display* display = m_state->recording;
    // The test windows sit along the top edge; the bottom right corner is bare.
    if (window == 0)
        XWarpPointer(display, None, DefaultRootWindow(display), 0, 0, 0, 0, 630, 470);
    else
        XWarpPointer(display, None, window, 0, 0, 0, 0, 50, 50);
    m_state->syncRecording();
}

std::vector<RecordedKey> XKeyRecorder::keysAt(TestWindow window) const {
    std::scoped_lock lock(m_state->mutex);
    const auto found = m_state->windowKeys.find(window);
    return found != m_state->windowKeys.end() ? found->second : std::vector<RecordedKey>{};
}

void XKeyRecorder::typeKey(const std::string& keysymName, bool down) {
    std::scoped_lock lock(m_state->queryMutex);
    const KeyCode keycode = XKeysymToKeycode(m_state->query, keysym(keysymName));
    XTestFakeKeyEvent(m_state->query, keycode, down ? True : False, 0);
    XSync(m_state->query, False);
}

bool XKeyRecorder::grabKeyboard(TestWindow window) {
    std::scoped_lock lock(m_state->queryMutex);
    const int status =
        XGrabKeyboard(m_state->recording, window, False, GrabModeAsync, GrabModeAsync, CurrentTime);
    m_state->syncRecording();
    return status == GrabSuccess;
}

void XKeyRecorder::grabKey(const std::string& keysymName) {
    std::scoped_lock lock(m_state->queryMutex);
    Display* display = m_state->query;
    XGrabKey(display, XKeysymToKeycode(display, keysym(keysymName)), AnyModifier,
             DefaultRootWindow(display), False, GrabModeAsync, GrabModeAsync);
    XSync(display, False);
}

unsigned long XKeyRecorder::keysym(const std::string& name) {
    return XStringToKeysym(name.c_str());
}

std::string XKeyRecorder::keysymName(unsigned long keysym) {
    const char* name = XKeysymToString(keysym);
    return name != nullptr ? name : "NoSymbol";
}

} // namespace vindaro::test
