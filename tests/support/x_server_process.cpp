#include "x_server_process.h"

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

pid_t spawnQuietly(std::vector<std::string> arguments, int passedFd) {
    // Everything the child needs is prepared before fork(): after it, only async-signal-safe
    // calls are allowed in a process that may have threads.
    constexpr int childFd = 3;
    std::vector<char*> argv;
    for (std::string& argument : arguments)
        argv.push_back(argument.data());
    argv.push_back(nullptr);
    const pid_t parent = getpid();
    const pid_t pid = fork();
    if (pid != 0)
        return pid;
    prctl(PR_SET_PDEATHSIG, SIGKILL);
    if (getppid() != parent)
        _exit(127);
    // dup2 clears close-on-exec on the copy, so only this descriptor reaches the program; when it
    // already sits on that number the flag is cleared by hand.
    if (passedFd >= 0 &&
        (passedFd == childFd ? fcntl(passedFd, F_SETFD, 0) < 0 : dup2(passedFd, childFd) < 0))
        _exit(127);
    const int devNull = open("/dev/null", O_WRONLY);
    if (devNull >= 0) {
        dup2(devNull, STDOUT_FILENO);
        dup2(devNull, STDERR_FILENO);
    }
    execvp(argv[0], argv.data());
    _exit(127);
}

void terminateChild(pid_t& pid) {
    if (pid <= 0)
        return;
    kill(pid, SIGTERM);
    kill(pid, SIGCONT); // a stopped process would not act on the SIGTERM
    while (waitpid(pid, nullptr, 0) < 0 && errno == EINTR) {
    }
    pid = -1;
}

XServerProcess::XServerProcess(std::vector<std::string> arguments,
                               std::chrono::seconds startLimit) {
    int pipeFds[2];
    if (pipe2(pipeFds, O_CLOEXEC) != 0)
        throw std::runtime_error("pipe failed");
    const int readEnd = pipeFds[0];
    const int writeEnd = pipeFds[1];
    const std::string program = arguments.front();
    arguments.insert(arguments.end(), {"-displayfd", "3"});
    m_pid = spawnQuietly(std::move(arguments), writeEnd);
    close(writeEnd);
    if (m_pid < 0) {
        close(readEnd);
        throw std::runtime_error("fork failed");
    }
    const std::string number = readDisplayNumber(readEnd, startLimit);
    close(readEnd);
    if (number.empty()) {
        stop();
        throw std::runtime_error(program + " did not start");
    }
    m_displayName = ":" + number;
}

XServerProcess::~XServerProcess() {
    stop();
}

void XServerProcess::stop() {
    terminateChild(m_pid);
}

void XServerProcess::suspend() {
    if (m_pid > 0)
        kill(m_pid, SIGSTOP);
}

void XServerProcess::resume() {
    if (m_pid > 0)
        kill(m_pid, SIGCONT);
}

} // namespace vindaro::test
