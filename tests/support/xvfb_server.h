#pragma once

#include "x_server_process.h"

#include <string>
#include <vector>

namespace vindaro::test {

// A private Xvfb.
class XvfbServer : public XServerProcess {
public:
    // Extra arguments go to Xvfb, e.g. {"-extension", "XTEST"} to start it without XTEST.
    // Throws std::runtime_error when the server does not come up within ten seconds.
    explicit XvfbServer(const std::vector<std::string>& extraArguments = {});
};

} // namespace vindaro::test
