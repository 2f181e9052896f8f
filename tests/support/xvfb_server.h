#pragma once

#include <string>
#include <sys/types.h>
#include <vector>

namespace vindaro::test {

// A private Xvfb on a display number the server picks itself (-displayfd), so tests running
// side by side never collide. Stopped by its process id when this object goes away, and
// killed by the kernel should the test process die first.
class XvfbServer {
public:
    // Extra arguments go to Xvfb, e.g. {"-extension", "XTEST"} to start it without XTEST.
    // Throws std::runtime_error when the server does not come up within ten seconds.
    explicit XvfbServer(const std::vector<std::string>& extraArguments = {});
    ~XvfbServer();

    XvfbServer(const XvfbServer&) = delete;
    XvfbServer& operator=(const XvfbServer&) = delete;

    // ":N"
    const std::string& displayName() const { return m_displayName; }

    // Terminates the server now and waits for it to exit.
    void stop();
    // Stops the server's process, as a hung server would be, or lets it go on.
    void pause(bool paused);

private:
    pid_t m_pid = -1;
    std::string m_displayName;
};

} // namespace vindaro::test
