#pragma once

#include "x_server_process.h"

#include <string>
#include <vector>

namespace vindaro::test {

// A private Xvfb, and a window manager on it when the test asks for one.
class XvfbServer : public XServerProcess {
public:
    // Extra arguments go to Xvfb, e.g. {"-extension", "XTEST"} to start it without XTEST.
    // Throws std::runtime_error when the server does not come up within ten seconds.
    explicit XvfbServer(const std::vector<std::string>& extraArguments = {});
    ~XvfbServer() override;

    // Starts a window manager (openbox) on the display and returns once it manages windows. It
    // stops with the server. Throws std::runtime_error when it does not come up.
    void startWindowManager();

private:
    pid_t m_windowManager = -1;
};

} // namespace vindaro::test
