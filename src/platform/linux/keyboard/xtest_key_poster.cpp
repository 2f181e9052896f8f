#include "xtest_key_poster.h"

#include "keyboard/key_map.h"
#include "platform/linux/x_display_opening.h"

#include <X11/XKBlib.h>
#include <X11/Xlib-xcb.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <xcb/xcb.h>
#include <xcb/xcbext.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <condition_variable>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace vindaro {

namespace {

struct Request {
    std::uint64_t ticket = 0;
    VirtualKeyCode code = 0;
    bool down = false;
};

using Settle = std::function<void(std::uint64_t ticket, KeyDelivery delivery)>;

} // namespace

// One Xlib display connection with XTEST and XKB. Used only by the poster's thread.
class XTestConnection {
public:
    static std::unique_ptr<XTestConnection> open(const std::string& displayName);
    ~XTestConnection();

    XTestConnection(const XTestConnection&) = delete;
    XTestConnection& operator=(const XTestConnection&) = delete;

    Display* display() const { return m_display; }
    int socket() const { return ConnectionNumber(m_display); }

    // Sends one key event; `settle` hears of it once the server has processed it, or at once
    // when the keyboard has no such key.
    void send(const Request& request, const Settle& settle);
    // Sends what is buffered and reads what the server has sent, without waiting.
    void exchange(const Settle& settle);
    // Fails every event still unconfirmed: for a connection that broke or is being closed.
    void failUnconfirmed(const Settle& settle);

    // Set by the error handlers below while this connection is in use on the calling thread.
    bool broken = false;
    std::vector<unsigned long> failedRequests;

private:
    explicit XTestConnection(Display* display)
        : m_display(display)
        , m_xcb(XGetXCBConnection(display)) {}
    bool resolveKeys();
    void confirm(const Settle& settle);
    void settleReady(const Settle& settle);

    // A key event on its way: the serial number of its request, and the request whose reply says
    // the server has processed it.
    struct InFlight {
        std::uint64_t ticket;
        unsigned long request;
        unsigned int confirmation;
        bool notSent; // no key for it: fails once the events before it are settled
    };

    Display* const m_display;
    xcb_connection_t* const m_xcb;
    int m_xkbEventBase = 0;
    bool m_keymapStale = true;
    // X keycode of each virtual key code, 0 where the keyboard has no such key.
    std::array<KeyCode, 128> m_keycodes{};
    // The keycode each key went down at, for its key-up, whatever keymap came meanwhile.
    std::array<KeyCode, 128> m_downAt{};
    std::deque<InFlight> m_inFlight;
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
        t_inUse->failedRequests.push_back(error->serial);
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

std::string_view keyNameOf(const char* field) {
    return {field, strnlen(field, XkbKeyNameLength)};
}

// The keycode the keyboard gives the key called `name`, directly or through an alias; 0 if none.
KeyCode keycodeNamed(const XkbDescRec& keyboard, XkbKeyName name) {
    const XkbNamesRec& names = *keyboard.names;
    for (int alias = 0; names.key_aliases != nullptr && alias < names.num_key_aliases; ++alias) {
        if (keyNameOf(names.key_aliases[alias].alias) == name)
            name = keyNameOf(names.key_aliases[alias].real);
    }
    for (int keycode = keyboard.min_key_code; keycode <= keyboard.max_key_code; ++keycode) {
        if (keyNameOf(names.keys[keycode].name) == name)
            return static_cast<KeyCode>(keycode);
    }
    return 0;
}

} // namespace

std::unique_ptr<XTestConnection> XTestConnection::open(const std::string& displayName) {
    installErrorHandlers();
    Display* display = nullptr;
    {
        const std::lock_guard opening(xDisplayOpening());
        display = XOpenDisplay(displayName.empty() ? nullptr : displayName.c_str());
    }
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
    // Key names come from XKB, which every X server of this century has.
    int opcode = 0;
    major = XkbMajorVersion;
    minor = XkbMinorVersion;
    if (!XkbQueryExtension(display, &opcode, &connection->m_xkbEventBase, &errorBase, &major,
                           &minor))
        return nullptr;
    // Any of these may give a key another keycode or name.
    constexpr unsigned keymapChanges =
        XkbNewKeyboardNotifyMask | XkbMapNotifyMask | XkbNamesNotifyMask;
    XkbSelectEvents(display, XkbUseCoreKbd, keymapChanges, keymapChanges);
    // Our key events must get through even while another client has grabbed the server.
    XTestGrabControl(display, True);
    XSync(display, False);
    if (connection->broken || !connection->failedRequests.empty())
        return nullptr;
    return connection;
}

