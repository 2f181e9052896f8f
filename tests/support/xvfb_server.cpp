#include "xvfb_server.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>
#include <thread>

namespace vindaro::test {

namespace {

// Reads the display number Xvfb writes once it accepts connections.
std::string readDisplayNumber(int fd, std::chrono::milliseconds timeout) {
    const auto deadline = std::chrono::steady_clock::now() + timeout;
    std::string text;
    while (text.find('\n') == std::string::npos) {
        const auto remaining = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        if (remaining.count() <= 0)
            return {};
        pollfd input{fd, POLLIN, 0};
        const int ready = poll(&input, 1, static_cast<int>(remaining.count()));
        if (ready < 0 && errno == EINTR)
            continue;
        if (ready <= 0)
            return {};
        char buffer[32];
        const ssize_t count = read(fd, buffer, sizeof buffer);
        if (count <= 0)
            return {};
        text.append(buffer, static_cast<std::size_t>(count));
    }
    return text.substr(0, text.find('\n'));
}

constexpr int childWriteEnd = 3;

std::vector<char*> pointersTo(std::vector<std::string>& strings) {
    std::vector<char*> pointers;
    pointers.reserve(strings.size() + 1);
    for (std::string& text : strings)
        pointers.push_back(text.data());
    pointers.push_back(nullptr);
    return pointers;
}

// Starts a program with its output discarded, killed by the kernel should we die first;
// `passedFd`, unless -1, reaches it as descriptor 3.
pid_t spawn(std::vector<std::string> arguments, int passedFd) {
    // Everything the child needs is prepared before fork(): after it, only async-signal-safe
    // calls are allowed in a process that may have threads.
    const std::vector<char*> argv = pointersTo(arguments);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    // dup2 clears close-on-exec on the copy, so only this descriptor reaches the program; when it
    // already sits on that number the flag is cleared by hand.
    if (passedFd >= 0 && (passedFd == childWriteEnd ? fcntl(passedFd, F_SETFD, 0) < 0
                                                    : dup2(passedFd, childWriteEnd) < 0))
        _exit(127);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
}

void terminate(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

} // namespace

XvfbServer::XvfbServer(const std::vector<std::string>& extraArguments) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int readEnd = pipeFds[0];
    const int writeEnd = pipeFds[1];

    std::vector<std::string> arguments = {"Xvfb",      "-displayfd", std::to_string(childWriteEnd),
                                          "-nolisten", "tcp",        "-noreset",
                                          "-screen",   "0",          "640x480x24"};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    m_pid = spawn(std::move(arguments), writeEnd);
    if (m_pid < 0) {
        close(readEnd);
        close(writeEnd);
        throw std::runtime_error("fork failed");
    }
    close(writeEnd);
    const std::string number = readDisplayNumber(readEnd, std::chrono::seconds(10));
    close(readEnd);
    if (number.empty()) {
        stop();
        throw std::runtime_error("Xvfb did not start");
    }
    m_displayName = ":" + number;
}

XvfbServer::~XvfbServer() {
    stop();
}

void XvfbServer::startWindowManager() {
    m_windowManager = spawn({"env", "DISPLAY=" + m_displayName, "openbox", "--sm-disable"}, -1);
    if (m_windowManager < 0)
        throw std::runtime_error("fork failed");
    // It announces itself on the root window a little before it manages windows, and a window
    // mapped in between stays unmapped: so map one until it shows.
    Display* display = XOpenDisplay(m_displayName.c_str());
    if (display == nullptr)
        throw std::runtime_error("cannot open " + m_displayName);
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

void XvfbServer::stop() {
    terminate(m_windowManager);
    terminate(m_pid);
}

} // namespace vindaro::test
