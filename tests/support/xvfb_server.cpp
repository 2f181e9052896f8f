#include "xvfb_server.h"

#include <X11/Xatom.h>
#include <X11/Xlib.h>

#include <QDeadlineTimer>

#include <signal.h>
#include <sys/prctl.h>

#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <stdexcept>
#include <thread>

namespace vindaro::test {

namespace {

// Output discarded, and killed by the kernel should the test process die first.
void startQuietly(QProcess& process, const std::vector<std::string>& command) {
    QStringList arguments;
    for (const std::string& argument : command)
        arguments.append(QString::fromStdString(argument));
    process.setStandardErrorFile(QProcess::nullDevice());
    process.setChildProcessModifier([] { prctl(PR_SET_PDEATHSIG, SIGKILL); });
    process.start(arguments.takeFirst(), arguments);
}

// Terminates it, stopped or not, and waits for it.
void end(QProcess& process) {
    if (process.state() == QProcess::NotRunning)
        return;
    process.terminate();
    kill(static_cast<pid_t>(process.processId()), SIGCONT);
    process.waitForFinished(-1);
}

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

XServerProcess::XServerProcess(std::vector<std::string> arguments,
                               std::chrono::seconds startLimit) {
    // The server writes its display number on its output once it accepts connections.
    arguments.insert(arguments.end(), {"-displayfd", "1"});
    startQuietly(m_process, arguments);
    const QDeadlineTimer deadline(startLimit);
    while (!m_process.canReadLine() && m_process.waitForReadyRead(int(deadline.remainingTime()))) {
    }
    if (!m_process.canReadLine()) {
        stop();
        throw std::runtime_error(arguments.front() + " did not start");
    }
    m_displayName = ":" + m_process.readLine().trimmed().toStdString();
}

XServerProcess::~XServerProcess() {
    stop();
}

void XServerProcess::stop() {
    end(m_process);
}

void XServerProcess::suspend() {
    kill(static_cast<pid_t>(m_process.processId()), SIGSTOP);
}

void XServerProcess::resume() {
    kill(static_cast<pid_t>(m_process.processId()), SIGCONT);
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

XvfbServer::~XvfbServer() {
    end(m_windowManager);
}

void XvfbServer::startWindowManager() {
    m_windowManager.setStandardOutputFile(QProcess::nullDevice());
    startQuietly(m_windowManager, {"env", "DISPLAY=" + displayName(), "openbox", "--sm-disable"});
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
