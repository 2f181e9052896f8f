#include "xvfb_server.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <chrono>
#include <stdexcept>
#include <thread>

namespace vindaro::test {

XvfbServer::XvfbServer(const std::vector<std::string>& extraArguments)
    : XServerProcess(
          [&] {
              std::vector<std::string> arguments = {"Xvfb",    "-nolisten", "tcp",       "-noreset",
                                                    "-screen", "0",         "640x480x24"};
              arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
              return arguments;
          }(),
          std::chrono::seconds(10)) {}

XvfbServer::~XvfbServer() {
    terminateChild(m_windowManager);
}

void XvfbServer::startWindowManager() {
    m_windowManager = spawnQuietly({"env", "DISPLAY=" + displayName(), "openbox", "--sm-disable"});
    if (m_windowManager < 0)
        throw std::runtime_error("fork failed");
    // It announces itself on the root window a little before it manages windows, and a window
    // mapped in between stays unmapped: so map one until it shows.
    Display* display = XOpenDisplay(displayName().c_str());
    if (display == nullptr)
        throw std::runtime_error("cannot open " + displayName());
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    bool managing = false;
    while (!managing && std::chrono::steady_clock::now() < deadline) {
        const Window probe =
            XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
        // Never focused, so that its end leaves the focus alone.
        const long neverUsed = 0;
        XChangeProperty(display, probe, XInternAtom(display, "_NET_WM_USER_TIME", False),
                        XA_CARDINAL, 32, PropModeReplace,
                        reinterpret_cast<const unsigned char*>(&neverUsed), 1);
        XMapWindow(display, probe);
        const auto retryAt = std::chrono::steady_clock::now() + std::chrono::milliseconds(200);
        XWindowAttributes attributes{};
        while (!managing && std::chrono::steady_clock::now() < retryAt) {
            managing = XGetWindowAttributes(display, probe, &attributes) != 0 &&
                       attributes.map_state == IsViewable;
            if (!managing)
                std::this_thread::sleep_for(std::chrono::milliseconds(2));
        }
        XDestroyWindow(display, probe);
    }
    XCloseDisplay(display);
    if (!managing)
        throw std::runtime_error("the window manager did not start");
}

} // namespace vindaro::test
