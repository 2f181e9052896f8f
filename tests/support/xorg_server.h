#pragma once

#include "x_server_process.h"

#include <string>
#include <vector>

namespace vindaro::test {

// A private Xorg with the dummy video driver and no input devices of its own. Unlike Xvfb it
// takes keymap changes, so keyboard layouts can be tried on it. Xorg needs root.
class XorgServer : public XServerProcess {
public:
    // Throws std::runtime_error when the server does not come up.
    XorgServer();
    ~XorgServer();

    XorgServer(const XorgServer&) = delete;
    XorgServer& operator=(const XorgServer&) = delete;

    // Runs setxkbmap on this display with these arguments (plain words, e.g. {"-layout", "fr"});
    // throws std::runtime_error when it fails.
    void setKeymap(const std::vector<std::string>& arguments) const;

    // Whether this process may start Xorg at all.
    static bool available();

private:
    explicit XorgServer(std::string directory);
    std::string m_directory; // holds the configuration and the log
};

} // namespace vindaro::test
