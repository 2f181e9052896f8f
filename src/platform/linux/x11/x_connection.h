#pragma once

#include <xcb/xcb.h>

#include <array>
#include <chrono>
#include <cstdint>
#include <cstdlib>
#include <memory>
#include <optional>
#include <string>

namespace vindaro {

// XCB hands out replies and events in memory the caller frees with free().
struct FreeWithFree {
    void operator()(void* memory) const { std::free(memory); }
};
template <typename T> using XcbPtr = std::unique_ptr<T, FreeWithFree>;

// The atoms the window and key classes read.
enum class XAtom { wmState, netWmPid, netWmName, utf8String, count };

// One connection to the X server through XCB, used by one thread at a time.
//
// Why XCB and not Xlib: a failed request comes back as a value and a lost server as a state of
// the connection, so nothing here installs or depends on Xlib's process-wide error handlers
// (which Qt and the XTest poster set), and a server that stops answering costs a timeout
// instead of a thread stuck in a reply forever.
class XConnection {
public:
    using Deadline = std::chrono::steady_clock::time_point;

    // Null when the display cannot be opened or the atoms not interned before `deadline`. An
    // empty name means $DISPLAY. Every wait ends early once `interrupt` (a file descriptor, or
    // -1) becomes readable, so that a thread can be stopped while the server does not answer.
    static std::unique_ptr<XConnection> open(const std::string& displayName, Deadline deadline,
                                             int interrupt = -1);
    ~XConnection();

    XConnection(const XConnection&) = delete;
    XConnection& operator=(const XConnection&) = delete;

    xcb_connection_t* get() const { return m_connection; }
    xcb_window_t root() const { return m_root; }
    xcb_atom_t atom(XAtom which) const { return m_atoms[static_cast<std::size_t>(which)]; }
    bool broken() const { return xcb_connection_has_error(m_connection) != 0; }

    // The reply to one request; null when the request failed, the deadline passed or the wait
    // was interrupted.
    template <typename Reply, typename Cookie>
    XcbPtr<Reply> reply(Cookie cookie, Deadline deadline) {
        return XcbPtr<Reply>(static_cast<Reply*>(awaitReply(cookie.sequence, deadline)));
    }

    // The X error code of a checked request without a reply (0 when it succeeded); nullopt when
    // no answer came before the deadline.
    std::optional<std::uint8_t> errorOf(xcb_void_cookie_t checkedCookie, Deadline deadline);

    // Sends what is buffered and waits until the server has sent something, `wake` (a file
    // descriptor, or -1) is readable, or the deadline (none: for ever) has passed. False once
    // the interrupt has fired or the connection has broken.
    bool waitForInput(std::optional<Deadline> deadline, int wake = -1);

private:
    XConnection(xcb_connection_t* connection, int screen, int interrupt);
    void* awaitReply(unsigned sequence, Deadline deadline);
    enum class Readiness { readable, timedOut, stopped };
    Readiness waitReadable(std::optional<Deadline> deadline, int wake = -1);

    xcb_connection_t* const m_connection;
    xcb_window_t m_root = XCB_NONE;
    const int m_interrupt;
    std::array<xcb_atom_t, static_cast<std::size_t>(XAtom::count)> m_atoms{};
};

} // namespace vindaro
