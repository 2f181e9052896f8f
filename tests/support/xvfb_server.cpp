#include "xvfb_server.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <stdexcept>

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

} // namespace

XvfbServer::XvfbServer(const std::vector<std::string>& extraArguments) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int readEnd = pipeFds[0];
    const int writeEnd = pipeFds[1];

    // Everything the child needs is prepared before fork(): after it, only async-signal-safe
    // calls are allowed in a process that may have threads.
    const int childWriteEnd = 3;
    std::vector<std::string> arguments = {"Xvfb",      "-displayfd", std::to_string(childWriteEnd),
                                          "-nolisten", "tcp",        "-noreset",
                                          "-screen",   "0",          "640x480x24"};
    arguments.insert(arguments.end(), extraArguments.begin(), extraArguments.end());
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();

    m_pid = fork();
    if (m_pid < 0) {
        close(readEnd);
        close(writeEnd);
        throw std::runtime_error("fork failed");
    }
    if (m_pid == 0) {
        prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (getppid() != parent)
            _exit(127);
        // dup2 clears close-on-exec on the copy, so only this end reaches Xvfb; when the pipe
        // already sits on that number the flag is cleared by hand.
        if (writeEnd == childWriteEnd ? fcntl(writeEnd, F_SETFD, 0) < 0
                                      : dup2(writeEnd, childWriteEnd) < 0)
            _exit(127);
        const int devNull = open("/dev/null", O_WRONLY);
        if (devNull >= 0) {
            dup2(devNull, STDOUT_FILENO);
            dup2(devNull, STDERR_FILENO);
        }
        execvp(argv[0], argv.data());
        _exit(127);
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

void XvfbServer::pause(bool paused) {
    if (m_pid > 0)
        kill(m_pid, paused ? SIGSTOP : SIGCONT);
}

void XvfbServer::stop() {
    if (m_pid <= 0)
        return;
    kill(m_pid, SIGTERM);
    while (waitpid(m_pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    m_pid = -1;
}

} // namespace vindaro::test
