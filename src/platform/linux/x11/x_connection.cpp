#include "x_connection.h"

#include "platform/linux/x_display_opening.h"

// xcb_poll_for_reply and xcb_discard_reply: waiting for a reply with a time limit.
#include <xcb/xcbext.h>

#include <poll.h>

#include <algorithm>
#include <cerrno>
#include <string_view>

namespace vindaro {

namespace {

constexpr std::array<std::string_view, static_cast<std::size_t>(XAtom::count)> atomNames = {
    "WM_STATE", "_NET_WM_PID", "_NET_WM_NAME", "UTF8_STRING"};

} // namespace

XConnection::XConnection(xcb_connection_t* connection, int screen, int interrupt)
    : m_connection(connection)
    , m_interrupt(interrupt) {
    auto screens = xcb_setup_roots_iterator(xcb_get_setup(connection));
    for (int skipped = 0; skipped < screen && screens.rem > 1; ++skipped)
        xcb_screen_next(&screens);
    m_root = screens.data->root;
}

XConnection::~XConnection() {
    xcb_disconnect(m_connection);
}

std::unique_ptr<XConnection> XConnection::open(const std::string& displayName, Deadline deadline,
                                               int interrupt) {
    int screen = 0;
    xcb_connection_t* connection = nullptr;
    {
        const std::lock_guard opening(xDisplayOpening());
        connection = xcb_connect(displayName.empty() ? nullptr : displayName.c_str(), &screen);
    }
    if (xcb_connection_has_error(connection) != 0) {
        xcb_disconnect(connection);
        return nullptr;
    }
    std::unique_ptr<XConnection> opened(new XConnection(connection, screen, interrupt));
    std::array<xcb_intern_atom_cookie_t, atomNames.size()> cookies{};
    for (std::size_t index = 0; index < atomNames.size(); ++index) {
        cookies[index] =
            xcb_intern_atom(connection, 0, static_cast<std::uint16_t>(atomNames[index].size()),
                            atomNames[index].data());
    }
    for (std::size_t index = 0; index < atomNames.size(); ++index) {
        const auto interned = opened->reply<xcb_intern_atom_reply_t>(cookies[index], deadline);
        if (!interned)
            return nullptr;
        opened->m_atoms[index] = interned->atom;
    }
    return opened;
}

std::optional<std::uint8_t> XConnection::errorOf(xcb_void_cookie_t checkedCookie,
                                                 Deadline deadline) {
    // A request answered after ours proves ours has been handled too, error or not.
    if (!reply<xcb_get_input_focus_reply_t>(xcb_get_input_focus(m_connection), deadline))
        return std::nullopt;
    void* none = nullptr;
    xcb_generic_error_t* error = nullptr;
    if (xcb_poll_for_reply(m_connection, checkedCookie.sequence, &none, &error) == 0)
        return std::nullopt;
    std::free(none);
    const XcbPtr<xcb_generic_error_t> owned(error);
    return error != nullptr ? error->error_code : 0;
}

bool XConnection::waitForInput(std::optional<Deadline> deadline, int wake) {
    xcb_flush(m_connection);
    return waitReadable(deadline, wake) != Readiness::stopped;
}

void* XConnection::awaitReply(unsigned sequence, Deadline deadline) {
    xcb_flush(m_connection);
    for (;;) {
        void* answer = nullptr;
        xcb_generic_error_t* error = nullptr;
        if (xcb_poll_for_reply(m_connection, sequence, &answer, &error) != 0) {
            std::free(error);
            return answer;
        }
        if (waitReadable(deadline) != Readiness::readable) {
            // A late reply is dropped by XCB instead of waiting in its queue for ever.
            xcb_discard_reply(m_connection, sequence);
            return nullptr;
        }
    }
}

XConnection::Readiness XConnection::waitReadable(std::optional<Deadline> deadline, int wake) {
    // poll() skips entries whose descriptor is negative.
    std::array<pollfd, 3> sources = {{{xcb_get_file_descriptor(m_connection), POLLIN, 0},
                                      {m_interrupt, POLLIN, 0},
                                      {wake, POLLIN, 0}}};
    for (;;) {
        if (broken())
            return Readiness::stopped;
        int timeout = -1;
        if (deadline) {
            const auto left = std::chrono::ceil<std::chrono::milliseconds>(
                *deadline - std::chrono::steady_clock::now());
            timeout = static_cast<int>(std::max<std::chrono::milliseconds::rep>(left.count(), 0));
        }
        const int ready = poll(sources.data(), sources.size(), timeout);
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready < 0 || sources[1].revents != 0)
            return Readiness::stopped;
        // A hang-up counts as input too: reading it is how XCB notices the connection broke.
        return ready == 0 ? Readiness::timedOut : Readiness::readable;
    }
}

} // namespace vindaro
