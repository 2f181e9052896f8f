#include "xtest_key_poster.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <poll.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <memory>
#include <mutex>
#include <optional>
#include <utility>

namespace vindaro {

namespace {

struct MacKey {
    std::uint16_t code;
    KeySym keysym;
};

// macOS virtual key codes of the keys the service may ask for, and the X keysym of each.
constexpr std::array<MacKey, 59> macKeys = {{
    {0, XK_a},          {11, XK_b},         {8, XK_c},       {2, XK_d},       {14, XK_e},
    {3, XK_f},          {5, XK_g},          {4, XK_h},       {34, XK_i},      {38, XK_j},
    {40, XK_k},         {37, XK_l},         {46, XK_m},      {45, XK_n},      {31, XK_o},
    {35, XK_p},         {12, XK_q},         {15, XK_r},      {1, XK_s},       {17, XK_t},
    {32, XK_u},         {9, XK_v},          {13, XK_w},      {7, XK_x},       {16, XK_y},
    {6, XK_z},          {29, XK_0},         {18, XK_1},      {19, XK_2},      {20, XK_3},
    {21, XK_4},         {23, XK_5},         {22, XK_6},      {26, XK_7},      {28, XK_8},
    {25, XK_9},         {49, XK_space},     {36, XK_Return}, {48, XK_Tab},    {53, XK_Escape},
    {126, XK_Up},       {125, XK_Down},     {123, XK_Left},  {124, XK_Right}, {56, XK_Shift_L},
    {59, XK_Control_L}, {51, XK_BackSpace}, // the key macOS calls Delete
    {122, XK_F1},       {120, XK_F2},       {99, XK_F3},     {118, XK_F4},    {96, XK_F5},
    {97, XK_F6},        {98, XK_F7},        {100, XK_F8},    {101, XK_F9},    {109, XK_F10},
    {103, XK_F11},      {111, XK_F12},
}};

std::optional<KeySym> keysymForMacKey(std::uint16_t code) {
    const auto found = std::ranges::find(macKeys, code, &MacKey::code);
    if (found == macKeys.end())
        return std::nullopt;
    return found->keysym;
}

} // namespace

// One Xlib display connection with XTEST. Used only under XTestKeyPoster's mutex.
class XTestConnection {
public:
    static std::unique_ptr<XTestConnection> open(const std::string& displayName);
    ~XTestConnection();

    XTestConnection(const XTestConnection&) = delete;
    XTestConnection& operator=(const XTestConnection&) = delete;

    // Reads what the server has sent without waiting; false once the connection has broken.
    bool isAlive();
    bool post(KeySym keysym, bool down);
    Display* display() const { return m_display; }

    // Set by the error handlers below while this connection is in use on the calling thread.
    bool broken = false;
    bool requestFailed = false;

private:
    explicit XTestConnection(Display* display)
        : m_display(display) {}
    bool confirmProcessed();
    void processEvents();

