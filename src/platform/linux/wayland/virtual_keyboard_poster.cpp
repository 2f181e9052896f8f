#include "virtual_keyboard_poster.h"

#include "evdev_key_codes.h"
#include "virtual-keyboard-unstable-v1-client-protocol.h"

#include <wayland-client.h>

#include <fcntl.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/mman.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <atomic>
#include <cerrno>
#include <condition_variable>
#include <cstring>
#include <ctime>
#include <mutex>
#include <set>
#include <thread>
#include <utility>

namespace vindaro {

namespace {

using Clock = std::chrono::steady_clock;

const std::string compositorGoneLine = "การเชื่อมต่อกับคอมโพสิเตอร์ Wayland ขาดไป จึงส่งคีย์ไม่ได้";
const std::string keyboardWithdrawnLine = "คอมโพสิเตอร์ Wayland ถอนคีย์บอร์ดเสมือนออก จึงส่งคีย์ไม่ได้";

// Key events carry a time in milliseconds from an arbitrary base; the monotonic clock is the one
// the kernel stamps hardware input with.
std::uint32_t nowMs() {
    timespec now{};
    clock_gettime(CLOCK_MONOTONIC, &now);
    return static_cast<std::uint32_t>(now.tv_sec * 1000 + now.tv_nsec / 1'000'000);
}

int millisecondsUntil(Clock::time_point deadline) {
    const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
    return static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
}

class FileDescriptor {
public:
    explicit FileDescriptor(int fd)
        : m_fd(fd) {}
    ~FileDescriptor() {
        if (m_fd >= 0)
            close(m_fd);
    }
    FileDescriptor(const FileDescriptor&) = delete;
    FileDescriptor& operator=(const FileDescriptor&) = delete;
    int get() const { return m_fd; }

private:
    int m_fd;
};

// A sealed in-memory file with the keymap and its closing NUL, as wl_keyboard.keymap expects.
int keymapFile(const std::string& text) {
    const int fd = memfd_create("vindaro-keymap", MFD_CLOEXEC | MFD_ALLOW_SEALING);
    if (fd < 0)
        return -1;
    const char* data = text.c_str();
    std::size_t left = text.size() + 1;
    while (left > 0) {
        const ssize_t written = write(fd, data, left);
        if (written < 0 && errno == EINTR)
            continue;
        if (written <= 0) {
            close(fd);
            return -1;
        }
        data += written;
        left -= static_cast<std::size_t>(written);
    }
    fcntl(fd, F_ADD_SEALS, F_SEAL_SHRINK | F_SEAL_GROW | F_SEAL_WRITE | F_SEAL_SEAL);
    return fd;
}

} // namespace

// The Wayland side: the display connection, the keyboard and the thread that reads the
// compositor's events. Everything of libwayland's dispatching happens under m_mutex, so a sync
// callback's listener is always in place before its answer can be dispatched.
class VirtualKeyboardConnection {
public:
    VirtualKeyboardConnection(wl_display* display, EvdevKeyCodes codes)
        : m_display(display)
        , m_codes(std::move(codes))
        , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {}
    ~VirtualKeyboardConnection();

    VirtualKeyboardConnection(const VirtualKeyboardConnection&) = delete;
    VirtualKeyboardConnection& operator=(const VirtualKeyboardConnection&) = delete;

    // Binds the globals, makes the keyboard and uploads the keymap; the thread has not started.
    bool setUp();
    void startReading() {
        m_reader = std::thread([this] { read(); });
    }

    bool usable() const { return m_alive && m_offered; }
    bool post(VirtualKeyCode code, KeyDirection direction);
    void setOnLost(VirtualKeyboardPoster::LossHandler handler);

private:
    static void global(void* data, wl_registry* registry, std::uint32_t name, const char* interface,
                       std::uint32_t version);
    static void globalRemoved(void* data, wl_registry* registry, std::uint32_t name);
    static void answered(void* data, wl_callback* callback, std::uint32_t serial);
    static constexpr wl_registry_listener registryListener{global, globalRemoved};
    static constexpr wl_callback_listener answerListener{answered};