XTestConnection::~XTestConnection() {
    InUse inUse(*this);
    XCloseDisplay(m_display);
}

bool XTestConnection::resolveKeys() {
    m_keycodes.fill(0);
    XkbDescPtr keyboard = XkbGetMap(m_display, 0, XkbUseCoreKbd);
    if (keyboard == nullptr)
        return false;
    const bool named =
        XkbGetNames(m_display, XkbKeyNamesMask | XkbKeyAliasesMask, keyboard) == Success &&
        keyboard->names != nullptr && keyboard->names->keys != nullptr;
    if (named) {
        for (const KeyName& key : KeyMap::values()) {
            if (key.code < m_keycodes.size())
                m_keycodes[key.code] = keycodeNamed(*keyboard, key.xkbName);
        }
    }
    XkbFreeKeyboard(keyboard, 0, True);
    return named;
}

void XTestConnection::send(const Request& request, const Settle& settle) {
    InUse inUse(*this);
    if (m_keymapStale)
        m_keymapStale = !resolveKeys();
    KeyCode keycode = 0;
    if (request.code < m_keycodes.size()) {
        KeyCode& downAt = m_downAt[request.code];
        keycode = request.down || downAt == 0 ? m_keycodes[request.code] : downAt;
        downAt = request.down ? keycode : 0;
    }
    if (keycode == 0 || broken) {
        m_inFlight.push_back({request.ticket, 0, 0, true});
        settleReady(settle);
        return;
    }
    // XTest events carry no user-data field, so the tag that marks this agent's events where
    // the system offers one ("VDRO", 0x5644524F) has nowhere to go here.
    // Delay 0: a delayed fake event stalls this whole connection in the server; the hold and
    // gap timing is the executor's.
    XTestFakeKeyEvent(m_display, keycode, request.down ? True : False, 0);
    // Read after the call: requests sent through XCB below move the count Xlib keeps.
    const unsigned long serial = XNextRequest(m_display) - 1;
    // The reply to a request sent after it says the server has processed the event. A reply, not
    // an event: while another client grabs the server, Xvfb and Xorg sometimes hold back events
    // for a client that is impervious to the grab, but never its replies. Asked through XCB,
    // whose replies can be waited for with a bound, where Xlib's cannot.
    const unsigned int confirmation = xcb_get_input_focus(m_xcb).sequence;
    m_inFlight.push_back({request.ticket, serial, confirmation, false});
}

void XTestConnection::exchange(const Settle& settle) {
    InUse inUse(*this);
    bool lookedUp = false;
    for (;;) {
        // XPending sends our requests, reads what has arrived without blocking, and hands the
        // errors among it to the error handler.
        for (bool confirmed = true; confirmed && !broken;) {
            while (!broken && XPending(m_display) > 0) {
                XEvent event;
                XNextEvent(m_display, &event);
                // Also sent whenever another device (a real keyboard, or our XTest one) takes
                // over the core keyboard, whose keymap is then that device's.
                const int kind = reinterpret_cast<const XkbEvent&>(event).any.xkb_type;
                if (event.type == m_xkbEventBase &&
                    (kind == XkbNewKeyboardNotify || kind == XkbMapNotify ||
                     kind == XkbNamesNotify))
                    m_keymapStale = true;
            }
            // Replies come in order: once the first is in, any error of its event has been read
            // before it, and the next round of XPending hands that to the handler first.
            confirmed = false;
            void* reply = nullptr;
            xcb_generic_error_t* error = nullptr;
            if (!broken && !m_inFlight.empty() && !m_inFlight.front().notSent &&
                xcb_poll_for_reply(m_xcb, m_inFlight.front().confirmation, &reply, &error) != 0) {
                std::free(reply);
                std::free(error);
                XPending(
                    m_display); // the error of the event, if there was one, reaches the handler
                confirm(settle);
                confirmed = true;
            }
        }
        if (broken || !m_keymapStale || lookedUp)
            return;
        // Looked up now rather than when the next key waits for it; what arrives meanwhile is
        // read in the next round. A failed look-up is tried again by the next key.
        m_keymapStale = !resolveKeys();
        lookedUp = true;
    }
}

