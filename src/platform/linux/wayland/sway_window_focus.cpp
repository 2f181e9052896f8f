#include "sway_window_focus.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>

#include <poll.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/un.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstring>
#include <utility>

namespace vindaro {

namespace {

using Clock = std::chrono::steady_clock;

// The i3 IPC framing sway speaks: magic, payload length and message type in the host's byte
// order, then the JSON payload. Events have the top bit of the type set.
constexpr std::array<char, 6> magic = {'i', '3', '-', 'i', 'p', 'c'};
constexpr std::size_t headerSize = magic.size() + 2 * sizeof(std::uint32_t);
constexpr std::uint32_t subscribeRequest = 2;
constexpr std::uint32_t treeRequest = 4;
constexpr std::uint32_t workspaceEvent = 0x80000000U;
constexpr std::uint32_t windowEvent = 0x80000003U;
constexpr std::uint32_t shutdownEvent = 0x80000006U;
// A whole tree of a busy desktop is well under this; anything larger is not sway talking.
constexpr std::uint32_t largestMessage = 64U << 20;
constexpr std::chrono::milliseconds answerTimeout{2000};

struct Message {
    std::uint32_t type = 0;
    QByteArray payload;
};

// Takes the first whole message off the front of `buffer`. Nothing while it is incomplete; an
// empty type of 0xFFFFFFFF when the bytes are not the IPC framing at all.
std::optional<Message> takeMessage(QByteArray& buffer) {
    if (static_cast<std::size_t>(buffer.size()) < headerSize)
        return std::nullopt;
    if (std::memcmp(buffer.constData(), magic.data(), magic.size()) != 0)
        return Message{0xFFFFFFFFU, {}};
    std::uint32_t length = 0;
    std::uint32_t type = 0;
    std::memcpy(&length, buffer.constData() + magic.size(), sizeof length);
    std::memcpy(&type, buffer.constData() + magic.size() + sizeof length, sizeof type);
    if (length > largestMessage)
        return Message{0xFFFFFFFFU, {}};
    if (static_cast<std::size_t>(buffer.size()) < headerSize + length)
        return std::nullopt;
    const auto header = static_cast<qsizetype>(headerSize);
    Message message{type, buffer.mid(header, length)};
    buffer.remove(0, header + static_cast<qsizetype>(length));
    return message;
}

// Reads what has arrived into `buffer`, waiting at most `timeoutMs` (-1: for ever) for it or for
// `wake`. False once the socket has closed or failed.
bool fill(int socket, int wake, QByteArray& buffer, int timeoutMs) {
    std::array<pollfd, 2> waitFor{pollfd{socket, POLLIN, 0}, pollfd{wake, POLLIN, 0}};
    const int ready = poll(waitFor.data(), wake >= 0 ? 2 : 1, timeoutMs);
    if (ready < 0)
        return errno == EINTR;
    if ((waitFor[0].revents & (POLLIN | POLLHUP | POLLERR)) == 0)
        return true;
    std::array<char, 65536> chunk{};
    const ssize_t count = recv(socket, chunk.data(), chunk.size(), MSG_DONTWAIT);
    if (count > 0) {
        buffer.append(chunk.data(), static_cast<qsizetype>(count));
        return true;
    }
    return count < 0 && (errno == EAGAIN || errno == EINTR);
}

std::optional<SwayWindowFocus::Window> windowOf(const QJsonObject& node) {
    const QString type = node.value(QStringLiteral("type")).toString();
    if (type != QStringLiteral("con") && type != QStringLiteral("floating_con"))
        return std::nullopt;
    SwayWindowFocus::Window window;
    window.id = node.value(QStringLiteral("id")).toInteger();
    window.pid = node.value(QStringLiteral("pid")).toInteger();
    window.title = node.value(QStringLiteral("name")).toString();
    // Qt names its Wayland windows after the desktop entry the agent sets.
    window.agent = window.pid == getpid() ||
                   node.value(QStringLiteral("app_id")).toString() == u"net.vindaro.agent";
    if (window.title.isEmpty())
        window.title = node.value(QStringLiteral("app_id")).toString();
    return window;
}

// The focused node of a tree, depth first; sway marks exactly one.
std::optional<QJsonObject> focusedNode(const QJsonObject& node) {
    if (node.value(QStringLiteral("focused")).toBool())
        return node;
    for (const auto* key : {"nodes", "floating_nodes"}) {
        for (const QJsonValue child : node.value(QLatin1String(key)).toArray()) {
            if (auto found = focusedNode(child.toObject()))
                return found;
        }
    }
    return std::nullopt;
}

bool sameWindow(const SwayWindowFocus::Window& a, const SwayWindowFocus::Window& b) {
    return a.id == b.id && a.pid == b.pid;
}

} // namespace

std::unique_ptr<SwayWindowFocus> SwayWindowFocus::connect(const std::string& socketPath) {
    sockaddr_un address{};
    address.sun_family = AF_UNIX;
    if (socketPath.empty() || socketPath.size() >= sizeof address.sun_path)
        return nullptr;
    std::memcpy(address.sun_path, socketPath.c_str(), socketPath.size());
    const int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (socket < 0)
        return nullptr;
    if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0) {
        close(socket);
        return nullptr;
    }
    std::unique_ptr<SwayWindowFocus> focus(new SwayWindowFocus(socket));
    // Subscribed first, then the tree: no focus change can fall between the two.
    if (focus->m_wake < 0 ||
        !focus->send(subscribeRequest, R"(["window","workspace","shutdown"])") ||
        !focus->send(treeRequest, {}))
        return nullptr;
    QByteArray buffer;
    bool subscribed = false;
    bool treeRead = false;
    const auto deadline = Clock::now() + answerTimeout;
    while (!(subscribed && treeRead)) {
        const auto left = std::chrono::ceil<std::chrono::milliseconds>(deadline - Clock::now());
        if (left.count() <= 0 || !fill(socket, -1, buffer, static_cast<int>(left.count())))
            return nullptr;
        while (auto message = takeMessage(buffer)) {
            if (message->type == 0xFFFFFFFFU)
                return nullptr;
            if (message->type == subscribeRequest)
                subscribed = QJsonDocument::fromJson(message->payload)
                                 .object()
                                 .value(QStringLiteral("success"))
                                 .toBool();
            treeRead = treeRead || message->type == treeRequest;
            focus->handleMessage(message->type, message->payload);
        }
    }
    focus->m_reader = std::thread(
        [self = focus.get(), rest = std::move(buffer)]() mutable { self->read(std::move(rest)); });
    return focus;
}

