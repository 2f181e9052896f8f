#include "x_key_recorder.h"

#include <X11/XKBlib.h>
#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XInput2.h>
#include <X11/extensions/XTest.h>

#include <poll.h>

#include <array>
#include <map>
#include <stdexcept>
#include <thread>

namespace vindaro::test {

using Clock = std::chrono::steady_clock;

struct XKeyRecorder::State {
    Display* recording = nullptr; // the raw events, and the windows and grabs of the programs
    Display* query = nullptr;     // questions, XTest, the server grab
    int inputOpcode = 0;
    int windowCount = 0;
    std::vector<RecordedKey> events;
    std::map<TestWindow, std::vector<RecordedKey>> windowKeys;

    void take() {
        while (XPending(recording) > 0) {
            XEvent event;
            XNextEvent(recording, &event);
            const auto push = [&](unsigned keycode, bool pressed, Time time, TestWindow window) {
                const KeySym keysym = XkbKeycodeToKeysym(recording, KeyCode(keycode), 0, 0);
                (window == 0 ? events : windowKeys[window])
                    .push_back({keycode, keysym, pressed, std::uint32_t(time), Clock::now()});
            };
            XGenericEventCookie& cookie = event.xcookie;
            if (event.type == KeyPress || event.type == KeyRelease) {
                push(event.xkey.keycode, event.type == KeyPress, event.xkey.time,
                     event.xkey.window);
            } else if (cookie.type == GenericEvent && cookie.extension == inputOpcode &&
                       XGetEventData(recording, &cookie)) {
                const auto* raw = static_cast<const XIRawEvent*>(cookie.data);
                if ((raw->evtype == XI_RawKeyPress || raw->evtype == XI_RawKeyRelease) &&
                    (raw->flags & XIKeyRepeat) == 0)
                    push(unsigned(raw->detail), raw->evtype == XI_RawKeyPress, raw->time, 0);
                XFreeEventData(recording, &cookie);
            }
        }
    }

    // Asks `done` of the server for up to ten seconds, taking in keys meanwhile.
    bool until(const std::function<bool()>& done) {
        const auto deadline = Clock::now() + std::chrono::seconds(10);
        bool held = false;
        while (!(held = done()) && Clock::now() < deadline)
            std::this_thread::sleep_for(std::chrono::milliseconds(1));
        XSync(recording, False);
        take();
        return held;
    }
};

XKeyRecorder::XKeyRecorder(const std::string& displayName)
    : m_state(std::make_unique<State>()) {
    State& state = *m_state;
    state.recording = XOpenDisplay(displayName.c_str());
    state.query = XOpenDisplay(displayName.c_str());
    if (state.recording == nullptr || state.query == nullptr)
        throw std::runtime_error("cannot open display " + displayName);
    int unused = 0;
    int major = 2;
    int minor = 2; // from 2.1 on, raw events come during other clients' grabs too
    if (!XQueryExtension(state.recording, "XInputExtension", &state.inputOpcode, &unused,
                         &unused) ||
        XIQueryVersion(state.recording, &major, &minor) != Success)
        throw std::runtime_error("no XInput2 on " + displayName);
    std::array<unsigned char, XIMaskLen(XI_LASTEVENT)> mask{};
    XISetMask(mask.data(), XI_RawKeyPress);
    XISetMask(mask.data(), XI_RawKeyRelease);
    XIEventMask selection{XIAllMasterDevices, static_cast<int>(mask.size()), mask.data()};
    XISelectEvents(state.recording, DefaultRootWindow(state.recording), &selection, 1);
    XSync(state.recording, False);
}

XKeyRecorder::~XKeyRecorder() {
    XCloseDisplay(m_state->recording);
    XCloseDisplay(m_state->query);
}

std::vector<RecordedKey> XKeyRecorder::events() const {
    m_state->take();
    return m_state->events;
}

std::vector<RecordedKey> XKeyRecorder::waitForEvents(std::size_t count,
                                                     std::chrono::milliseconds timeout) const {
    return waitUntil([count](const auto& events) { return events.size() >= count; }, timeout);
}

std::vector<RecordedKey>
XKeyRecorder::waitUntil(const std::function<bool(const std::vector<RecordedKey>&)>& done,
                        std::chrono::milliseconds timeout) const {
    const auto deadline = Clock::now() + timeout;
    for (m_state->take(); !done(m_state->events); m_state->take()) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0)
            break;
        pollfd input{ConnectionNumber(m_state->recording), POLLIN, 0};
        poll(&input, 1, static_cast<int>(left.count()));
    }
    return m_state->events;
}

