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
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace vindaro::test {

namespace {

// AutoAddDevices off: only the virtual core keyboard, no real keyboard of this machine.

constexpr const char* xorgConfiguration = R"(Section "ServerFlags"
    Option "AutoAddDevices" "false"
EndSection
Section "Device"
    Identifier "dummy"
    Driver "dummy"
    VideoRam 16384
EndSection
)";

std::string xorgDirectory() {
    std::string path = (std::filesystem::temp_directory_path() / "vindaro-xorg-XXXXXX").string();
    if (mkdtemp(path.data()) == nullptr)
        throw std::runtime_error("mkdtemp failed");
    std::ofstream(path + "/xorg.conf") << xorgConfiguration;
    return path;
}

} // namespace

void ChildProcess::start(const std::vector<std::string>& command, bool readOutput) {
    std::vector<char*> argv;
    for (const std::string& argument : command)
        argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    int output[2] = {-1, -1};
    if (readOutput && pipe2(output, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe2 failed");
    const int quiet = open("/dev/null", O_WRONLY | O_CLOEXEC);
    m_pid = fork();
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        dup2(readOutput ? output[1] : quiet, STDOUT_FILENO);
        dup2(quiet, STDERR_FILENO);
        execvp(argv[0], argv.data());
        _exit(127);
    }
    close(quiet);
    if (readOutput) {
        close(output[1]);
        m_output = output[0];
    }
    if (m_pid < 0)
        throw std::runtime_error("fork failed");
}

std::string ChildProcess::readLine(std::chrono::milliseconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string line;
    for (char c = 0;;) {
        const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
            deadline - std::chrono::steady_clock::now());
        pollfd ready{m_output, POLLIN, 0};
        if (left.count() <= 0 || poll(&ready, 1, static_cast<int>(left.count())) <= 0 ||
            read(m_output, &c, 1) != 1)
            return {};
        if (c == '\n')
            return line;
        line += c;
    }
}

void ChildProcess::signal(int number) const {
    if (m_pid > 0)
        kill(m_pid, number);
}

void ChildProcess::stop() {
    if (m_pid > 0) {
        kill(m_pid, SIGTERM);
        kill(m_pid, SIGCONT);
        while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
        }
        m_pid = -1;
    }
    if (m_output >= 0)
        close(m_output);
    m_output = -1;
}

XServerProcess::XServerProcess(std::vector<std::string> arguments,
                               std::chrono::seconds startLimit) {
    // The server writes its display number on its output once it accepts connections.
    arguments.insert(arguments.end(), {"-displayfd", "1"});
    m_process.start(arguments, true);
    const std::string display = m_process.readLine(startLimit);
    if (display.empty()) {
        stop();
        throw std::runtime_error(arguments.front() + " did not start");
    }
    m_displayName = ":" + display;
}

XServerProcess::~XServerProcess() {
    stop();
}

void XServerProcess::stop() {
    m_process.stop();
}

void XServerProcess::suspend() {
    m_process.signal(SIGSTOP);
}

void XServerProcess::resume() {
    m_process.signal(SIGCONT);
}

XvfbServer::XvfbServer(const std::vector<std::string>& extraArguments)
    : XServerProcess(
          [&] {
              std::vector<std::string> arguments = {"Xvfb",    "-nolisten", "tcp",       "-noreset",
                                                    "-screen", "0",         "640x480x24"};
              arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
              return arguments;
          }(),
          std::chrono::seconds(10)) {}

void XvfbServer::startWindowManager() {
    m_windowManager.start({"env", "DISPLAY=" + displayName(), "openbox", "--sm-disable"}, false);
    // It announces itself on the root window a little before it manages windows, and a window
    // mapped in between stays unmapped: so map one until it shows.
    Display* display = XOpenDisplay(displayName().c_str());
    if (display == nullptr)
        throw std::runtime_error("cannot open " + displayName());
    const Window probe =
        XCreateSimpleWindow(display, DefaultRootWindow(display), 0, 0, 10, 10, 0, 0, 0);
    // Never focused, so that its end leaves the focus alone.
    const long neverUsed = 0;
    XChangeProperty(display, probe, XInternAtom(display, "_NET_WM_USER_TIME", False), XA_CARDINAL,
                    32, PropModeReplace, reinterpret_cast<const unsigned char*>(&neverUsed), 1);
    bool managing = false;
    for (int round = 0; !managing && round < 5000; ++round) {
        if (round % 100 == 0)
            XMapWindow(display, probe); // asked again every 200 ms
        std::this_thread::sleep_for(std::chrono::milliseconds(2));
        XWindowAttributes attributes{};
        managing = XGetWindowAttributes(display, probe, &attributes) != 0 &&
                   attributes.map_state == IsViewable;
    }
    XDestroyWindow(display, probe);
    XCloseDisplay(display);
    if (!managing)
        throw std::runtime_error("the window manager did not start");
}

XorgServer::XorgServer()
    : XorgServer(xorgDirectory()) {}

XorgServer::XorgServer(const std::string& directory)
    : XServerProcess({"Xorg", "-config", directory + "/xorg.conf", "-logfile",
                      directory + "/xorg.log", "-noreset", "-nolisten", "tcp", "-novtswitch",
                      "-sharevts"},
                     std::chrono::seconds(30))
    , m_directory(directory) {}

XorgServer::~XorgServer() {
    stop();
    std::filesystem::remove_all(m_directory);
}

void XorgServer::setKeymap(const std::vector<std::string>& arguments) const {
    std::string command = "setxkbmap -display " + displayName();
    for (const std::string& argument : arguments)
        command += " '" + argument + "'";
    if (std::system(command.c_str()) != 0)
        throw std::runtime_error(command + " failed");
}

} // namespace vindaro::test
