#pragma once

#include "x_connection.h"

#include <QString>

#include <cstdint>
#include <optional>
#include <string>

namespace vindaro {

// What tells one application window from another: its id, checked against the process id and
// the program's class that its owner declared, so that a window id the server hands out again
// later is not taken for the window it used to name.
struct WindowIdentity {
    xcb_window_t window = XCB_NONE;
    std::optional<std::uint32_t> pid; // _NET_WM_PID
    std::string wmClass;              // WM_CLASS: instance and class, each ending in a NUL

    bool operator==(const WindowIdentity&) const = default;
};

// The window a key typed now goes to, as the focus tells: the focus window itself, or for
// PointerRoot (and a focus on the root) the top-level window under the pointer. XCB_NONE when
// no window has the focus; nullopt when the server did not answer in time.
std::optional<xcb_window_t> keyboardTarget(XConnection& connection, XConnection::Deadline deadline);

// The application window that holds `window`: `window` itself or its nearest ancestor with
// WM_STATE; for a window manager's frame, the client inside it; without a window manager,
// which sets no WM_STATE, the top-level window. nullopt when a window vanished on the way or
// the server did not answer in time.
std::optional<WindowIdentity> identifyApplicationWindow(XConnection& connection,
                                                        xcb_window_t window,
                                                        XConnection::Deadline deadline);

// _NET_WM_NAME, else WM_NAME; empty when the window has neither.
QString windowTitle(XConnection& connection, xcb_window_t window, XConnection::Deadline deadline);

} // namespace vindaro