    // Before the reader runs: dispatches on this thread until the compositor has answered
    // everything sent so far, or the deadline passes.
    bool roundTrip(Clock::time_point deadline);
    void read();
    void lose(const std::string& line);
    void wakeReader() const;

    wl_display* const m_display;
    const EvdevKeyCodes m_codes;
    const FileDescriptor m_wake;
    wl_registry* m_registry = nullptr;
    wl_seat* m_seat = nullptr;
    std::uint32_t m_seatName = 0;
    zwp_virtual_keyboard_manager_v1* m_manager = nullptr;
    std::uint32_t m_managerName = 0;
    zwp_virtual_keyboard_v1* m_keyboard = nullptr;

    std::atomic<bool> m_alive{true};
    std::atomic<bool> m_offered{true};

    std::mutex m_mutex;
    std::condition_variable m_answeredChanged;
    std::uint64_t m_sent = 0;
    std::uint64_t m_answered = 0;
    std::set<wl_callback*> m_unanswered;
    std::set<VirtualKeyCode> m_heldModifiers;
    std::string m_withdrawnLine; // set by globalRemoved, reported by the reader
    bool m_stopping = false;

    std::mutex m_lossMutex;
    VirtualKeyboardPoster::LossHandler m_onLost;
    std::string m_lossLine;