void XTestConnection::confirm(const Settle& settle) {
    const InFlight confirmed = m_inFlight.front();
    m_inFlight.pop_front();
    bool failed = false;
    std::erase_if(failedRequests, [&](unsigned long serial) {
        failed = failed || serial == confirmed.request;
        return serial <= confirmed.request;
    });
    settle(confirmed.ticket, failed ? KeyDelivery::failed : KeyDelivery::delivered);
    settleReady(settle);
}

void XTestConnection::failUnconfirmed(const Settle& settle) {
    for (const InFlight& event : m_inFlight)
        settle(event.ticket, KeyDelivery::failed);
    m_inFlight.clear();
}

void XTestConnection::settleReady(const Settle& settle) {
    while (!m_inFlight.empty() && m_inFlight.front().notSent) {
        settle(m_inFlight.front().ticket, KeyDelivery::failed);
        m_inFlight.pop_front();
    }
}

// What callers and the poster's thread share.
struct XTestKeyPoster::State {
    explicit State(std::string name)
        : displayName(std::move(name))
        , wakeFd(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~State() {
        if (wakeFd >= 0)
            close(wakeFd);
    }
    State(const State&) = delete;
    State& operator=(const State&) = delete;

    void run();
    void wake() const {
        const std::uint64_t one = 1;
        static_cast<void>(write(wakeFd, &one, sizeof one));
    }
    void settle(std::uint64_t ticket, KeyDelivery delivery);
    void setMayPost(bool allowed);
    void setSocket(int socket);

    const std::string displayName;
    const int wakeFd;

    std::mutex mutex;
    std::condition_variable changed;
    std::deque<Request> requests;
    // Every ticket not yet answered delivered or failed, by number; map iterators stay valid.
    std::map<std::uint64_t, KeyDelivery> outcomes;
    std::uint64_t lastTicket = 0;
    bool mayPost = false;
    bool lookAgain = true;
    bool stopping = false;
    bool finished = false;
    // A copy of the connection's socket, so that leaving can cut a read that never ends.
    int socketCopy = -1;

    // Held while the handler runs, so that replacing it waits for a call in progress.
    std::mutex handlerMutex;
    PermissionHandler onPermission;
};

void XTestKeyPoster::State::settle(std::uint64_t ticket, KeyDelivery delivery) {
    {
        std::scoped_lock lock(mutex);
        // A ticket nobody waits for any more has been forgotten already.
        if (const auto found = outcomes.find(ticket); found != outcomes.end())
            found->second = delivery;
    }
    changed.notify_all();
}

void XTestKeyPoster::State::setMayPost(bool allowed) {
    {
        std::scoped_lock lock(mutex);
        if (mayPost == allowed)
            return;
        mayPost = allowed;
    }
    std::scoped_lock lock(handlerMutex);
    if (onPermission)
        onPermission(allowed);
}

void XTestKeyPoster::State::setSocket(int socket) {
    std::scoped_lock lock(mutex);
    if (socketCopy >= 0)
        close(socketCopy);
    socketCopy = socket >= 0 ? fcntl(socket, F_DUPFD_CLOEXEC, 0) : -1;
}

void XTestKeyPoster::State::run() {
    const Settle settleTicket = [this](std::uint64_t ticket, KeyDelivery delivery) {
        settle(ticket, delivery);
    };
    std::unique_ptr<XTestConnection> connection;
    for (;;) {
        std::deque<Request> batch;
        bool open = false;
        bool leaving = false;
        {
            std::scoped_lock lock(mutex);
            batch.swap(requests);
            open = std::exchange(lookAgain, false);
            leaving = stopping;
        }
        if (!connection && !leaving && (open || !batch.empty())) {
            connection = XTestConnection::open(displayName);
            setSocket(connection ? connection->socket() : -1);
            setMayPost(connection != nullptr);
        }
        if (connection) {
            // Keymap changes that have arrived are seen before the keys are looked up.
            connection->exchange(settleTicket);
            for (const Request& request : batch)
                connection->send(request, settleTicket);
            connection->exchange(settleTicket);
        } else {
            for (const Request& request : batch)
                settle(request.ticket, KeyDelivery::failed);
        }
        if (connection && connection->broken) {
            // Closed at once, on this thread: Xlib may leave a failed connection locked to the
            // thread that saw the failure.
            connection->failUnconfirmed(settleTicket);
            connection.reset();
            setSocket(-1);
            setMayPost(false);
            // One look at once, in case the server is back already; later ones when asked.
            std::scoped_lock lock(mutex);
            lookAgain = true;
            continue;
        }
        if (leaving)
            break;
        std::array<pollfd, 2> sources = {
            {{wakeFd, POLLIN, 0}, {connection ? connection->socket() : -1, POLLIN, 0}}};
        if (poll(sources.data(), sources.size(), -1) < 0 && errno != EINTR)
            break;
        std::uint64_t wakes = 0;
        static_cast<void>(read(wakeFd, &wakes, sizeof wakes));
    }
    // Closing waits for the server to take what was sent; a stalled one is cut off by the
    // destructor through the socket copy.
    if (connection) {
        connection->failUnconfirmed(settleTicket);
        connection.reset();
    }
    setSocket(-1);
    std::scoped_lock lock(mutex);
    for (auto& [ticket, delivery] : outcomes) {
        if (delivery == KeyDelivery::pending)
            delivery = KeyDelivery::failed;
    }
    requests.clear();
    finished = true;
    changed.notify_all();
}

XTestKeyPoster::XTestKeyPoster(std::string displayName)
    : m_state(std::make_shared<State>(std::move(displayName)))
    , m_thread([state = m_state] { state->run(); }) {}

XTestKeyPoster::~XTestKeyPoster() {
    {
        std::scoped_lock lock(m_state->mutex);
        m_state->stopping = true;
    }
    m_state->wake();
    std::unique_lock lock(m_state->mutex);
    const auto isFinished = [this] { return m_state->finished; };
    if (!m_state->changed.wait_for(lock, shutdownLimit / 2, isFinished)) {
        // The server has stopped answering while the thread waits for it. Cutting the socket
        // ends the wait.
        if (m_state->socketCopy >= 0)
            shutdown(m_state->socketCopy, SHUT_RDWR);
        m_state->changed.wait_for(lock, shutdownLimit / 2, isFinished);
    }
    const bool finished = m_state->finished;
    lock.unlock();
    // Still opening a display that never answers: the thread keeps the shared state alive and
    // ends with the process.
    if (finished)
        m_thread.join();
    else
        m_thread.detach();
}

bool XTestKeyPoster::mayPostEvents() {
    {
        std::scoped_lock lock(m_state->mutex);
        if (m_state->mayPost)
            return true;
        m_state->lookAgain = true;
    }
    m_state->wake();
    return false;
}

bool XTestKeyPoster::postKey(VirtualKeyCode code, KeyDirection direction) {
    const KeyTicket ticket = sendKey(code, direction);
    const KeyDelivery delivery =
        awaitKey(ticket, std::chrono::steady_clock::now() + confirmationTimeout);
    if (delivery == KeyDelivery::pending) {
        std::scoped_lock lock(m_state->mutex);
        m_state->outcomes.erase(static_cast<std::uint64_t>(ticket));
    }
    return delivery == KeyDelivery::delivered;
}

KeyTicket XTestKeyPoster::sendKey(VirtualKeyCode code, KeyDirection direction) {
    std::uint64_t ticket = 0;
    {
        std::scoped_lock lock(m_state->mutex);
        ticket = ++m_state->lastTicket;
        if (m_state->stopping) {
            m_state->outcomes.emplace(ticket, KeyDelivery::failed);
            return KeyTicket{ticket};
        }
        m_state->outcomes.emplace(ticket, KeyDelivery::pending);
        m_state->requests.push_back({ticket, code, direction == KeyDirection::down});
    }
    m_state->wake();
    return KeyTicket{ticket};
}

KeyDelivery XTestKeyPoster::awaitKey(KeyTicket ticket,
                                     std::chrono::steady_clock::time_point deadline) {
    std::unique_lock lock(m_state->mutex);
    const auto found = m_state->outcomes.find(static_cast<std::uint64_t>(ticket));
    if (found == m_state->outcomes.end())
        return KeyDelivery::failed;
    m_state->changed.wait_until(lock, deadline,
                                [&] { return found->second != KeyDelivery::pending; });
    const KeyDelivery delivery = found->second;
    if (delivery != KeyDelivery::pending)
        m_state->outcomes.erase(found);
    return delivery;
}

void XTestKeyPoster::setPermissionHandler(PermissionHandler handler) {
    std::scoped_lock lock(m_state->handlerMutex);
    m_state->onPermission = std::move(handler);
}

} // namespace vindaro