    Display* const m_display;
    Window m_window = 0;
    Atom m_confirmAtom = 0;
    unsigned m_unconfirmed = 0;
};

namespace {

// Xlib reports errors through process-wide handlers, and its default ones end the process. Ours
// recognise the connection the calling thread is using and leave every other display to the
// handlers that were installed before.
thread_local XTestConnection* t_inUse = nullptr;
XErrorHandler previousErrorHandler = nullptr;
XIOErrorHandler previousIOErrorHandler = nullptr;

int handleXError(Display* display, XErrorEvent* error) {
    if (t_inUse != nullptr && display == t_inUse->display()) {
        t_inUse->requestFailed = true;
        return 0;
    }
    return previousErrorHandler != nullptr ? previousErrorHandler(display, error) : 0;
}

int handleXIOError(Display* display) {
    // Returning lets Xlib call the connection's exit handler, which marks it broken instead of
    // ending the process.
    if (t_inUse != nullptr && display == t_inUse->display())
        return 0;
    return previousIOErrorHandler != nullptr ? previousIOErrorHandler(display) : 0;
}

void markBroken(Display*, void* connection) {
    static_cast<XTestConnection*>(connection)->broken = true;
}

void installErrorHandlers() {
    static std::once_flag installed;
    std::call_once(installed, [] {
        previousErrorHandler = XSetErrorHandler(handleXError);
        previousIOErrorHandler = XSetIOErrorHandler(handleXIOError);
    });
}

// Marks a connection as the one the calling thread is using, for the error handlers.
class InUse {
public:
    explicit InUse(XTestConnection& connection)
        : m_previous(std::exchange(t_inUse, &connection)) {}
    ~InUse() { t_inUse = m_previous; }
    InUse(const InUse&) = delete;
    InUse& operator=(const InUse&) = delete;

private:
    XTestConnection* m_previous;
};

} // namespace

std::unique_ptr<XTestConnection> XTestConnection::open(const std::string& displayName) {
    installErrorHandlers();
    Display* display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    if (display == nullptr)
        return nullptr;
    std::unique_ptr<XTestConnection> connection(new XTestConnection(display));
    InUse inUse(*connection);
    XSetIOErrorExitHandler(display, markBroken, connection.get());

    int eventBase = 0;
    int errorBase = 0;
    int major = 0;
    int minor = 0;
    if (!XTestQueryExtension(display, &eventBase, &errorBase, &major, &minor))
        return nullptr;
    // Our key events must get through even while another client has grabbed the server.
    XTestGrabControl(display, True);
    // A window of our own whose property changes tell us the server has reached our requests.
    XSetWindowAttributes attributes{};
    attributes.event_mask = PropertyChangeMask;
    connection->m_window = XCreateWindow(display, DefaultRootWindow(display), 0, 0, 1, 1, 0, 0,
                                         InputOnly, CopyFromParent, CWEventMask, &attributes);
    connection->m_confirmAtom = XInternAtom(display, "VINDARO_KEY_CONFIRM", False);
    if (connection->broken || connection->requestFailed)
        return nullptr;
    return connection;
}

XTestConnection::~XTestConnection() {
    InUse inUse(*this);
    XCloseDisplay(m_display);
}

bool XTestConnection::isAlive() {
    InUse inUse(*this);
    if (!broken)
        XEventsQueued(m_display, QueuedAfterReading);
    processEvents();
    return !broken;
}

bool XTestConnection::post(KeySym keysym, bool down) {
    InUse inUse(*this);
    const KeyCode keycode = XKeysymToKeycode(m_display, keysym);
    if (keycode == 0)
        return false;
    requestFailed = false;
    // XTest events carry no user-data field, so the tag that marks this agent's events where
    // the system offers one ("VDRO", 0x5644524F) has nowhere to go here.
    // Delay 0: a delayed fake event stalls this whole connection in the server; the hold and
    // gap timing is the executor's.
    XTestFakeKeyEvent(m_display, keycode, down ? True : False, 0);
    XFlush(m_display);
    return confirmProcessed() && !requestFailed;
}

bool XTestConnection::confirmProcessed() {
    // A zero-length append still makes the server report a property change, after it has
    // processed everything we sent before. Reading with poll() keeps a stalled server from
    // holding us forever, which XSync() would not.
    XChangeProperty(m_display, m_window, m_confirmAtom, XA_CARDINAL, 32, PropModeAppend, nullptr,
                    0);
    ++m_unconfirmed;
    const auto deadline = std::chrono::steady_clock::now() + XTestKeyPoster::confirmationTimeout;
    for (;;) {
        processEvents();
        if (broken)
            return false;
        if (m_unconfirmed == 0)
            return true;
        const auto remaining = std::chrono::ceil<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            return false;
        pollfd socket{ConnectionNumber(m_display), POLLIN, 0};
        if (poll(&socket, 1, static_cast<int>(remaining.count())) < 0 && errno != EINTR)
            return false;
    }
}

void XTestConnection::processEvents() {
    // XPending flushes our requests and reads what has arrived without blocking.
    while (!broken && XPending(m_display) > 0) {
        XEvent event;
        XNextEvent(m_display, &event);
        if (event.type == MappingNotify) {
            // Keep Xlib's keysym-to-keycode table in step with the server's keyboard.
            XRefreshKeyboardMapping(&event.xmapping);
        } else if (event.type == PropertyNotify && event.xproperty.window == m_window &&
                   m_unconfirmed > 0) {
            --m_unconfirmed;
        }
    }
}

XTestKeyPoster::XTestKeyPoster(std::string displayName)
    : m_displayName(std::move(displayName)) {}

XTestKeyPoster::~XTestKeyPoster() = default;

// Xlib leaves a connection that failed locked to the thread that saw the failure, so a broken
// connection is closed at once, on that thread, before our mutex lets anyone else near it.

bool XTestKeyPoster::mayPostEvents() {
    std::scoped_lock lock(m_mutex);
    if (m_connection && !m_connection->isAlive())
        m_connection.reset();
    return connection() != nullptr;
}

bool XTestKeyPoster::postKey(std::uint16_t code, KeyDirection direction) {
    const auto keysym = keysymForMacKey(code);
    if (!keysym)
        return false;
    std::scoped_lock lock(m_mutex);
    XTestConnection* open = connection();
    if (open == nullptr)
        return false;
    const bool posted = open->post(*keysym, direction == KeyDirection::down);
    if (open->broken)
        m_connection.reset();
    return posted;
}

XTestConnection* XTestKeyPoster::connection() {
    if (!m_connection)
        m_connection = XTestConnection::open(m_displayName);
    return m_connection.get();
}

} // namespace vindaro