    std::thread m_reader;
};

void VirtualKeyboardConnection::global(void* data, wl_registry* registry, std::uint32_t name,
                                       const char* interface, std::uint32_t) {
    auto* self = static_cast<VirtualKeyboardConnection*>(data);
    // The first seat is the one the desktop's own keyboard belongs to.
    if (self->m_seat == nullptr && std::strcmp(interface, wl_seat_interface.name) == 0) {
        self->m_seat =
            static_cast<wl_seat*>(wl_registry_bind(registry, name, &wl_seat_interface, 1));
        self->m_seatName = name;
    } else if (self->m_manager == nullptr &&
               std::strcmp(interface, zwp_virtual_keyboard_manager_v1_interface.name) == 0) {
        self->m_manager = static_cast<zwp_virtual_keyboard_manager_v1*>(
            wl_registry_bind(registry, name, &zwp_virtual_keyboard_manager_v1_interface, 1));
        self->m_managerName = name;
    }
}

void VirtualKeyboardConnection::globalRemoved(void* data, wl_registry*, std::uint32_t name) {
    auto* self = static_cast<VirtualKeyboardConnection*>(data);
    if ((self->m_seat != nullptr && name == self->m_seatName) ||
        (self->m_manager != nullptr && name == self->m_managerName)) {
        self->m_offered = false;
        self->m_withdrawnLine = keyboardWithdrawnLine;
    }
}

void VirtualKeyboardConnection::answered(void* data, wl_callback* callback, std::uint32_t) {
    auto* self = static_cast<VirtualKeyboardConnection*>(data);
    // Answers come in the order the round trips were sent, so a count says which are done.
    ++self->m_answered;
    self->m_unanswered.erase(callback);
    wl_callback_destroy(callback);
    self->m_answeredChanged.notify_all();
}

bool VirtualKeyboardConnection::setUp() {
    if (m_wake.get() < 0)
        return false;
    const auto deadline = Clock::now() + VirtualKeyboardPoster::setupTimeout;
    m_registry = wl_display_get_registry(m_display);
    wl_registry_add_listener(m_registry, &registryListener, this);
    if (!roundTrip(deadline) || m_seat == nullptr || m_manager == nullptr)
        return false;
    m_keyboard = zwp_virtual_keyboard_manager_v1_create_virtual_keyboard(m_manager, m_seat);
    const FileDescriptor keymap(keymapFile(m_codes.keymapText()));
    if (m_keyboard == nullptr || keymap.get() < 0)
        return false;
    // libwayland sends a copy of the descriptor, so ours may close when this returns.
    zwp_virtual_keyboard_v1_keymap(m_keyboard, WL_KEYBOARD_KEYMAP_FORMAT_XKB_V1, keymap.get(),
                                   static_cast<std::uint32_t>(m_codes.keymapText().size() + 1));
    // A compositor that refuses (an unauthorised client, say) ends the connection here.
    return roundTrip(deadline) && usable();
}

bool VirtualKeyboardConnection::roundTrip(Clock::time_point deadline) {
    bool done = false;
    wl_callback* callback = wl_display_sync(m_display);
    static constexpr wl_callback_listener doneListener{
        [](void* flag, wl_callback*, std::uint32_t) { *static_cast<bool*>(flag) = true; }};
    wl_callback_add_listener(callback, &doneListener, &done);
    for (;;) {
        if (wl_display_dispatch_pending(m_display) < 0)
            break;
        if (done)
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

void VirtualKeyboardConnection::read() {
    const auto dispatch = [this] {
        std::scoped_lock lock(m_mutex);
        const bool ok = wl_display_dispatch_pending(m_display) >= 0;
        return std::pair{ok, std::exchange(m_withdrawnLine, {})};
    };
    for (;;) {
        {
            std::scoped_lock lock(m_mutex);
            if (m_stopping)
                return;
        }
        for (;;) {
            if (wl_display_prepare_read(m_display) == 0)
                break;
            const auto [ok, withdrawn] = dispatch();
            if (!withdrawn.empty())
                lose(withdrawn);
            if (!ok)
                return lose(compositorGoneLine);
        }
        std::array<pollfd, 2> waitFor{pollfd{wl_display_get_fd(m_display), POLLIN, 0},
                                      pollfd{m_wake.get(), POLLIN, 0}};
        if (wl_display_flush(m_display) < 0 && errno == EAGAIN)
            waitFor[0].events |= POLLOUT;
        const int ready = poll(waitFor.data(), waitFor.size(), -1);
        if (ready > 0 && (waitFor[0].revents & (POLLIN | POLLHUP | POLLERR)) != 0) {
            if (wl_display_read_events(m_display) < 0)
                return lose(compositorGoneLine);
        } else {
            wl_display_cancel_read(m_display);
            if (ready < 0 && errno != EINTR)
                return lose(compositorGoneLine);
        }
        if ((waitFor[1].revents & POLLIN) != 0) {
            eventfd_t ignored = 0;
            eventfd_read(m_wake.get(), &ignored);
        }
        const auto [ok, withdrawn] = dispatch();
        if (!withdrawn.empty())
            lose(withdrawn);
        if (!ok)
            return lose(compositorGoneLine);
    }
}

void VirtualKeyboardConnection::lose(const std::string& line) {
    if (line == compositorGoneLine) {
        std::scoped_lock lock(m_mutex);
        m_alive = false;
        m_answeredChanged.notify_all();
    }
    VirtualKeyboardPoster::LossHandler handler;
    {
        std::scoped_lock lock(m_lossMutex);
        // The first loss is the one to report: a compositor that withdrew the keyboard and then
        // went away has already been reported.
        if (!m_lossLine.empty())
            return;
        m_lossLine = line;
        handler = m_onLost;
    }
    if (handler)
        handler(line);
}

void VirtualKeyboardConnection::setOnLost(VirtualKeyboardPoster::LossHandler handler) {
    std::string alreadyLost;
    {
        std::scoped_lock lock(m_lossMutex);
        m_onLost = handler;
        alreadyLost = m_lossLine;
    }
    if (handler && !alreadyLost.empty())
        handler(alreadyLost);
}

void VirtualKeyboardConnection::wakeReader() const {
    eventfd_write(m_wake.get(), 1);
}

bool VirtualKeyboardConnection::post(VirtualKeyCode code, KeyDirection direction) {
    const auto evdev = m_codes.code(code);
    if (!evdev)
        return false;
    const bool down = direction == KeyDirection::down;
    // A key that is down may still come up through a keyboard the compositor no longer offers
    // to new clients; nothing new goes down through it.
    if (down && !m_offered)
        return false;
    std::unique_lock lock(m_mutex);
    if (!m_alive || m_stopping)
        return false;
    zwp_virtual_keyboard_v1_key(m_keyboard, nowMs(), *evdev,
                                down ? WL_KEYBOARD_KEY_STATE_PRESSED
                                     : WL_KEYBOARD_KEY_STATE_RELEASED);
    // wlroots does not work out a virtual keyboard's modifiers from its keys: without this, a
    // held SHIFT is a key like any other to the window, and the next letter comes out small.
    // Sent after the key, in the order a hardware keyboard's arrive.
    if (m_codes.modifiers(code) != 0) {
        if (down)
            m_heldModifiers.insert(code);
        else
            m_heldModifiers.erase(code);
        std::uint32_t depressed = 0;
        for (const VirtualKeyCode held : m_heldModifiers)
            depressed |= m_codes.modifiers(held);
        zwp_virtual_keyboard_v1_modifiers(m_keyboard, depressed, 0, 0, 0);
    }
    wl_callback* callback = wl_display_sync(m_display);
    if (callback == nullptr)
        return false;
    wl_callback_add_listener(callback, &answerListener, this);
    m_unanswered.insert(callback);
    const std::uint64_t ticket = ++m_sent;
    if (wl_display_flush(m_display) < 0 && errno == EAGAIN)
        wakeReader(); // the reader sends the rest when the socket has room
    const auto deadline = Clock::now() + VirtualKeyboardPoster::confirmationTimeout;
    m_answeredChanged.wait_until(lock, deadline, [&] { return m_answered >= ticket || !m_alive; });
    return m_answered >= ticket;
}

VirtualKeyboardConnection::~VirtualKeyboardConnection() {
    {
        std::scoped_lock lock(m_mutex);
        m_stopping = true;
    }
    if (m_reader.joinable()) {
        wakeReader();
        m_reader.join();
    }
    for (wl_callback* callback : m_unanswered)
        wl_callback_destroy(callback);
    if (m_keyboard != nullptr)
        zwp_virtual_keyboard_v1_destroy(m_keyboard);
    if (m_manager != nullptr)
        zwp_virtual_keyboard_manager_v1_destroy(m_manager);
    if (m_seat != nullptr)
        wl_seat_destroy(m_seat);
    if (m_registry != nullptr)
        wl_registry_destroy(m_registry);
    wl_display_flush(m_display);
    wl_display_disconnect(m_display);
}

std::unique_ptr<VirtualKeyboardPoster>
VirtualKeyboardPoster::connect(const std::string& displayName) {
    auto codes = EvdevKeyCodes::standard();
    if (!codes)
        return nullptr;
    wl_display* display = wl_display_connect(displayName.empty() ? nullptr : displayName.c_str());
    if (display == nullptr)
        return nullptr;
    auto connection = std::make_unique<VirtualKeyboardConnection>(display, std::move(*codes));
    if (!connection->setUp())
        return nullptr;
    connection->startReading();
    return std::unique_ptr<VirtualKeyboardPoster>(new VirtualKeyboardPoster(std::move(connection)));
}

VirtualKeyboardPoster::VirtualKeyboardPoster(std::unique_ptr<VirtualKeyboardConnection> connection)
    : m_connection(std::move(connection)) {}

VirtualKeyboardPoster::~VirtualKeyboardPoster() = default;

bool VirtualKeyboardPoster::mayPostEvents() {
    return m_connection->usable();
}

bool VirtualKeyboardPoster::postKey(VirtualKeyCode code, KeyDirection direction) {
    return m_connection->post(code, direction);
}

void VirtualKeyboardPoster::setOnLost(LossHandler handler) {
    m_connection->setOnLost(std::move(handler));
}

} // namespace vindaro