std::vector<unsigned> XKeyRecorder::keysDown() {
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
    grabbed ? XGrabServer(m_state->query) : XUngrabServer(m_state->query);
    XSync(m_state->query, False);
}

void XKeyRecorder::lockGroup(unsigned group) {
    XkbLockGroup(m_state->query, XkbUseCoreKbd, group);
    XSync(m_state->query, False);
}

void XKeyRecorder::swapKeyNames(unsigned keycode, unsigned otherKeycode) {
    XkbDescPtr keyboard = XkbGetMap(m_state->query, 0, XkbUseCoreKbd);
    if (keyboard == nullptr || XkbGetNames(m_state->query, XkbKeyNamesMask, keyboard) != Success)
        throw std::runtime_error("cannot read the key names");
    std::swap(keyboard->names->keys[keycode], keyboard->names->keys[otherKeycode]);
    XkbSetNames(m_state->query, XkbKeyNamesMask, keyboard->min_key_code, XkbNumKeys(keyboard),
                keyboard);
    XkbFreeKeyboard(keyboard, 0, True);
    XSync(m_state->query, False);
}

std::string XKeyRecorder::focusedWindowTitle() {
    Display* display = m_state->query;
    Window focus = 0;
    int revertTo = 0;
    XGetInputFocus(display, &focus, &revertTo);
    if (focus == None || focus == PointerRoot)
        return {};
    XTextProperty name{};
    std::string title;
    if (XGetTextProperty(display, focus, &name, XInternAtom(display, "_NET_WM_NAME", False)) &&
        name.value != nullptr) {
        title.assign(reinterpret_cast<const char*>(name.value), name.nitems);
        XFree(name.value);
    }
    return title;
}

TestWindow XKeyRecorder::createWindow(const std::string& title, const std::string& programClass,
                                      unsigned long pid) {
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
    set("_NET_WM_NAME", utf8, 8, title.data(), static_cast<int>(title.size()));
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
    if (!m_state->until([&] {
            return XGetWindowAttributes(display, window, &attributes) != 0 &&
                   attributes.map_state == IsViewable;
        }))
        throw std::runtime_error("the test window was never shown");
    return window;
}

void XKeyRecorder::focus(TestWindow window) {
    Display* display = m_state->recording;
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
        XSendEvent(display, DefaultRootWindow(display), False,
                   SubstructureRedirectMask | SubstructureNotifyMask, &activate);
    } else {
        XSetInputFocus(display, window, RevertToParent, CurrentTime);
    }
    m_state->until([&] {
        Window focused = None;
        int revertTo = 0;
        XGetInputFocus(display, &focused, &revertTo);
        return focused == window;
    });
}

void XKeyRecorder::destroy(TestWindow window) {
    XDestroyWindow(m_state->recording, window);
    m_state->until([] { return true; });
}

void XKeyRecorder::movePointerTo(TestWindow window) {
    Display* display = m_state->recording;
    // The test windows sit along the top edge; the bottom right corner is bare.
    const bool bare = window == 0;
    XWarpPointer(display, None, bare ? DefaultRootWindow(display) : window, 0, 0, 0, 0,
                 bare ? 630 : 50, bare ? 470 : 50);
    m_state->until([] { return true; });
}

std::vector<RecordedKey> XKeyRecorder::keysAt(TestWindow window) const {
    m_state->take();
    return m_state->windowKeys[window];
}

void XKeyRecorder::typeKey(const std::string& keysymName, bool down) {
    XSync(m_state->query, False); // reads a new keymap, if one came
    const KeyCode keycode = XKeysymToKeycode(m_state->query, keysym(keysymName));
    XTestFakeKeyEvent(m_state->query, keycode, down ? True : False, 0);
    XSync(m_state->query, False);
}

bool XKeyRecorder::grabKeyboard(TestWindow window) {
    const int status = window == 0 ? XUngrabKeyboard(m_state->recording, CurrentTime)
                                   : XGrabKeyboard(m_state->recording, window, False, GrabModeAsync,
                                                   GrabModeAsync, CurrentTime);
    m_state->until([] { return true; });
    return status == GrabSuccess;
}

void XKeyRecorder::grabKey(const std::string& keysymName) {
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