SwayWindowFocus::SwayWindowFocus(int socket)
    : m_socket(socket)
    , m_wake(eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK)) {
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

SwayWindowFocus::~SwayWindowFocus() {
    {
        std::scoped_lock lock(m_mutex);
        m_stopping = true;
    }
    if (m_reader.joinable()) {
        eventfd_write(m_wake, 1);
        m_reader.join();
    }
    if (m_wake >= 0)
        close(m_wake);
    close(m_socket);
}

void SwayWindowFocus::observe(Handlers handlers) {
    m_focusLeft.set(std::move(handlers.focusLeftPinnedWindow));
    std::scoped_lock lock(m_mutex);
    m_handlers = std::move(handlers);
}

void SwayWindowFocus::pinNextFocusedWindow(std::chrono::milliseconds within) {
    {
        std::scoped_lock lock(m_mutex);
        m_pin = Pin::waiting;
        m_pinned = {};
    }
    m_pinTimer.start(within);
}

void SwayWindowFocus::unpin() {
    m_pinTimer.stop();
    std::scoped_lock lock(m_mutex);
    m_pin = Pin::none;
    m_pinned = {};
}

KeyDestination SwayWindowFocus::beforeKeyDown() {
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
    if (!m_focused)
        return KeyDestination::noFocusedWindow;
    return m_focused->agent ? KeyDestination::agentWindowFocused : KeyDestination::allowed;
}

void SwayWindowFocus::read(QByteArray buffer) {
    for (;;) {
        while (auto message = takeMessage(buffer)) {
            if (message->type == 0xFFFFFFFFU)
                return focusChanged(std::nullopt);
            handleMessage(message->type, message->payload);
        }
        {
            std::scoped_lock lock(m_mutex);
            if (m_stopping)
                return;
        }
        // Sway gone: no window can be known to have the focus any more.
        if (!fill(m_socket, m_wake, buffer, -1))
            return focusChanged(std::nullopt);
    }
}

void SwayWindowFocus::handleMessage(std::uint32_t type, const QByteArray& payload) {
    const QJsonObject body = QJsonDocument::fromJson(payload).object();
    const QString change = body.value(QStringLiteral("change")).toString();
    if (type == treeRequest) {
        const auto node = focusedNode(body);
        focusChanged(node ? windowOf(*node) : std::nullopt);
    } else if (type == windowEvent) {
        const QJsonObject container = body.value(QStringLiteral("container")).toObject();
        if (change == QStringLiteral("focus"))
            focusChanged(windowOf(container));
        else if (change == QStringLiteral("close"))
            windowClosed(container.value(QStringLiteral("id")).toInteger());
    } else if (type == workspaceEvent && change == QStringLiteral("focus")) {
        // A workspace event does not say whether the new workspace has a window; the tree does.
        send(treeRequest, {});
    } else if (type == shutdownEvent) {
        focusChanged(std::nullopt);
    }
}

void SwayWindowFocus::focusChanged(const std::optional<Window>& window) {
    bool left = false;
    std::optional<QString> caught;
    {
        std::scoped_lock lock(m_mutex);
        const auto onPin = [&](const std::optional<Window>& focused) {
            return m_pin == Pin::pinned && focused && sameWindow(*focused, m_pinned);
        };
        const bool wasOnPin = onPin(m_focused);
        m_focused = window;
        left = wasOnPin && !onPin(m_focused);
        if (m_pin == Pin::waiting && window && !window->agent) {
            m_pin = Pin::pinned;
            m_pinned = *window;
            caught = window->title;
        }
    }
    // Held keys come up now, from this thread, without waiting for the main thread.
    if (left)
        m_focusLeft();
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
}

void SwayWindowFocus::windowClosed(std::int64_t id) {
    bool left = false;
    bool pinClosed = false;
    {
        std::scoped_lock lock(m_mutex);
        if (m_pin == Pin::pinned && m_pinned.id == id) {
            left = m_focused && sameWindow(*m_focused, m_pinned);
            m_pin = Pin::closed;
            pinClosed = true;
        }
        if (m_focused && m_focused->id == id)
            m_focused.reset();
    }
    if (left)
        m_focusLeft();
    if (pinClosed) {
        onMainThread([this] {
            std::function<void()> closed;
            {
                std::scoped_lock lock(m_mutex);
                closed = m_handlers.pinnedWindowClosed;
            }
            if (closed)
                closed();
        });
    }
}

bool SwayWindowFocus::send(std::uint32_t type, const QByteArray& payload) {
    QByteArray message(magic.data(), static_cast<qsizetype>(magic.size()));
    const auto length = static_cast<std::uint32_t>(payload.size());
    message.append(reinterpret_cast<const char*>(&length), sizeof length);
    message.append(reinterpret_cast<const char*>(&type), sizeof type);
    message.append(payload);
    std::scoped_lock lock(m_sendMutex);
    qsizetype sent = 0;
    while (sent < message.size()) {
        const ssize_t count = ::send(m_socket, message.constData() + sent,
                                     static_cast<std::size_t>(message.size() - sent), MSG_NOSIGNAL);
        if (count < 0 && errno == EINTR)
            continue;
        if (count <= 0)
            return false;
        sent += count;
    }
    return true;
}

void SwayWindowFocus::onMainThread(std::function<void()> work) {
    QMetaObject::invokeMethod(&m_context, std::move(work), Qt::QueuedConnection);
}

} // namespace vindaro
