#pragma once

#include <chrono>
#include <string>
#include <sys/types.h>
#include <vector>

namespace vindaro::test {

// Starts a program with its output discarded, killed by the kernel should the test process die
// first; `passedFd`, unless -1, reaches it as descriptor 3. Returns its process id, or -1.
pid_t spawnQuietly(std::vector<std::string> arguments, int passedFd = -1);

// Terminates a child started above, stopped or not, and waits for it; sets `pid` to -1.
void terminateChild(pid_t& pid);

// An X server of this test's own, on a display number the server picks itself (-displayfd), so
// tests running side by side never collide. Stopped by its process id when this object goes
// away, and killed by the kernel should the test process die first.
class XServerProcess {
public:
    virtual ~XServerProcess();

    XServerProcess(const XServerProcess&) = delete;
    XServerProcess& operator=(const XServerProcess&) = delete;

    // ":N"
    const std::string& displayName() const { return m_displayName; }

    // Terminates the server now and waits for it to exit.
    void stop();

    // Stops the server in its tracks (SIGSTOP), as a hung server would: it answers nobody until
    // resume().
    void suspend();
    void resume();

protected:
    // `command` is the server and its arguments; "-displayfd N" is added. Throws
    // std::runtime_error when the server does not come up within `startLimit`.
    XServerProcess(std::vector<std::string> command, std::chrono::seconds startLimit);

private:
    pid_t m_pid = -1;
    std::string m_displayName;
};

} // namespace vindaro::test
